// Sending IGMP queries through a raw IP socket whose IP header the kernel
// builds: the source is the bound interface address, the Router Alert
// option comes from IP_OPTIONS and the time-to-live from IP_MULTICAST_TTL.
#include "groupsock/IgmpQuerySender.hh"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "groupsock/IgmpWire.hh"
#include "runtime/UsageEnvironment.hh"

namespace {

// A raw IGMP socket is also handed a copy of every IGMP message the host
// receives; this one only sends, so a filter drops them all on arrival.
sock_filter const DROP_ALL[] = {BPF_STMT(BPF_RET | BPF_K, 0)};

// Sets "prefix<interface>: " and the system's text as the result, closes
// the socket and returns false.
bool failSetup(UsageEnvironment& env, int sock, char const* prefix, char const* interfaceName) {
  int const savedErrno = errno;
  ::close(sock);
  char message[120];
  std::snprintf(message, sizeof message, "%s%s: ", prefix, interfaceName);
  errno = savedErrno;
  env.setResultErrMsg(message);
  return false;
}

// The options of a querier's socket, in order; false with a message.
bool configure(UsageEnvironment& env, int sock, char const* interfaceName, int interfaceIndex,
               uint32_t interfaceAddress) {
  sock_fprog program{};
  program.len = 1;
  program.filter = const_cast<sock_filter*>(DROP_ALL);
  if (setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) < 0)
    return failSetup(env, sock, "setsockopt(SO_ATTACH_FILTER) error for ", interfaceName);
  if (setsockopt(sock, IPPROTO_IP, IP_OPTIONS, IPV4_ROUTER_ALERT_OPTION,
                 sizeof IPV4_ROUTER_ALERT_OPTION) < 0)
    return failSetup(env, sock, "setsockopt(IP_OPTIONS) error for ", interfaceName);
  ip_mreqn outgoing{};
  outgoing.imr_address.s_addr = interfaceAddress;
  outgoing.imr_ifindex = interfaceIndex;
  if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) < 0)
    return failSetup(env, sock, "setsockopt(IP_MULTICAST_IF) error for ", interfaceName);
  unsigned char const ttl = 1;
  if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0)
    return failSetup(env, sock, "setsockopt(IP_MULTICAST_TTL) error for ", interfaceName);
  // Our own queries are not for this host's IP stack to answer.
  unsigned char const loop = 0;
  if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0)
    return failSetup(env, sock, "setsockopt(IP_MULTICAST_LOOP) error for ", interfaceName);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = interfaceAddress;
  if (bind(sock, reinterpret_cast<sockaddr*>(&source), sizeof source) < 0)
    return failSetup(env, sock, "bind() error for ", interfaceName);
  return true;
}

}  // namespace

IgmpQuerySender* IgmpQuerySender::create(UsageEnvironment& env, char const* interfaceName,
                                         int interfaceIndex, uint32_t interfaceAddress) {
  // Non-blocking: a full device queue fails the send instead of stalling
  // the event loop.
  int const sock = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_IGMP);
  if (sock < 0) {
    if (errno == EPERM || errno == EACCES) {
      env.setResultMsg("sending IGMP queries on ", interfaceName,
                       " needs root (the CAP_NET_RAW capability)");
    } else {
      int const savedErrno = errno;
      char message[120];
      std::snprintf(message, sizeof message,
                    "unable to create a raw IGMP socket for %s: ", interfaceName);
      errno = savedErrno;
      env.setResultErrMsg(message);
    }
    return nullptr;
  }
  if (!configure(env, sock, interfaceName, interfaceIndex, interfaceAddress)) return nullptr;
  return new IgmpQuerySender(env, sock);
}

IgmpQuerySender::IgmpQuerySender(UsageEnvironment& env, int socket) : env_(env), socket_(socket) {}

IgmpQuerySender::~IgmpQuerySender() { ::close(socket_); }

bool IgmpQuerySender::send(IgmpQuery const& query) {
  uint8_t message[IGMP_V3_QUERY_MIN_SIZE + 4 * MAX_SOURCES];
  size_t const size = buildIgmpQuery(query, message, sizeof message);
  if (size == 0) {
    env_.setResultMsg("IGMP query names too many sources");
    return false;
  }
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = query.group != 0 ? query.group : htonl(IGMP_ALL_SYSTEMS_GROUP);
  ssize_t const sent = sendto(socket_, message, size, 0, reinterpret_cast<sockaddr*>(&destination),
                              sizeof destination);
  if (sent != static_cast<ssize_t>(size)) {
    env_.setResultErrMsg("IGMP query: sendto() error: ");
    return false;
  }
  ++queriesSent_;
  return true;
}
