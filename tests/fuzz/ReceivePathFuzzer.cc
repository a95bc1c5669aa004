// libFuzzer harness for the tunnel receive path: each input is one datagram
// handed to handleRead1 of a tunnel socket that has a known tunnel.
//
//   input:  selector byte | datagram
//   selector bits 0-1  sender: 0, 3 the known tunnel's peer (10.99.0.2:20000);
//                      1 a stranger (10.99.0.2:20001); 2 the peer of a tunnel
//                      that lives on another socket (10.99.0.2:20002)
//            bit 2     cookie checking on
//            bit 3     put the known tunnel's cookie into dstCookie first
//            bit 4     the socket opens tunnels for strangers
//            bit 5     the known tunnel is master-only
//            bit 6     the known tunnel is locally-only
//            bit 7     trace at level 3 (to a sink) instead of -1
//
// Replies and multicast really are sent, so the harness moves itself into a
// private network namespace before anything else and refuses to run if it
// cannot: it never fuzzes in the host's own network.
#include <arpa/inet.h>
#include <sched.h>
#include <sys/stat.h>
#include <tcl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockLookupTable.hh"
#include "groupsock/NetAddress.hh"
#include "groupsock/Socket.hh"
#include "runtime/DelayQueue.hh"
#include "runtime/TaskScheduler.hh"
#include "runtime/UsageEnvironment.hh"
#include "tests/support/IdleScheduler.hh"
#include "tunnel/TunnelEncapsulation.hh"
#include "tunnel/UDPtunnel.hh"
#include "tunnel/UDPtunnelLookupTable.hh"
#include "tunnel/UDPtunnelSocket.hh"
#include "tunnel/UDPtunnelSocketLookupTable.hh"

namespace {

constexpr unsigned short TUNNEL_PORT = 10100;
constexpr unsigned short OTHER_TUNNEL_PORT = 10101;
constexpr unsigned short PEER_PORT = 20000;
constexpr unsigned short STRANGER_PORT = 20001;
constexpr unsigned short ELSEWHERE_PORT = 20002;
char const* const PEER_ADDRESS = "10.99.0.2";
char const* const ANCHOR_ADDRESS = "127.0.0.1";  // a tunnel that keeps the socket open
char const* const GROUP = "239.1.2.3";           // has a groupsock, so DATA is relayed
char const* const SSM_SOURCE = "10.0.0.1";
constexpr unsigned short GROUP_PORT = 5004;

// Schedules nothing: the harness never runs an event loop.
using SilentScheduler = testsupport::IdleScheduler;

// Keeps result messages and formats trace output into a sink, so that the
// trace code runs without flooding the fuzzer's own output.
class SilentEnvironment : public UsageEnvironment {
 public:
  explicit SilentEnvironment(TaskScheduler& scheduler) : UsageEnvironment(scheduler) {}
  char const* getResultMsg() const override { return result.c_str(); }
  void setResultMsg(char const* msg) override { result = msg; }
  void setResultMsg(char const* msg1, char const* msg2) override {
    result = std::string(msg1) + msg2;
  }
  void setResultMsg(char const* msg1, char const* msg2, char const* msg3) override {
    result = std::string(msg1) + msg2 + msg3;
  }
  void setResultErrMsg(char const* msg, int) override {
    result = std::string(msg) + std::strerror(errno);
  }
  void appendToResultMsg(char const* msg) override { result += msg; }
  void reportBackgroundError() override {}
  int getErrno() const override { return errno; }
  UsageEnvironment& operator<<(char const* str) override { return sink("%s", str); }
  UsageEnvironment& operator<<(int i) override { return sink("%d", i); }
  UsageEnvironment& operator<<(unsigned u) override { return sink("%u", u); }
  UsageEnvironment& operator<<(double d) override { return sink("%g", d); }
  UsageEnvironment& operator<<(void* p) override { return sink("%p", p); }
  void clear() { result.clear(); }

 private:
  template <typename T>
  UsageEnvironment& sink(char const* format, T value) {
    std::snprintf(line, sizeof line, format, value);
    return *this;
  }
  std::string result;
  char line[256];
};

SilentScheduler* scheduler;
SilentEnvironment* env;
UDPtunnelSocket* tunnelSocket;

unsigned addressOf(char const* dotted) { return inet_addr(dotted); }

UDPtunnel* newTunnel(char const* address, unsigned short remotePort, unsigned short localPort,
                     bool masterOnly) {
  unsigned a = addressOf(address);
  NetAddress remote(reinterpret_cast<unsigned char const*>(&a), sizeof a);
  auto* tunnel = new UDPtunnel(remote, Port(remotePort), Port(localPort), OurTunnelSockets,
                               OurGroupsocks, *env, masterOnly ? 1 : 0);
  if (tunnel->tunnelSocket() == nullptr) {
    std::fprintf(stderr, "ReceivePathFuzzer: no tunnel socket: %s\n", env->getResultMsg());
    std::abort();
  }
  OurTunnels.Add(tunnel);
  return tunnel;
}

// Moves the process into a fresh network namespace laid out like the unit
// tests' one, or ends it.
void enterPrivateNetworkNamespace() {
  struct stat before {};
  stat("/proc/self/ns/net", &before);
  if (unshare(CLONE_NEWNET) != 0) {
    std::perror("ReceivePathFuzzer: cannot make a private network namespace (needs root)");
    std::abort();
  }
  struct stat after {};
  if (stat("/proc/self/ns/net", &after) != 0 || after.st_ino == before.st_ino) {
    std::fprintf(stderr, "ReceivePathFuzzer: still in the host's network namespace\n");
    std::abort();
  }
  if (std::system(VELDRA_NETNS_SETUP " >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "ReceivePathFuzzer: %s failed\n", VELDRA_NETNS_SETUP);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  enterPrivateNetworkNamespace();
  Tcl_FindExecutable(*argc > 0 ? (*argv)[0] : nullptr);
  scheduler = new SilentScheduler;
  env = new SilentEnvironment(*scheduler);
  processDelayQueue();

  // The anchor tunnel keeps the socket open whatever the inputs tear down.
  tunnelSocket = newTunnel(ANCHOR_ADDRESS, 9, TUNNEL_PORT, false)->tunnelSocket();
  newTunnel(PEER_ADDRESS, ELSEWHERE_PORT, OTHER_TUNNEL_PORT, false);

  // Groupsocks of this host's own, kept across inputs, that data is relayed to.
  bool isNew;
  Groupsock* any =
      OurGroupsocks.Fetch(*env, addressOf(GROUP), NO_SOURCE_FILTER, Port(GROUP_PORT), 16, isNew);
  Groupsock* ssm = OurGroupsocks.Fetch(*env, addressOf(GROUP), addressOf(SSM_SOURCE),
                                       Port(GROUP_PORT), 0, isNew);
  if (any == nullptr || ssm == nullptr) {
    std::fprintf(stderr, "ReceivePathFuzzer: no groupsock: %s\n", env->getResultMsg());
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  if (size < 1) return 0;
  uint8_t const selector = data[0];
  // A buffer of exactly the datagram's size, so that a reply or relay
  // trailer written past the datagram's end is caught, not just one past
  // the shared read buffer's.
  std::vector<unsigned char> datagram(data + 1, data + std::min<size_t>(size, IO_BUFFER_SIZE + 1));
  unsigned char* packet = datagram.data();
  size_t const length = datagram.size();

  int const level = (selector & 0x80) ? 3 : -1;
  Socket::DebugLevel = UDPtunnel::DebugLevel = level;
  UDPtunnel::performCookieCheck = (selector & 0x04) != 0;
  tunnelSocket->setCreatesDynamicTunnels((selector & 0x10) != 0);
  UDPtunnel* known = newTunnel(PEER_ADDRESS, PEER_PORT, TUNNEL_PORT, (selector & 0x20) != 0);
  known->setTunnelLocallyOnly((selector & 0x40) != 0);
  unsigned const group = addressOf(GROUP);
  OurGroupsocks.Lookup(group, NO_SOURCE_FILTER, Port(GROUP_PORT))->members().Add(known);
  OurGroupsocks.Lookup(group, addressOf(SSM_SOURCE), Port(GROUP_PORT))->members().Add(known);
  if ((selector & 0x08) && length >= TRAILER_SIZE) {
    uint16_t cookie = known->localCookie();
    std::memcpy(packet + length - TRAILER_SIZE + 2, &cookie, sizeof cookie);
  }

  unsigned short const senderPorts[] = {PEER_PORT, STRANGER_PORT, ELSEWHERE_PORT, PEER_PORT};
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = addressOf(PEER_ADDRESS);
  from.sin_port = htons(senderPorts[selector & 0x03]);
  tunnelSocket->handleRead1(packet, static_cast<unsigned>(length), from);

  // Back to the starting state: only the anchor and the tunnel elsewhere stay.
  Socket::DebugLevel = UDPtunnel::DebugLevel = -1;
  unsigned const peer = addressOf(PEER_ADDRESS);
  for (unsigned short port : {PEER_PORT, STRANGER_PORT}) {
    if (UDPtunnel* tunnel = OurTunnels.Lookup(peer, Port(port))) {
      OurTunnels.Remove(tunnel);
      delete tunnel;
    }
  }
  env->clear();
  return 0;
}
