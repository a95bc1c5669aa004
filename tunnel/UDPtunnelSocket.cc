// The tunnel socket: set-up, reference count and background reading. The
// receive path is in TunnelReceivePath.cc.
#include "tunnel/UDPtunnelSocket.hh"

#include <arpa/inet.h>

#include "groupsock/AddressString.hh"
#include "groupsock/OurIPAddress.hh"
#include "groupsock/SocketHelpers.hh"
#include "runtime/UsageEnvironment.hh"

namespace {

// Tunnel traffic comes in bursts from many groups at once.
constexpr unsigned TUNNEL_SOCKET_BUFFER_SIZE = 262144;
// And the receive side carries every group of every peer on the port: the
// room for several milliseconds of it, where the system allows.
constexpr unsigned TUNNEL_SOCKET_RECEIVE_BUFFER = 8 << 20;

// The least time between two trace lines about refused strangers.
constexpr std::chrono::seconds REFUSAL_TRACE_INTERVAL(10);

}  // namespace

UDPtunnelSocket::UDPtunnelSocket(UsageEnvironment& env, Port port) : Socket(env, port) {
  if (socketNum() < 0) return;
  increaseSendBufferTo(this->env(), socketNum(), TUNNEL_SOCKET_BUFFER_SIZE);
  increaseReceiveBufferTo(this->env(), socketNum(), TUNNEL_SOCKET_BUFFER_SIZE);
  raiseReceiveBuffer(socketNum(), TUNNEL_SOCKET_RECEIVE_BUFFER);
  if (Socket::DebugLevel >= 2) this->env() << *this << ": created\n";
}

// The last tunnel has normally turned reading off already; doing it here too
// keeps the event loop from ever calling into a deleted socket.
UDPtunnelSocket::~UDPtunnelSocket() {
  if (Socket::DebugLevel >= 2) env() << *this << ": deleting\n";
  env().getScheduler().setBackgroundHandling(socketNum(), 0, nullptr, nullptr);
}

unsigned UDPtunnelSocket::decrementReferenceCount() {
  if (referenceCount_ > 0) --referenceCount_;
  return referenceCount_;
}

void UDPtunnelSocket::restrictStrangersTo(NetworkAllowList const& networks) {
  allowedStrangers_ = networks;
  strangersRestricted_ = true;
}

void UDPtunnelSocket::acceptAnyStranger() {
  allowedStrangers_.clear();
  strangersRestricted_ = false;
}

bool UDPtunnelSocket::refusesStranger(unsigned address) {
  if (!createsDynamicTunnels_ || !strangersRestricted_ || allowedStrangers_.contains(address)) {
    return false;
  }
  ++strangersRefused_;
  auto const now = std::chrono::steady_clock::now();
  if (Socket::DebugLevel >= 1 && now >= nextRefusalTrace_) {
    env() << *this << ": refused " << strangersRefused_ - strangersRefusedAtTrace_
          << " datagram(s) from outside the accepted networks, the latest from "
          << AddressString(address).val() << "\n";
    strangersRefusedAtTrace_ = strangersRefused_;
    nextRefusalTrace_ = now + REFUSAL_TRACE_INTERVAL;
  }
  return true;
}

bool UDPtunnelSocket::sendToPeer(unsigned address, Port port, unsigned char* data, unsigned size) {
  in_addr to;
  to.s_addr = address;
  if (IN_MULTICAST(ntohl(address))) return writeSocket(env(), socketNum(), to, port, 0, data, size);
  return writeSocket(env(), socketNum(), to, port, data, size);
}

void UDPtunnelSocket::turnOnBackgroundReadHandling() {
  env().getScheduler().setBackgroundHandling(socketNum(), TaskScheduler::READABLE,
                                             socketReadHandler, static_cast<Socket*>(this));
}

UsageEnvironment& operator<<(UsageEnvironment& env, UDPtunnelSocket const& sock) {
  return env << timestampString() << " UDPtunnelSocket(" << sock.port() << ")";
}
