// What the groupsock tests share: an environment that records result
// messages, trace output and background errors; member stubs that record
// what a groupsock relays to them; and plain sockets that send test
// datagrams. Inside the test's own network namespace 10.99.0.1 (vt0) is
// this host's address and 10.99.0.2 (vt1) a second local address.
#ifndef VELDRA_TESTS_UNIT_GROUPSOCK_GROUPSOCKTESTSUPPORT_HH
#define VELDRA_TESTS_UNIT_GROUPSOCK_GROUPSOCKTESTSUPPORT_HH

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockPrivate.hh"
#include "runtime/UsageEnvironment.hh"
#include "tests/support/Endpoint.hh"
#include "tests/support/IdleScheduler.hh"

namespace gstest {

using Bytes = std::vector<uint8_t>;

inline unsigned addr(char const* dotted) { return inet_addr(dotted); }
inline in_addr inAddr(char const* dotted) { return in_addr{addr(dotted)}; }

using testsupport::IdleScheduler;  // the tests drive reads themselves

struct SchedulerHolder {
  IdleScheduler scheduler;
};

// The result message is a string, trace output is collected, and each
// background error is recorded with the message it carried.
class TestEnv : private SchedulerHolder, public UsageEnvironment {
 public:
  TestEnv() : UsageEnvironment(SchedulerHolder::scheduler) {}
  ~TestEnv() override { reclaimGroupsockPriv(*this); }

  char const* getResultMsg() const override { return result.c_str(); }
  void setResultMsg(char const* msg) override { result = msg; }
  void setResultMsg(char const* m1, char const* m2) override { result = std::string(m1) + m2; }
  void setResultMsg(char const* m1, char const* m2, char const* m3) override {
    result = std::string(m1) + m2 + m3;
  }
  void setResultErrMsg(char const* msg, int) override { result = msg + errnoText(); }
  void appendToResultMsg(char const* msg) override { result += msg; }
  void reportBackgroundError() override { backgroundErrors.push_back(result); }
  int getErrno() const override { return errno; }

  UsageEnvironment& operator<<(char const* str) override { return put(str); }
  UsageEnvironment& operator<<(int i) override { return put(std::to_string(i)); }
  UsageEnvironment& operator<<(unsigned u) override { return put(std::to_string(u)); }
  UsageEnvironment& operator<<(double d) override { return put(std::to_string(d)); }
  UsageEnvironment& operator<<(void*) override { return put("(pointer)"); }

  std::string result;
  std::string trace;
  std::vector<std::string> backgroundErrors;

 private:
  static std::string errnoText() { return std::strerror(errno); }
  UsageEnvironment& put(std::string const& text) {
    trace += text;
    return *this;
  }
};

// Sets Socket::DebugLevel for one scope.
class DebugLevelGuard {
 public:
  explicit DebugLevelGuard(int level) : saved(Socket::DebugLevel) { Socket::DebugLevel = level; }
  ~DebugLevelGuard() { Socket::DebugLevel = saved; }

 private:
  int saved;
};

// A member that records what it is asked and handed. It accepts, declines
// (false, no message) or fails (false with a message). One that tears down
// also does what a tunnel seeing its own peer's multicast does: it leaves
// the groupsock, asks for the groupsock's deletion and deletes itself.
class StubMember : public DirectedNetInterface {
 public:
  enum Answer { ACCEPT, DECLINE, FAIL };

  explicit StubMember(UsageEnvironment& environment) : env(environment) {}

  bool write(unsigned char* data, unsigned numBytes) override {
    written.emplace_back(data, data + numBytes);
    return true;
  }
  bool SourceAddrOKForRelaying(UsageEnvironment& askingEnv, unsigned addr) override {
    EXPECT_EQ(&askingEnv, &env);
    askedFor.push_back(addr);
    if (answer == FAIL) env.setResultMsg("member failed");
    if (tearDownFrom != nullptr) {
      tearDownFrom->members().Remove(this);
      tearDownFrom->deleteWhenSafe();
      delete this;
      return false;
    }
    return answer == ACCEPT;
  }

  UsageEnvironment& env;
  Answer answer = ACCEPT;
  Groupsock* tearDownFrom = nullptr;  // only for a member made with new
  std::vector<Bytes> written;
  std::vector<unsigned> askedFor;
};

// The members of groupsock in the order the relay visits them.
inline std::vector<StubMember*> relayOrder(Groupsock& groupsock) {
  std::vector<StubMember*> order;
  DirectedNetInterfaceSet::Iterator iter(groupsock.members());
  while (DirectedNetInterface* member = iter.next())
    order.push_back(static_cast<StubMember*>(member));
  return order;
}

using testsupport::endpoint;

// A read on sock gives up after 5 s, so that a missing datagram fails the
// test instead of hanging it.
inline void limitReadWait(int sock) {
  timeval limit{5, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

// A plain datagram socket bound to address and port (0: any).
class PlainSocket {
 public:
  explicit PlainSocket(char const* address = "10.99.0.1", unsigned short port = 0)
      : fd(socket(AF_INET, SOCK_DGRAM, 0)) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = endpoint(address, port);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << address << ":" << port;
    limitReadWait(fd);
  }
  ~PlainSocket() { close(fd); }

  void send(std::string const& payload, char const* to, unsigned short port) {
    sockaddr_in a = endpoint(to, port);
    ASSERT_EQ(
        sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
        static_cast<ssize_t>(payload.size()));
  }
  std::string receive() {
    char buffer[2048];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return n < 0 ? "(nothing)" : std::string(buffer, static_cast<size_t>(n));
  }

  int const fd;
};

// The port a socket is bound to, host order.
inline unsigned short boundPort(int sock) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  getsockname(sock, reinterpret_cast<sockaddr*>(&a), &size);
  return ntohs(a.sin_port);
}

inline bool isOpen(int sock) { return fcntl(sock, F_GETFD) != -1; }

}  // namespace gstest

#endif
