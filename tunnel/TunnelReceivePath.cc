// The receive path of the tunnel socket: every datagram read from a tunnel
// socket is taken apart here. Find the trailer, find the tunnel by the
// sender's address and port (answer a stranger's probe, refuse a stranger,
// or open a tunnel for it), check the cookie, and carry out the command.
//
// The datagram lies in the read buffer that all sockets share; replies are
// built in place in its trailer bytes and sent before returning, and data
// is relayed from it without a copy. A TEAR_DOWN deletes the tunnel and
// possibly this very socket, so it is always the last thing done.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

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

// The fields of a received trailer, copied out before anything may
// overwrite them (the relay writes its own trailer over the received one).
struct ReceivedTrailer {
  TunnelEncapsulationTrailer* basic;  // the last 12 bytes, in place
  bool ssm;
  unsigned payloadSize;
  unsigned group;         // network order
  unsigned sourceFilter;  // network order; all ones when not source-specific
  Port port;
  unsigned char ttl;
  unsigned char cmd;
  uint16_t srcCookie;
  uint16_t dstCookie;
};

// Splits a datagram already known to be long enough for its trailer.
ReceivedTrailer splitDatagram(unsigned char* packet, unsigned packetSize) {
  auto* basic = reinterpret_cast<TunnelEncapsulationTrailer*>(packet + packetSize - TRAILER_SIZE);
  bool const ssm = (basic->command & SSM_BIT) != 0;
  unsigned sourceFilter = NO_SOURCE_FILTER;
  if (ssm) std::memcpy(&sourceFilter, packet + packetSize - SSM_TRAILER_SIZE, SSM_SOURCE_SIZE);
  return ReceivedTrailer{basic,
                         ssm,
                         packetSize - (ssm ? SSM_TRAILER_SIZE : TRAILER_SIZE),
                         trailerAddress(*basic),
                         sourceFilter,
                         Port(ntohs(trailerPort(*basic))),
                         basic->ttl,
                         basic->command,
                         trailerCookie(basic->srcCookie),
                         trailerCookie(basic->dstCookie)};
}

// The companion port of an RTP port, p + 1 modulo 65536.
Port nextPort(Port port) { return Port(static_cast<unsigned short>(ntohs(port.num()) + 1)); }

}  // namespace

bool UDPtunnelSocket::handleRead(unsigned char* buffer, unsigned bufferMaxSize, unsigned& bytesRead,
                                 sockaddr_in& fromAddress) {
  int const n = readSocket(env(), socketNum(), buffer, bufferMaxSize, fromAddress);
  bytesRead = n > 0 ? static_cast<unsigned>(n) : 0;
  if (n <= 0) return true;  // nothing to do; a failed read is not reported
  return handleRead1(buffer, bytesRead, fromAddress);
}

bool UDPtunnelSocket::handleRead1(unsigned char* packet, unsigned packetSize,
                                  sockaddr_in fromAddress) {
  UsageEnvironment& out = env();
  unsigned const senderAddress = fromAddress.sin_addr.s_addr;
  Port const senderPort(ntohs(fromAddress.sin_port));

  // The trailer must fit.
  unsigned minimum = TRAILER_SIZE;
  if (packetSize >= TRAILER_SIZE && (packet[packetSize - 1] & SSM_BIT) != 0) {
    minimum = SSM_TRAILER_SIZE;
  }
  if (packetSize < minimum) {
    if (Socket::DebugLevel >= 1) {
      out << *this << ": undersized packet (" << packetSize << " bytes; expected >= " << minimum
          << ") from " << AddressString(senderAddress).val() << "\n";
    }
    return true;
  }

  ReceivedTrailer const t = splitDatagram(packet, packetSize);

  // The sender's tunnel, if it has one on this socket.
  UDPtunnel* tunnel = OurTunnels.Lookup(senderAddress, senderPort);
  if (tunnel == nullptr || tunnel->tunnelSocket() != this) {
    // A sender without a tunnel here. One from outside the networks this
    // socket accepts strangers from gets nothing at all, not even a reply.
    if (refusesStranger(senderAddress)) return true;
    if (t.cmd == PROBE) {
      // Tell it so, and open nothing: a probe is no request for a tunnel.
      t.basic->command = PROBE_NACK;
      setTrailerCookie(t.basic->srcCookie, t.dstCookie);
      setTrailerCookie(t.basic->dstCookie, t.srcCookie);
      in_addr to;
      to.s_addr = senderAddress;
      writeSocket(out, socketNum(), to, senderPort, 0, reinterpret_cast<unsigned char*>(t.basic),
                  TRAILER_SIZE);
      return true;
    }
    if (tunnel != nullptr || !createsDynamicTunnels_) {
      if (Socket::DebugLevel >= 1) {
        out << *this << ": received packet from bad source: " << AddressString(senderAddress).val()
            << "\n";
      }
      return true;
    }
    if (Socket::DebugLevel >= 1) {
      out << *this << ": dynamically creating new tunnel for remote address "
          << AddressString(senderAddress).val() << ", port " << senderPort << "\n";
    }
    NetAddress remote(reinterpret_cast<unsigned char const*>(&senderAddress), sizeof senderAddress);
    tunnel = new UDPtunnel(remote, senderPort, port(), OurTunnelSockets, OurGroupsocks, out, 0);
    if (tunnel->tunnelSocket() == nullptr) {
      if (Socket::DebugLevel >= 0) out.setResultMsg("Failed to create new dynamic tunnel!");
      delete tunnel;
      return false;
    }
    OurTunnels.Add(tunnel);
    // Once more with the new tunnel (which took this socket from the table
    // by its port): the sender is known now, so this cannot recur.
    return handleRead1(packet, packetSize, fromAddress);
  }

  if (Socket::DebugLevel >= 3) {
    out << *this << ": read " << packetSize << " bytes from " << AddressString(senderAddress).val()
        << "; cmd " << cmdName(t.cmd) << ", addr " << AddressString(t.group).val() << ", port "
        << t.port << ", ttl " << static_cast<unsigned>(t.ttl);
    if (t.ssm) out << ", SSM source: " << AddressString(t.sourceFilter).val();
    out << "\n";
  }

  // A sender with the wrong cookie is taught the right one; nothing else.
  if (UDPtunnel::performCookieCheck && !tunnel->acceptsCookie(t.dstCookie)) {
    if (Socket::DebugLevel >= 3) {
      out << *this << ": cookie mismatch (saw " << static_cast<unsigned>(t.dstCookie)
          << " (src: " << static_cast<unsigned>(t.srcCookie) << "), wanted "
          << static_cast<unsigned>(tunnel->localCookie()) << "), returning PROBE_ACK\n";
    }
    tunnel->acknowledgeProbe(t.basic, t.srcCookie);
    return true;
  }

  // A PROBE_NACK's cookies are those of a probe we sent, swapped, not the
  // peer's own.
  if (t.cmd != PROBE_NACK) {
    tunnel->countIncomingActivity();
    bool const relearnt = t.srcCookie != tunnel->remoteCookie();
    tunnel->setRemoteCookie(t.srcCookie);
    // A PROBE_ACK with a cookie new to us answers something the peer
    // refused, most likely our JOINs: send them again rather than leave the
    // peer's memberships waiting for the next repetition.
    if (relearnt && t.cmd == PROBE_ACK) tunnel->resendPendingJoins();
  }

  switch (t.cmd) {
    case DATA:
    case SSM_DATA: {
      tunnel->incomingStats().countPacket(packetSize);
      if (!IsMulticastAddress(t.group)) {
        if (Socket::DebugLevel >= 1) {
          out << *this << ": data packet from " << AddressString(senderAddress).val()
              << " was destined to an invalid multicast"
              << " address " << AddressString(t.group).val() << "\n";
        }
        return true;
      }
      unsigned char const ttl = tunnel->tunnelLocallyOnly() ? 0 : t.ttl;
      // Found with the datagram's own source filter, the groupsock appends a
      // trailer of the received one's length, in its place.
      if (Groupsock* groupsock = OurGroupsocks.Lookup(t.group, t.sourceFilter, t.port)) {
        // Counted before the output: relaying may make another tunnel tear
        // itself down and take this groupsock with it.
        Groupsock::statsRelayedOutgoing.countPacket(t.payloadSize);
        groupsock->relayedOutgoingStats().countPacket(t.payloadSize);
        groupsock->output(out, ttl, packet, t.payloadSize, tunnel);
      } else if (!tunnel->masterOnlyCheck(t.cmd, fromAddress)) {
        // A master-only tunnel's peer may send to any group here; with no
        // groupsock, the datagram goes out straight from this socket.
        in_addr to;
        to.s_addr = t.group;
        writeSocket(out, socketNum(), to, t.port, ttl, packet, t.payloadSize);
        Groupsock::statsOutgoing.countPacket(t.payloadSize);
        Groupsock::statsRelayedOutgoing.countPacket(t.payloadSize);
      }
      return true;  // else nobody here has joined the group
    }
    case JOIN:
    case SSM_JOIN:
      if (tunnel->masterOnlyCheck(t.cmd, fromAddress)) {
        tunnel->joinGroup(t.group, t.sourceFilter, t.port, t.ttl, 0);
      }
      return true;
    case JOIN_RTP:
    case SSM_JOIN_RTP:
      if (tunnel->masterOnlyCheck(t.cmd, fromAddress)) {
        tunnel->joinGroup(t.group, t.sourceFilter, t.port, t.ttl, 0);
        tunnel->joinGroup(t.group, t.sourceFilter, nextPort(t.port), t.ttl, 0);
      }
      return true;
    case LEAVE:
    case SSM_LEAVE:
      if (tunnel->masterOnlyCheck(t.cmd, fromAddress)) {
        tunnel->leaveGroup(t.group, t.sourceFilter, t.port, 0);
      }
      return true;
    case LEAVE_RTP:
    case SSM_LEAVE_RTP:
      if (tunnel->masterOnlyCheck(t.cmd, fromAddress)) {
        tunnel->leaveGroup(t.group, t.sourceFilter, t.port, 0);
        tunnel->leaveGroup(t.group, t.sourceFilter, nextPort(t.port), 0);
      }
      return true;
    case TEAR_DOWN:
      if (!tunnel->masterOnlyCheck(t.cmd, fromAddress)) return true;
      if (Socket::DebugLevel >= 0) {
        out.setResultMsg("tunnelTearDown ", AddressString(tunnel->remoteAddress()).val(),
                         "fromRemote");
      }
      OurTunnels.Remove(tunnel);
      // May delete this socket too (the last tunnel on it): touch nothing
      // of it, or of the tunnel, after this.
      delete tunnel;
      return false;
    case PROBE:
      tunnel->acknowledgeProbe(t.basic, tunnel->remoteCookie());
      return true;
    case PROBE_ACK:
      return true;  // the bookkeeping above was its purpose
    case PROBE_NACK:
      if (Socket::DebugLevel >= 1) {
        out << *this << ": received PROBE_NACK from " << AddressString(senderAddress).val() << "\n";
      }
      return true;
    default:
      if (Socket::DebugLevel >= 1) {
        out << *this << ": received unknown command: "
            << reinterpret_cast<void*>(static_cast<uintptr_t>(t.cmd)) << " across tunnel\n";
      }
      return true;
  }
}
