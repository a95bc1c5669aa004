// The tunnel socket: set-up, reference count and background reading. The
// receive path is in TunnelReceivePath.cc.
#include "tunnel/UDPtunnelSocket.hh"

#include <arpa/inet.h>

#include "groupsock/OurIPAddress.hh"
#include "groupsock/SocketHelpers.hh"
#include "runtime/UsageEnvironment.hh"

namespace {

// Tunnel traffic comes in bursts from many groups at once.
constexpr unsigned TUNNEL_SOCKET_BUFFER_SIZE = 262144;
// And the receive side carries every group of every peer on the port: the
// room for several milliseconds of it, where the system allows.
constexpr unsigned TUNNEL_SOCKET_RECEIVE_BUFFER = 8 << 20;

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
