// The receive path of the tunnel socket: every datagram read from a tunnel
// socket is taken apart here. handleRead1 is the entry and reads as the
// path does: decode the trailer (a pure function of the bytes), find the
// tunnel by the sender's address and port (answer a stranger's probe,
// refuse a stranger, or open a tunnel for it), check the cookie, and hand
// the datagram to the one small handler of its command.
//
// The datagram lies in the read buffer of the event loop; replies are
// built in place in its trailer bytes and sent before returning, and data
// is relayed from it without a copy. A TEAR_DOWN deletes the tunnel and
// possibly this very socket, so it is always the last thing done.
#include <arpa/inet.h>

#include <cstdint>

#include "groupsock/AddressString.hh"
#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockLookupTable.hh"
#include "groupsock/NetAddress.hh"
#include "groupsock/SocketHelpers.hh"
#include "runtime/UsageEnvironment.hh"
#include "tunnel/TunnelEncapsulation.hh"
#include "tunnel/UDPtunnel.hh"
#include "tunnel/UDPtunnelLookupTable.hh"
#include "tunnel/UDPtunnelSocket.hh"
#include "tunnel/UDPtunnelSocketLookupTable.hh"

namespace {

// One received datagram: where it lies, who sent it, and its decoded trailer.
struct Received {
  UDPtunnelSocket& socket;
  unsigned char* packet;
  unsigned size;
  sockaddr_in& from;
  DecodedTrailer const& trailer;

  unsigned senderAddress() const { return from.sin_addr.s_addr; }  // network order
  Port senderPort() const { return Port(ntohs(from.sin_port)); }
  Port port() const { return Port(ntohs(trailer.port)); }
  // The basic trailer in place, where replies are built.
  TunnelEncapsulationTrailer& basic() const {
    return *reinterpret_cast<TunnelEncapsulationTrailer*>(packet + trailer.trailerOffset);
  }
};

// The companion port of an RTP port, p + 1 modulo 65536.
Port nextPort(Port port) { return Port(static_cast<unsigned short>(ntohs(port.num()) + 1)); }

// A stranger's datagram on a socket that opens tunnels for strangers: a
// tunnel is made for its sender, within the socket's bound. The datagram
// itself is not acted on: it cannot carry the brand-new tunnel's cookie
// except by a guess, so it is answered as one with the wrong cookie, by a
// PROBE_ACK from which an honest peer learns the cookie (and sends its
// JOINs again at once). False, with "Failed to create new dynamic
// tunnel!", when the tunnel cannot have its socket.
bool openDynamicTunnel(Received const& d) {
  UsageEnvironment& out = d.socket.env();
  if (!d.socket.guard().admitsDynamicTunnel(d.senderAddress())) return true;
  if (Socket::DebugLevel >= 1) {
    out << d.socket << ": dynamically creating new tunnel for remote address "
        << AddressString(d.senderAddress()).val() << ", port " << d.senderPort() << "\n";
  }
  unsigned const senderAddress = d.senderAddress();
  NetAddress remote(reinterpret_cast<unsigned char const*>(&senderAddress), sizeof senderAddress);
  auto* tunnel = new UDPtunnel(remote, d.senderPort(), d.socket.port(), OurTunnelSockets,
                               OurGroupsocks, out, 0);
  if (tunnel->tunnelSocket() == nullptr) {
    if (Socket::DebugLevel >= 0) out.setResultMsg("Failed to create new dynamic tunnel!");
    delete tunnel;
    return false;
  }
  OurTunnels.Add(tunnel);
  d.socket.guard().dynamicTunnelMade(*tunnel);
  // With cookie checking off there is nothing to guess: the datagram goes
  // once more through the path, where its sender is known now.
  if (!UDPtunnel::performCookieCheck) return d.socket.handleRead1(d.packet, d.size, d.from);
  if (d.socket.guard().mayReply(d.senderAddress())) {
    tunnel->acknowledgeProbe(&d.basic(), d.trailer.srcCookie);
  }
  return true;
}

// A sender without a tunnel on this socket. A PROBE is answered PROBE_NACK
// (with the cookies swapped) and opens nothing; anything else is refused,
// unless the socket opens tunnels for strangers. tunnelElsewhere: the
// sender has a tunnel, but on another socket.
bool handleStranger(Received const& d, bool tunnelElsewhere) {
  // One from outside the networks this socket accepts strangers from gets
  // nothing at all, not even a reply.
  if (d.socket.refusesStranger(d.senderAddress())) return true;
  if (d.trailer.command == PROBE) {
    if (!d.socket.guard().mayReply(d.senderAddress())) return true;
    turnIntoReply(d.basic(), PROBE_NACK, d.trailer.dstCookie, d.trailer.srcCookie);
    d.socket.sendReply(d.basic(), d.senderAddress(), d.senderPort());
    return true;
  }
  if (tunnelElsewhere || !d.socket.createsDynamicTunnels()) {
    if (Socket::DebugLevel >= 1) {
      d.socket.env() << d.socket << ": received packet from bad source: "
                     << AddressString(d.senderAddress()).val() << "\n";
    }
    return true;
  }
  return openDynamicTunnel(d);
}

// The trace line of every datagram from a known sender, at level 3.
void traceReceived(Received const& d) {
  if (Socket::DebugLevel < 3) return;
  UsageEnvironment& out = d.socket.env();
  DecodedTrailer const& t = d.trailer;
  out << d.socket << ": read " << d.size << " bytes from " << AddressString(d.senderAddress()).val()
      << "; cmd " << cmdName(t.command) << ", addr " << AddressString(t.address).val() << ", port "
      << d.port() << ", ttl " << static_cast<unsigned>(t.ttl);
  if (t.ssm) out << ", SSM source: " << AddressString(t.sourceFilter).val();
  out << "\n";
}

// Whether the datagram carries a cookie the tunnel accepts (always, with
// checking off). A sender with the wrong one is taught the right one by a
// PROBE_ACK (as many a second as the socket's guard allows), and nothing
// else happens.
bool passesCookieCheck(Received const& d, UDPtunnel& tunnel) {
  if (!UDPtunnel::performCookieCheck || tunnel.acceptsCookie(d.trailer.dstCookie)) return true;
  if (Socket::DebugLevel >= 3) {
    d.socket.env() << d.socket << ": cookie mismatch (saw "
                   << static_cast<unsigned>(d.trailer.dstCookie)
                   << " (src: " << static_cast<unsigned>(d.trailer.srcCookie) << "), wanted "
                   << static_cast<unsigned>(tunnel.localCookie()) << "), returning PROBE_ACK\n";
  }
  d.socket.guard().acknowledgeWrongCookie(tunnel, &d.basic(), d.trailer.srcCookie);
  return false;
}

// Every accepted datagram counts as the peer's activity and teaches us its
// cookie, except a PROBE_NACK, whose cookies are those of a probe we sent,
// swapped, not the peer's own.
void noteActivity(Received const& d, UDPtunnel& tunnel) {
  if (d.trailer.command == PROBE_NACK) return;
  tunnel.countIncomingActivity();
  bool const relearnt = d.trailer.srcCookie != tunnel.remoteCookie();
  tunnel.setRemoteCookie(d.trailer.srcCookie);
  // A PROBE_ACK with a cookie new to us answers something the peer
  // refused, most likely our JOINs: send them again rather than leave the
  // peer's memberships waiting for the next repetition.
  if (relearnt && d.trailer.command == PROBE_ACK) tunnel.resendPendingJoins();
}

// DATA, SSM_DATA: the payload goes to the local group, through the local
// groupsock of that group, port and source filter, which also relays it to
// its other member tunnels.
bool handleData(Received const& d, UDPtunnel& tunnel) {
  UsageEnvironment& out = d.socket.env();
  DecodedTrailer const& t = d.trailer;
  tunnel.incomingStats().countPacket(d.size);
  if (!IsMulticastAddress(t.address)) {
    if (Socket::DebugLevel >= 1) {
      out << d.socket << ": data packet from " << AddressString(d.senderAddress()).val()
          << " was destined to an invalid multicast"
          << " address " << AddressString(t.address).val() << "\n";
    }
    return true;
  }
  unsigned char const ttl = tunnel.tunnelLocallyOnly() ? 0 : t.ttl;
  // Found with the datagram's own source filter, the groupsock appends a
  // trailer of the received one's length, in its place.
  if (Groupsock* groupsock = OurGroupsocks.Lookup(t.address, t.sourceFilter, d.port())) {
    // Counted before the output: relaying may make another tunnel tear
    // itself down and take this groupsock with it.
    Groupsock::statsRelayedOutgoing.countPacket(t.payloadSize);
    groupsock->relayedOutgoingStats().countPacket(t.payloadSize);
    groupsock->output(out, ttl, d.packet, t.payloadSize, &tunnel);
  } else if (!tunnel.masterOnlyCheck(t.command, d.from)) {
    // A master-only tunnel's peer may send to any group here; with no
    // groupsock, the datagram goes out straight from this socket.
    in_addr to;
    to.s_addr = t.address;
    writeSocket(out, d.socket.socketNum(), to, d.port(), ttl, d.packet, t.payloadSize);
    Groupsock::statsOutgoing.countPacket(t.payloadSize);
    Groupsock::statsRelayedOutgoing.countPacket(t.payloadSize);
  }
  return true;  // else nobody here has joined the group
}

// JOIN, SSM_JOIN, and the RTP forms, which also join the companion port:
// the tunnel joins the group for its peer, unless it is master-only or
// the socket's guard refuses the JOIN.
bool handleJoin(Received const& d, UDPtunnel& tunnel, bool rtp) {
  DecodedTrailer const& t = d.trailer;
  if (!tunnel.masterOnlyCheck(t.command, d.from)) return true;
  if (!d.socket.guard().admitsJoin(tunnel, t, rtp, d.senderAddress())) return true;
  tunnel.joinGroup(t.address, t.sourceFilter, d.port(), t.ttl, JoinMode::PEER);
  if (rtp) tunnel.joinGroup(t.address, t.sourceFilter, nextPort(d.port()), t.ttl, JoinMode::PEER);
  return true;
}

// LEAVE, SSM_LEAVE, and the RTP forms: the peer's membership ends.
bool handleLeave(Received const& d, UDPtunnel& tunnel, bool rtp) {
  DecodedTrailer const& t = d.trailer;
  if (!tunnel.masterOnlyCheck(t.command, d.from)) return true;
  tunnel.leaveGroup(t.address, t.sourceFilter, d.port(), JoinMode::PEER);
  if (rtp) tunnel.leaveGroup(t.address, t.sourceFilter, nextPort(d.port()), JoinMode::PEER);
  return true;
}

// TEAR_DOWN: the tunnel goes (unless master-only), and the scripts hear of
// it as a background error, "tunnelTearDown <peer>fromRemote".
bool handleTearDown(Received const& d, UDPtunnel& tunnel) {
  if (!tunnel.masterOnlyCheck(d.trailer.command, d.from)) return true;
  UsageEnvironment& out = d.socket.env();  // outlives the socket
  if (Socket::DebugLevel >= 0) {
    out.setResultMsg("tunnelTearDown ", AddressString(tunnel.remoteAddress()).val(), "fromRemote");
  }
  OurTunnels.Remove(&tunnel);
  // May delete this socket too (the last tunnel on it): touch nothing of
  // it, or of the tunnel, after this.
  delete &tunnel;
  return false;
}

// PROBE: answered PROBE_ACK with both cookies, the peer's just learnt.
bool handleProbe(Received const& d, UDPtunnel& tunnel) {
  tunnel.acknowledgeProbe(&d.basic(), tunnel.remoteCookie());
  return true;
}

bool handleProbeNack(Received const& d) {
  if (Socket::DebugLevel >= 1) {
    d.socket.env() << d.socket << ": received PROBE_NACK from "
                   << AddressString(d.senderAddress()).val() << "\n";
  }
  return true;
}

bool handleUnknown(Received const& d) {
  if (Socket::DebugLevel >= 1) {
    d.socket.env() << d.socket << ": received unknown command: "
                   << reinterpret_cast<void*>(static_cast<uintptr_t>(d.trailer.command))
                   << " across tunnel\n";
  }
  return true;
}

// Hands an accepted datagram to the handler of its command (the whole
// byte: 0x84 is no tear-down).
bool handleCommand(Received const& d, UDPtunnel& tunnel) {
  switch (d.trailer.command) {
    case DATA:
    case SSM_DATA:
      return handleData(d, tunnel);
    case JOIN:
    case SSM_JOIN:
      return handleJoin(d, tunnel, false);
    case JOIN_RTP:
    case SSM_JOIN_RTP:
      return handleJoin(d, tunnel, true);
    case LEAVE:
    case SSM_LEAVE:
      return handleLeave(d, tunnel, false);
    case LEAVE_RTP:
    case SSM_LEAVE_RTP:
      return handleLeave(d, tunnel, true);
    case TEAR_DOWN:
      return handleTearDown(d, tunnel);
    case PROBE:
      return handleProbe(d, tunnel);
    case PROBE_ACK:
      return true;  // noteActivity was its purpose
    case PROBE_NACK:
      return handleProbeNack(d);
    default:
      return handleUnknown(d);
  }
}

}  // namespace

bool UDPtunnelSocket::handleRead(unsigned char* buffer, unsigned bufferMaxSize, unsigned& bytesRead,
                                 sockaddr_in& fromAddress) {
  int const n = readSocket(env(), socketNum(), buffer, bufferMaxSize, fromAddress);
  bytesRead = n > 0 ? static_cast<unsigned>(n) : 0;
  if (n <= 0) return true;  // nothing to do; a failed read is not reported
  return handleRead1(buffer, bytesRead, fromAddress);
}

unsigned UDPtunnelSocket::batchReadSize() const { return MAX_TUNNEL_DATAGRAM_SIZE; }

bool UDPtunnelSocket::handleDatagram(unsigned char* buffer, unsigned, unsigned size,
                                     sockaddr_in& fromAddress) {
  return size == 0 || handleRead1(buffer, size, fromAddress);
}

bool UDPtunnelSocket::handleRead1(unsigned char* packet, unsigned packetSize,
                                  sockaddr_in fromAddress) {
  DecodedTrailer trailer;
  unsigned minimumSize;
  if (!decodeTunnelTrailer(packet, packetSize, trailer, minimumSize)) {
    if (Socket::DebugLevel >= 1) {
      env() << *this << ": undersized packet (" << packetSize
            << " bytes; expected >= " << minimumSize << ") from "
            << AddressString(fromAddress.sin_addr.s_addr).val() << "\n";
    }
    return true;
  }
  Received const d{*this, packet, packetSize, fromAddress, trailer};

  UDPtunnel* tunnel = OurTunnels.Lookup(d.senderAddress(), d.senderPort());
  if (tunnel == nullptr || tunnel->tunnelSocket() != this) {
    return handleStranger(d, tunnel != nullptr);
  }
  traceReceived(d);
  if (!passesCookieCheck(d, *tunnel)) return true;
  noteActivity(d, *tunnel);
  return handleCommand(d, *tunnel);
}

// Replies go back from this socket; each datagram is answered at most once.
void UDPtunnelSocket::sendReply(TunnelEncapsulationTrailer& reply, unsigned address, Port port) {
  sendToPeer(address, port, reinterpret_cast<unsigned char*>(&reply), TRAILER_SIZE);
}
