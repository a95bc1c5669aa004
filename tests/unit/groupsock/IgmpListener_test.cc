// The IGMP listener on the veth pair of the test's own network namespace:
// this host's joins on vt0 (10.99.0.1) make the kernel send reports out of
// vt0, which arrive on vt1 (10.99.0.2), where the listener reads.
#include "groupsock/IgmpListener.hh"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "groupsock/IgmpWire.hh"
#include "runtime/Timeval.hh"
#include "tests/support/Netns.hh"
#include "tests/unit/groupsock/InterpEnv.hh"

namespace {

uint32_t addr(char const* dotted) { return inet_addr(dotted); }

struct SeenEvent {
  IgmpEventKind kind;
  uint32_t from;
  uint32_t group;
};

// Records the events; the first one may stop and delete the listener.
class RecordingSink : public IgmpEventSink {
 public:
  RecordingSink(std::vector<SeenEvent>& seen, IgmpListener** deleteOnFirst)
      : seen_(seen), deleteOnFirst_(deleteOnFirst) {}
  void igmpEvent(IgmpEvent const& event) override {
    seen_.push_back({event.kind, event.from, event.group});
    if (deleteOnFirst_ != nullptr && *deleteOnFirst_ != nullptr) {
      (*deleteOnFirst_)->deleteWhenSafe();
      *deleteOnFirst_ = nullptr;
    }
  }

 private:
  std::vector<SeenEvent>& seen_;
  IgmpListener** deleteOnFirst_;
};

// Joins group on vt0, so that the kernel reports it there.
void joinOnVt0(int sock, char const* group) {
  ip_mreq request{};
  request.imr_multiaddr.s_addr = addr(group);
  request.imr_interface.s_addr = addr(testsupport::OWN_ADDRESS);
  ASSERT_EQ(setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request), 0);
}

// Dispatches file events until done() holds or 5 seconds have passed.
template <typename Done>
void dispatchUntil(Done done) {
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    if (!Tcl_DoOneEvent(TCL_FILE_EVENTS | TCL_DONT_WAIT)) usleep(10000);
  }
}

// Two joins make two events (two records of one report, or two reports),
// but the sink deletes the listener at the first: the deletion waits until
// the read handler is done, and no further event is delivered.
// AddressSanitizer catches any use after free.
TEST(IgmpListener, DeletedFromItsOwnEventSafely) {
  REQUIRE_NETNS();
  InterpEnv ie;
  std::vector<SeenEvent> seen;
  IgmpListener* listener = nullptr;
  listener = IgmpListener::create(ie.env, "vt1", std::make_unique<RecordingSink>(seen, &listener));
  ASSERT_NE(listener, nullptr) << ie.env.getResultMsg();
  EXPECT_EQ(listener->interfaceAddress(), addr(testsupport::PEER_ADDRESS));

  int const member = socket(AF_INET, SOCK_DGRAM, 0);
  joinOnVt0(member, "239.9.1.1");
  joinOnVt0(member, "239.9.1.2");
  usleep(200000);  // both reports queued before anything is read
  dispatchUntil([&] { return !seen.empty(); });
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(listener, nullptr);
  EXPECT_EQ(seen[0].kind, IgmpEventKind::TO_EXCLUDE);  // a v3 join
  EXPECT_EQ(seen[0].from, addr(testsupport::OWN_ADDRESS));
  EXPECT_TRUE(seen[0].group == addr("239.9.1.1") || seen[0].group == addr("239.9.1.2"));
  close(member);
}

// A clock the test moves by hand, behind TimeNow().
EventTime fakeNow(1000000, 0);

// Standard error into a file while alive; text() reads what was written.
class CapturedStderr {
 public:
  CapturedStderr() : file_(std::tmpfile()), saved_(dup(2)) {
    std::fflush(stderr);
    dup2(fileno(file_), 2);
  }
  ~CapturedStderr() {
    restore();
    std::fclose(file_);
  }
  std::string text() {
    restore();
    std::rewind(file_);
    std::string result;
    for (int c; (c = std::fgetc(file_)) != EOF;) result += static_cast<char>(c);
    return result;
  }

 private:
  void restore() {
    std::fflush(stderr);
    if (saved_ < 0) return;
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_;
};

// Sends a v2 report of 239.9.3.1 whose checksum is wrong out of vt0.
void sendCorruptReport(int raw) {
  uint8_t report[8] = {IGMP_V2_MEMBERSHIP_REPORT, 0, 0x12, 0x34, 239, 9, 3, 1};
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = addr("239.9.3.1");
  ASSERT_EQ(sendto(raw, report, sizeof report, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 8);
}

size_t countOf(std::string const& text, std::string const& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// A malformed datagram is dropped and traced at once; more within ten
// seconds are only counted, and the next line says how many there were.
TEST(IgmpListener, MalformedDatagramsAreTracedAtARateLimit) {
  REQUIRE_NETNS();
  setClockForTesting([] { return fakeNow; });
  InterpEnv ie;
  std::vector<SeenEvent> seen;
  IgmpListener* listener =
      IgmpListener::create(ie.env, "vt1", std::make_unique<RecordingSink>(seen, nullptr));
  ASSERT_NE(listener, nullptr) << ie.env.getResultMsg();
  int const raw = socket(AF_INET, SOCK_RAW, IPPROTO_IGMP);
  in_addr vt0{addr(testsupport::OWN_ADDRESS)};
  setsockopt(raw, IPPROTO_IP, IP_MULTICAST_IF, &vt0, sizeof vt0);

  std::string trace;
  {
    CapturedStderr captured;
    for (int i = 0; i < 3; ++i) sendCorruptReport(raw);
    dispatchUntil([&] { return listener->stats().malformed == 3; });
    fakeNow = EventTime(1000011, 0);
    sendCorruptReport(raw);
    dispatchUntil([&] { return listener->stats().malformed == 4; });
    trace = captured.text();
  }
  EXPECT_EQ(listener->stats().malformed, 4u);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(countOf(trace,
                    "IgmpListener(vt1): dropped a malformed IGMP datagram from 10.99.0.1: "
                    "bad checksum"),
            2u)
      << trace;
  EXPECT_EQ(countOf(trace, "(2 more dropped since the last such line)"), 1u) << trace;
  listener->deleteWhenSafe();
  close(raw);
  setClockForTesting(nullptr);
}

}  // namespace
