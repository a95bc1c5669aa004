// The IGMP listener: a filtered packet socket on one interface, read from
// the event loop; every message decoded and turned into events.
#include "groupsock/IgmpListener.hh"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "groupsock/AddressString.hh"
#include "groupsock/IgmpWire.hh"
#include "groupsock/OurIPAddress.hh"
#include "groupsock/Socket.hh"
#include "runtime/TaskScheduler.hh"
#include "runtime/UsageEnvironment.hh"

namespace {

// The read buffer of every listener: room for the largest IP datagram. The
// event loop runs one handler at a time, and a handler has decoded a
// datagram into its own storage before it hands on any event, so a nested
// read overwriting the buffer does no harm.
uint8_t readBuffer[65536];

// Datagrams read per wake-up at most, so that a flood of reports cannot keep
// the event loop from everything else.
constexpr int MAX_READS_PER_WAKEUP = 64;

// At most one trace line per this interval about malformed messages.
DelayInterval const MALFORMED_TRACE_INTERVAL(10, 0);

// The kernel socket filter: IP protocol 2, and nothing this host sends
// (the packet socket would otherwise see our own queries and the reports of
// our own group memberships on the way out). A packet socket of type
// SOCK_DGRAM sees the IP header at offset 0.
sock_filter const IGMP_FILTER[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 2, 0),
    BPF_STMT(BPF_LD | BPF_B | BPF_ABS, IPV4_PROTOCOL),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPV4_PROTOCOL_IGMP, 1, 0),
    BPF_STMT(BPF_RET | BPF_K, 0),       // drop
    BPF_STMT(BPF_RET | BPF_K, 0xffff),  // the whole datagram
};

// The interface's first IPv4 address (network order), or 0.
uint32_t firstIPv4Address(char const* interfaceName) {
  ifaddrs* addresses = nullptr;
  if (getifaddrs(&addresses) != 0) return 0;
  uint32_t result = 0;
  for (ifaddrs const* a = addresses; a != nullptr && result == 0; a = a->ifa_next) {
    if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET &&
        std::strcmp(a->ifa_name, interfaceName) == 0) {
      result = reinterpret_cast<sockaddr_in const*>(a->ifa_addr)->sin_addr.s_addr;
    }
  }
  freeifaddrs(addresses);
  return result;
}

// Sets "prefix<interface>suffix" followed by the system's text as the
// result, closes sock when it is open, and returns -1.
int failOpen(UsageEnvironment& env, int sock, char const* prefix, char const* interfaceName,
             char const* suffix) {
  int const savedErrno = errno;
  if (sock >= 0) ::close(sock);
  char message[160];
  std::snprintf(message, sizeof message, "%s%s%s", prefix, interfaceName, suffix);
  errno = savedErrno;
  env.setResultErrMsg(message);
  return -1;
}

// A non-blocking packet socket bound to the interface that passes IGMP
// only, in all-multicast mode; -1 with a message on failure. It is opened
// for no protocol and bound to IP only once the filter is in place, so that
// nothing unfiltered is ever queued on it.
int openPacketSocket(UsageEnvironment& env, char const* interfaceName, int interfaceIndex) {
  int const sock = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sock < 0) {
    if (errno == EPERM || errno == EACCES) {
      env.setResultMsg("reading IGMP on ", interfaceName,
                       " needs root (the CAP_NET_RAW capability)");
      return -1;
    }
    return failOpen(env, sock, "unable to create a packet socket for ", interfaceName, ": ");
  }
  sock_fprog program{};
  program.len = sizeof IGMP_FILTER / sizeof IGMP_FILTER[0];
  program.filter = const_cast<sock_filter*>(IGMP_FILTER);
  if (setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) < 0)
    return failOpen(env, sock, "setsockopt(SO_ATTACH_FILTER) error on ", interfaceName, ": ");

  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_IP);
  address.sll_ifindex = interfaceIndex;
  if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
    return failOpen(env, sock, "bind() error on ", interfaceName, ": ");

  // Reports go to the groups' own link-layer addresses, which a network card
  // filters out unless the host has joined them itself.
  packet_mreq allMulticast{};
  allMulticast.mr_ifindex = interfaceIndex;
  allMulticast.mr_type = PACKET_MR_ALLMULTI;
  if (setsockopt(sock, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &allMulticast, sizeof allMulticast) < 0)
    return failOpen(env, sock, "cannot put ", interfaceName, " into all-multicast mode: ");
  return sock;
}

IgmpEventKind recordKind(uint8_t recordType) {
  switch (recordType) {
    case IGMP_MODE_IS_INCLUDE:
      return IgmpEventKind::IS_INCLUDE;
    case IGMP_MODE_IS_EXCLUDE:
      return IgmpEventKind::IS_EXCLUDE;
    case IGMP_CHANGE_TO_INCLUDE_MODE:
      return IgmpEventKind::TO_INCLUDE;
    case IGMP_CHANGE_TO_EXCLUDE_MODE:
      return IgmpEventKind::TO_EXCLUDE;
    case IGMP_ALLOW_NEW_SOURCES:
      return IgmpEventKind::ALLOW;
    default:
      return IgmpEventKind::BLOCK;
  }
}

bool isKnownRecordType(uint8_t recordType) {
  return recordType >= IGMP_MODE_IS_INCLUDE && recordType <= IGMP_BLOCK_OLD_SOURCES;
}

}  // namespace

char const* igmpEventKindName(IgmpEventKind kind) {
  switch (kind) {
    case IgmpEventKind::JOIN:
      return "join";
    case IgmpEventKind::LEAVE:
      return "leave";
    case IgmpEventKind::IS_INCLUDE:
      return "is_in";
    case IgmpEventKind::IS_EXCLUDE:
      return "is_ex";
    case IgmpEventKind::TO_INCLUDE:
      return "to_in";
    case IgmpEventKind::TO_EXCLUDE:
      return "to_ex";
    case IgmpEventKind::ALLOW:
      return "allow";
    case IgmpEventKind::BLOCK:
      return "block";
    case IgmpEventKind::QUERY:
      return "query";
  }
  return "unknown";
}

IgmpEventSink::~IgmpEventSink() = default;

IgmpListener* IgmpListener::create(UsageEnvironment& env, char const* interfaceName,
                                   std::unique_ptr<IgmpEventSink> sink) {
  unsigned const index = if_nametoindex(interfaceName);
  if (index == 0) {
    env.setResultMsg("no network interface named \"", interfaceName, "\"");
    return nullptr;
  }
  uint32_t const address = firstIPv4Address(interfaceName);
  if (address == 0) {
    env.setResultMsg("network interface \"", interfaceName, "\" has no IPv4 address");
    return nullptr;
  }
  int const sock = openPacketSocket(env, interfaceName, static_cast<int>(index));
  if (sock < 0) return nullptr;
  return new IgmpListener(env, interfaceName, static_cast<int>(index), address, sock,
                          std::move(sink));
}

IgmpListener::IgmpListener(UsageEnvironment& env, std::string interfaceName, int interfaceIndex,
                           uint32_t interfaceAddress, int socket,
                           std::unique_ptr<IgmpEventSink> sink)
    : env_(env),
      interfaceName_(std::move(interfaceName)),
      interfaceIndex_(interfaceIndex),
      interfaceAddress_(interfaceAddress),
      socket_(socket),
      sink_(std::move(sink)) {
  env_.getScheduler().setBackgroundHandling(socket_, TaskScheduler::READABLE, readHandler, this);
  if (Socket::DebugLevel >= 2) {
    env_ << timestampString() << " IgmpListener(" << interfaceName_.c_str()
         << "): listening, own address " << AddressString(interfaceAddress_).val() << "\n";
  }
}

IgmpListener::~IgmpListener() { stop(); }

void IgmpListener::deleteWhenSafe() {
  stop();
  if (dispatchDepth_ > 0) {
    deletionPending_ = true;
    return;
  }
  delete this;
}

// Turns reading off and closes the socket; later events are not delivered.
void IgmpListener::stop() {
  if (socket_ < 0) return;
  env_.getScheduler().setBackgroundHandling(socket_, 0, nullptr, nullptr);
  ::close(socket_);
  socket_ = -1;
  if (Socket::DebugLevel >= 2) {
    env_ << timestampString() << " IgmpListener(" << interfaceName_.c_str() << "): stopped\n";
  }
}

// Called by the event loop when the socket is readable. The sink may delete
// the listener; that is held back until the reading is over.
void IgmpListener::readHandler(void* clientData, int /*mask*/) {
  auto* listener = static_cast<IgmpListener*>(clientData);
  ++listener->dispatchDepth_;
  listener->readAvailable();
  if (--listener->dispatchDepth_ == 0 && listener->deletionPending_) delete listener;
}

// Reads what is queued, up to MAX_READS_PER_WAKEUP datagrams. A failed read
// (say the interface went down) becomes a background error; the kernel
// reports such an error once, so the loop does not spin on it.
void IgmpListener::readAvailable() {
  for (int i = 0; i < MAX_READS_PER_WAKEUP && socket_ >= 0; ++i) {
    ssize_t const length = recv(socket_, readBuffer, sizeof readBuffer, 0);
    if (length < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      char prefix[80];
      std::snprintf(prefix, sizeof prefix,
                    "IGMP listener on %s: recv() error: ", interfaceName_.c_str());
      env_.setResultErrMsg(prefix);
      env_.reportBackgroundError();
      return;
    }
    handleDatagram(readBuffer, static_cast<size_t>(length));
  }
}

// Decodes, counts and dispatches one IP datagram. Other protocols' messages
// and our own are passed over; malformed ones are traced and dropped.
void IgmpListener::handleDatagram(uint8_t const* data, size_t length) {
  ++stats_.datagrams;
  IgmpPacket packet;
  IgmpParseStatus const status = parseIgmpPacket(data, length, packet);
  if (status == IgmpParseStatus::UNKNOWN_TYPE || packet.source == interfaceAddress_) {
    ++stats_.ignored;
    return;
  }
  if (status != IgmpParseStatus::OK) {
    ++stats_.malformed;
    traceMalformed(packet, status);
    return;
  }
  dispatch(packet);
}

// Turns a message into its events: one for a query, report or leave, one
// per group record of a known type for a v3 report.
void IgmpListener::dispatch(IgmpPacket const& packet) {
  IgmpMessage const& message = packet.message;
  std::vector<uint32_t> const none;
  switch (message.type) {
    case IGMP_MEMBERSHIP_QUERY:
      ++stats_.queries;
      deliver(IgmpEventKind::QUERY, packet, message.group, message.sources);
      break;
    case IGMP_V1_MEMBERSHIP_REPORT:
    case IGMP_V2_MEMBERSHIP_REPORT:
      ++stats_.reports;
      deliver(IgmpEventKind::JOIN, packet, message.group, none);
      break;
    case IGMP_V2_LEAVE_GROUP:
      ++stats_.leaves;
      deliver(IgmpEventKind::LEAVE, packet, message.group, none);
      break;
    case IGMP_V3_MEMBERSHIP_REPORT:
      ++stats_.reports;
      for (IgmpGroupRecord const& record : message.records) {
        if (!isKnownRecordType(record.type)) {
          ++stats_.ignored;  // RFC 3376 4.2.12: unknown record types are ignored
          continue;
        }
        if (!deliver(recordKind(record.type), packet, record.group, record.sources)) break;
      }
      break;
    default:
      break;
  }
}

// Hands one event to the sink; false when the listener was stopped (by the
// sink or before), so that no further event of the message is delivered.
bool IgmpListener::deliver(IgmpEventKind kind, IgmpPacket const& packet, uint32_t group,
                           std::vector<uint32_t> const& sources) {
  if (socket_ < 0) return false;
  ++stats_.events;
  if (Socket::DebugLevel >= 3) {
    env_ << timestampString() << " IgmpListener(" << interfaceName_.c_str()
         << "): " << igmpEventKindName(kind) << " " << AddressString(group).val() << " from "
         << AddressString(packet.source).val() << " (v" << packet.message.version << ", "
         << static_cast<unsigned>(sources.size()) << " sources)\n";
  }
  sink_->igmpEvent(
      IgmpEvent{kind, packet.message.version, packet.source, group, sources, packet.message});
  return socket_ >= 0;
}

// At trace level 1 and above: the first malformed datagram at once, then at
// most one line per MALFORMED_TRACE_INTERVAL, which also tells how many
// were dropped without a line since the previous one.
void IgmpListener::traceMalformed(IgmpPacket const& packet, IgmpParseStatus status) {
  if (Socket::DebugLevel < 1) return;
  EventTime const now = TimeNow();
  if (now - lastMalformedTrace_ < MALFORMED_TRACE_INTERVAL) {
    ++malformedSinceTrace_;
    return;
  }
  env_ << timestampString() << " IgmpListener(" << interfaceName_.c_str()
       << "): dropped a malformed IGMP datagram from " << AddressString(packet.source).val() << ": "
       << igmpParseStatusText(status);
  if (malformedSinceTrace_ > 0) {
    env_ << " (" << static_cast<unsigned>(malformedSinceTrace_)
         << " more dropped since the last such line)";
  }
  env_ << "\n";
  lastMalformedTrace_ = now;
  malformedSinceTrace_ = 0;
}
