// Sockets that send with a cached multicast time-to-live.
#include "groupsock/OutputSocket.hh"

#include "groupsock/SocketHelpers.hh"
#include "runtime/UsageEnvironment.hh"

namespace {

// No time-to-live byte equals it, so the next write sets the option.
constexpr unsigned TTL_UNKNOWN = 256;

}  // namespace

// A socket whose port the system chooses when it first sends.
OutputSocket::OutputSocket(UsageEnvironment& env)
    : Socket(env, Port(0)), sourcePort_(0), lastTTL_(TTL_UNKNOWN) {}

OutputSocket::OutputSocket(UsageEnvironment& env, Port port)
    : Socket(env, port), sourcePort_(0), lastTTL_(TTL_UNKNOWN) {}

// Sends one datagram to address (network order) and port. The multicast
// time-to-live is set on the descriptor only when it differs from the one
// set last. On the first successful send the socket learns its source port,
// by which a groupsock recognises its own datagrams when they loop back.
//
// Results: true when the datagram went out whole and the source port is
// known. False with the environment's message otherwise; when only the
// source port could not be learned, the datagram has been sent and the next
// write tries again.
bool OutputSocket::write(unsigned address, Port port, unsigned char ttl, unsigned char* buffer,
                         unsigned bufferSize) {
  in_addr destination;
  destination.s_addr = address;
  if (ttl != lastTTL_) {
    if (!writeSocket(env(), socketNum(), destination, port, ttl, buffer, bufferSize)) {
      // The option may have been set before the send failed: whatever the
      // descriptor holds now, the next write must set it again.
      lastTTL_ = TTL_UNKNOWN;
      return false;
    }
    lastTTL_ = ttl;
  } else if (!writeSocket(env(), socketNum(), destination, port, buffer, bufferSize)) {
    return false;
  }

  if (sourcePort_.num() == 0 && !getSourcePort(env(), socketNum(), sourcePort_)) {
    if (DebugLevel >= 1) {
      env() << *this << ": failed to get source port: " << env().getResultMsg() << "\n";
    }
    return false;
  }
  return true;
}

// A plain output socket reads nothing: bytesRead is left as it is.
bool OutputSocket::handleRead(unsigned char*, unsigned, unsigned&, sockaddr_in&) { return true; }
