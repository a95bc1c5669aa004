// The tunnel commands. Each one checks its arguments, finds the tunnel by
// its name, makes one or two calls into the tunnel engine and turns the
// outcome into the result and return code. Only creation may block: the
// first one of the process runs own-address discovery, which waits up to
// 5 seconds for as long as no usable address has been found.
#include "commands/TunnelCommands.hh"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "commands/CommandSupport.hh"
#include "groupsock/AddressString.hh"
#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockLookupTable.hh"
#include "groupsock/NetAddress.hh"
#include "groupsock/NetInterfaceTrafficStats.hh"
#include "groupsock/OurIPAddress.hh"
#include "groupsock/Port.hh"
#include "groupsock/Socket.hh"
#include "runtime/ArgumentHelpers.hh"
#include "runtime/DelayQueue.hh"
#include "runtime/TclUsageEnvironment.hh"
#include "tunnel/DeferredOp.hh"
#include "tunnel/NetworkAllowList.hh"
#include "tunnel/UDPtunnel.hh"
#include "tunnel/UDPtunnelLookupTable.hh"
#include "tunnel/UDPtunnelSocket.hh"
#include "tunnel/UDPtunnelSocketLookupTable.hh"

namespace {

// The port of a tunnel socket, and of the peer's, when a command names none.
constexpr int DEFAULT_TUNNEL_PORT = 10100;

// The time-to-live a join asks the peer for when the command names none.
constexpr int DEFAULT_JOIN_TTL = 255;

// Every tunnel name begins with this.
constexpr char TUNNEL_NAME_PREFIX[] = "UDPtunnel:";
constexpr size_t TUNNEL_NAME_PREFIX_LENGTH = sizeof TUNNEL_NAME_PREFIX - 1;

// Successful corvex_createDynamicTunnelSocket calls so far, also those that
// named a port again; never lowered.
int numDynamicTunnelSockets = 0;

CommandFamily family;

// A port number as given to a command: only the low 16 bits count.
Port portFromInt(int value) { return Port(static_cast<unsigned short>(value)); }

// The script's name of the tunnel to address (network order) and port.
std::string tunnelName(unsigned address, Port port) {
  char name[48];  // the prefix, 15 address characters, ":65535" and the end
  std::snprintf(name, sizeof name, "%s%s:%u", TUNNEL_NAME_PREFIX, AddressString(address).val(),
                static_cast<unsigned>(ntohs(port.num())));
  return name;
}

// Whether a tunnel can send to address (network order): not 0.0.0.0, not
// the limited broadcast address, not a multicast group.
bool isUsableTunnelDestination(unsigned address) {
  return address != 0 && address != INADDR_BROADCAST && !IN_MULTICAST(ntohl(address));
}

void appendBadName(Tcl_Interp* interp, char const* text) {
  Tcl_AppendResult(interp, "Bad tunnel name \"", text, "\"", static_cast<char*>(nullptr));
}

// The tunnel that name stands for, or nullptr with the reason appended to
// the result (which is not reset first). A name is "UDPtunnel:", then the
// peer's dotted address (no host names), a colon and the port, read as
// scanf's "%[^:]:%hu" reads it: at least one character up to the first
// colon, then a decimal number of which the low 16 bits count; whatever
// follows the number is ignored. Malformed: "Bad tunnel name" with the text
// after the prefix (or the whole text without one). Well-formed but
// unknown: "No tunnel exists for endpoint" with the text after the prefix.
UDPtunnel* lookupTunnel(Tcl_Interp* interp, char const* name) {
  if (std::strncmp(name, TUNNEL_NAME_PREFIX, TUNNEL_NAME_PREFIX_LENGTH) != 0) {
    appendBadName(interp, name);
    return nullptr;
  }
  char const* const endpoint = name + TUNNEL_NAME_PREFIX_LENGTH;
  char const* const colon = std::strchr(endpoint, ':');
  if (colon == nullptr || colon == endpoint) {
    appendBadName(interp, endpoint);
    return nullptr;
  }
  char* end = nullptr;
  unsigned long const portNum = std::strtoul(colon + 1, &end, 10);
  if (end == colon + 1) {  // no number after the colon
    appendBadName(interp, endpoint);
    return nullptr;
  }
  std::optional<unsigned> const address = parseIPv4Address(std::string(endpoint, colon).c_str());
  if (!address) {
    appendBadName(interp, endpoint);
    return nullptr;
  }

  UDPtunnel* tunnel = OurTunnels.Lookup(*address, Port(static_cast<unsigned short>(portNum)));
  if (tunnel == nullptr) {
    Tcl_AppendResult(interp, "No tunnel exists for endpoint \"", endpoint, "\"",
                     static_cast<char*>(nullptr));
  }
  return tunnel;
}

// ---------------------------------------------------------------------------
// Creating tunnels and tunnel sockets

// The body of corvex_createUDPtunnel and corvex_createMasterOnlyUDPtunnel:
// dest_address_or_name ?dest_port ?local_port. The result is the new
// tunnel's name.
int createTunnel(Tcl_Interp* interp, int argc, char const** argv, bool masterOnly) {
  // Its tunnels' repeated commands need the queue, also in a process whose
  // start-up did not make one.
  processDelayQueue();
  if (!CheckNumArgs(interp, argc, argv, "dest_address_or_name", "?dest_port", "?local_port",
                    nullptr))
    return TCL_ERROR;
  TclUsageEnvironment& env = family.envOf(interp);

  unsigned destAddress;
  if (!resolveHostAddress(interp, argv[1], destAddress)) return TCL_ERROR;

  // A tunnel to any of these would send nowhere, or everywhere, and its name
  // would not be one the other commands accept.
  if (!isUsableTunnelDestination(destAddress)) {
    Tcl_AppendResult(interp, "illegal tunnel destination \"", argv[1], "\" - not a unicast address",
                     static_cast<char*>(nullptr));
    return TCL_ERROR;
  }

  int destPortNum = DEFAULT_TUNNEL_PORT;
  int localPortNum = DEFAULT_TUNNEL_PORT;
  if (argc > 2 && Tcl_GetInt(interp, argv[2], &destPortNum) != TCL_OK) return TCL_ERROR;
  if (argc > 3 && Tcl_GetInt(interp, argv[3], &localPortNum) != TCL_OK) return TCL_ERROR;
  Port const destPort = portFromInt(destPortNum);
  Port const localPort = portFromInt(localPortNum);

  if (OurTunnels.Lookup(destAddress, destPort) != nullptr) {
    char port[8];
    std::snprintf(port, sizeof port, "%u", static_cast<unsigned>(ntohs(destPort.num())));
    Tcl_AppendResult(interp, "tunnel already exists to endpoint \"", argv[1], "\", port ", port,
                     static_cast<char*>(nullptr));
    return TCL_ERROR;
  }
  if (destAddress == ourIPAddress(env)) {
    Tcl_ResetResult(interp);  // discovery may have left a message of its own
    Tcl_AppendResult(interp, "illegal tunnel destination \"", argv[1],
                     "\" - it'd be a tunnel to ourself!", static_cast<char*>(nullptr));
    return TCL_ERROR;
  }

  NetAddress const remote(reinterpret_cast<unsigned char const*>(&destAddress), sizeof destAddress);
  auto* tunnel =
      new UDPtunnel(remote, destPort, localPort, OurTunnelSockets, OurGroupsocks, env, masterOnly);
  if (tunnel->tunnelSocket() == nullptr) {
    delete tunnel;  // the reason the socket failed is the result
    return TCL_ERROR;
  }
  OurTunnels.Add(tunnel);
  // Named after the port in use, so that the name always finds the tunnel
  // (a port given as 75636 is port 10100).
  Tcl_SetObjResult(interp, Tcl_NewStringObj(tunnelName(destAddress, destPort).c_str(), -1));
  return TCL_OK;
}

// corvex_createUDPtunnel dest_address_or_name ?dest_port ?local_port
int corvex_createUDPtunnelCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  return createTunnel(interp, argc, argv, false);
}

// corvex_createMasterOnlyUDPtunnel dest_address_or_name ?dest_port ?local_port:
// a tunnel whose peer may not make this gateway join, leave or tear down.
int corvex_createMasterOnlyUDPtunnelCmd(ClientData, Tcl_Interp* interp, int argc,
                                        char const** argv) {
  return createTunnel(interp, argc, argv, true);
}

// Parses the allow-list argument of corvex_createDynamicTunnelSocket, a list
// of networks written address/prefix-length. False with the reason as the
// result.
bool parseAllowedNetworks(Tcl_Interp* interp, char const* text, NetworkAllowList& networks) {
  int count;
  char const** words;
  if (Tcl_SplitList(interp, text, &count, &words) != TCL_OK) return false;
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    unsigned network, mask;
    ok = NetworkAllowList::parseNetwork(words[i], network, mask);
    if (ok) {
      networks.add(network, mask);
    } else {
      Tcl_AppendResult(interp, "bad network \"", words[i],
                       "\": should be address/prefix-length, as 10.1.0.0/16",
                       static_cast<char*>(nullptr));
    }
  }
  Tcl_Free(reinterpret_cast<char*>(words));
  return ok;
}

// corvex_createDynamicTunnelSocket ?local_port ?allowedNetworks
//
// Opens the tunnel socket of the port (or takes the one open there), reads
// it in the background, and from now on opens a tunnel for every sender
// without one (a probe excepted). With allowedNetworks (a list of networks
// as 10.1.0.0/16, possibly empty), only for senders from those networks:
// any other stranger gets no tunnel and no reply. Without it, for any
// sender again. Counted in numDynamicTunnelSockets, also when the port had
// been named before.
int corvex_createDynamicTunnelSocketCmd(ClientData, Tcl_Interp* interp, int argc,
                                        char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "?local_port", "?allowedNetworks", nullptr))
    return TCL_ERROR;
  TclUsageEnvironment& env = family.envOf(interp);
  int portNum = DEFAULT_TUNNEL_PORT;
  if (argc > 1 && Tcl_GetInt(interp, argv[1], &portNum) != TCL_OK) return TCL_ERROR;
  NetworkAllowList networks;
  if (argc > 2 && !parseAllowedNetworks(interp, argv[2], networks)) return TCL_ERROR;

  bool isNew = false;
  UDPtunnelSocket* sock = OurTunnelSockets.Fetch(env, portFromInt(portNum), isNew);
  if (sock == nullptr) return TCL_ERROR;  // the socket set-up's message is the result
  sock->setCreatesDynamicTunnels(true);
  if (argc > 2) {
    sock->restrictStrangersTo(networks);
  } else {
    sock->acceptAnyStranger();
  }
  sock->turnOnBackgroundReadHandling();
  ++numDynamicTunnelSockets;
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// The tunnel socket of the port named by argv[1] (10100 if none); nullptr
// with the error as the result when the argument is bad or no socket is open
// there.
UDPtunnelSocket* socketOfPortArgument(Tcl_Interp* interp, int argc, char const** argv) {
  int portNum = DEFAULT_TUNNEL_PORT;
  if (argc > 1 && Tcl_GetInt(interp, argv[1], &portNum) != TCL_OK) return nullptr;
  UDPtunnelSocket* sock = OurTunnelSockets.Lookup(portFromInt(portNum));
  if (sock == nullptr) {
    char text[64];
    std::snprintf(text, sizeof text, "no tunnel socket on port %u",
                  static_cast<unsigned>(static_cast<unsigned short>(portNum)));
    Tcl_SetResult(interp, text, TCL_VOLATILE);
  }
  return sock;
}

// corvex_strangersRefused ?local_port: the datagrams the tunnel socket of
// the port refused because their senders were outside its allowed networks.
int corvex_strangersRefusedCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "?local_port", nullptr)) return TCL_ERROR;
  UDPtunnelSocket* sock = socketOfPortArgument(interp, argc, argv);
  if (sock == nullptr) return TCL_ERROR;
  char text[16];
  std::snprintf(text, sizeof text, "%u", sock->strangersRefused());
  Tcl_SetResult(interp, text, TCL_VOLATILE);
  return TCL_OK;
}

// corvex_tunnelSocketLimits ?local_port ?maxDynamicTunnels ?maxPeerGroups ?idleSeconds
//
// Sets the bounds of the tunnel socket of the port that are given (the
// dynamic tunnels it opens for strangers; the groups the peer of any of its
// tunnels may have joined at once; how long a dynamic tunnel that carries
// nothing and holds no membership lasts) and returns all three, as
// "maxDynamicTunnels 1024 maxPeerGroups 256 idleSeconds 180".
int corvex_tunnelSocketLimitsCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "?local_port", "?maxDynamicTunnels", "?maxPeerGroups",
                    "?idleSeconds", nullptr))
    return TCL_ERROR;
  UDPtunnelSocket* sock = socketOfPortArgument(interp, argc, argv);
  if (sock == nullptr) return TCL_ERROR;
  int limits[3];
  for (int i = 0; i < 3 && i + 2 < argc; ++i) {
    if (Tcl_GetInt(interp, argv[i + 2], &limits[i]) != TCL_OK) return TCL_ERROR;
    if (limits[i] < 0 || (i == 2 && limits[i] == 0)) {
      Tcl_AppendResult(interp, "bad limit \"", argv[i + 2], "\": should be ",
                       i == 2 ? "a positive" : "a non-negative", " integer",
                       static_cast<char*>(nullptr));
      return TCL_ERROR;
    }
  }
  TunnelSocketGuard& guard = sock->guard();
  if (argc > 2) guard.setMaxDynamicTunnels(static_cast<unsigned>(limits[0]));
  if (argc > 3) guard.setMaxPeerGroups(static_cast<unsigned>(limits[1]));
  if (argc > 4) guard.setIdleSeconds(static_cast<unsigned>(limits[2]));
  char text[96];
  std::snprintf(text, sizeof text, "maxDynamicTunnels %u maxPeerGroups %u idleSeconds %u",
                guard.maxDynamicTunnels(), guard.maxPeerGroups(), guard.idleSeconds());
  Tcl_SetResult(interp, text, TCL_VOLATILE);
  return TCL_OK;
}

// corvex_tunnelSocketStats ?local_port: what the tunnel socket of the port
// holds and refused remote senders, as a dictionary: dynamicTunnels,
// strangersRefused (from outside the allowed networks), tunnelsRefused
// (beyond the bound), idleTunnelsRemoved, joinsOverLimit, joinsForTunnelPort,
// joinsForBadGroup, repliesWithheld.
int corvex_tunnelSocketStatsCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "?local_port", nullptr)) return TCL_ERROR;
  UDPtunnelSocket* sock = socketOfPortArgument(interp, argc, argv);
  if (sock == nullptr) return TCL_ERROR;
  TunnelSocketGuard const& g = sock->guard();
  char text[320];
  std::snprintf(text, sizeof text,
                "dynamicTunnels %u strangersRefused %u tunnelsRefused %u idleTunnelsRemoved %u "
                "joinsOverLimit %u joinsForTunnelPort %u joinsForBadGroup %u repliesWithheld %u",
                g.dynamicTunnels(), sock->strangersRefused(), g.tunnelsRefused(),
                g.idleTunnelsRemoved(), g.joinsOverLimit(), g.joinsForTunnelPort(),
                g.joinsForBadGroup(), g.repliesWithheld());
  Tcl_SetResult(interp, text, TCL_VOLATILE);
  return TCL_OK;
}

// corvex_numDynamicTunnelSockets
int corvex_numDynamicTunnelSocketsCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, nullptr)) return TCL_ERROR;
  char text[16];
  std::snprintf(text, sizeof text, "%d", numDynamicTunnelSockets);
  Tcl_SetResult(interp, text, TCL_VOLATILE);
  return TCL_OK;
}

// ---------------------------------------------------------------------------
// Joining and leaving groups through a tunnel

// What a join or leave command names.
struct GroupRequest {
  UDPtunnel* tunnel = nullptr;
  unsigned group = 0;                    // network order
  unsigned source = NO_SOURCE_FILTER;    // network order; all ones: any source
  unsigned short port = 0;               // host order
  unsigned char ttl = DEFAULT_JOIN_TTL;  // joins only
};

// Checks the word count of a join (join true) or leave command, with or
// without a source address, appending the usage message when it is wrong.
bool checkGroupArgs(Tcl_Interp* interp, int argc, char const** argv, bool ssm, bool join) {
  if (ssm && join) {
    return CheckNumArgs(interp, argc, argv, "interface", "groupAddress", "sourceAddress", "portNum",
                        "?ttl", nullptr);
  }
  if (ssm) {
    return CheckNumArgs(interp, argc, argv, "interface", "groupAddress", "sourceAddress", "portNum",
                        nullptr);
  }
  if (join) {
    return CheckNumArgs(interp, argc, argv, "interface", "groupAddress", "portNum", "?ttl",
                        nullptr);
  }
  return CheckNumArgs(interp, argc, argv, "interface", "groupAddress", "portNum", nullptr);
}

// Parses "interface groupAddress ?sourceAddress? portNum ?ttl?" (the source
// address for ssm, the ttl for a join) into request. False with the reason
// as the result.
bool parseGroupRequest(Tcl_Interp* interp, int argc, char const** argv, bool ssm, bool join,
                       GroupRequest& request) {
  if (!checkGroupArgs(interp, argc, argv, ssm, join)) return false;
  request.tunnel = lookupTunnel(interp, argv[1]);
  if (request.tunnel == nullptr) return false;

  std::optional<unsigned> const group = parseIPv4Address(argv[2]);
  if (!group) {
    Tcl_AppendResult(interp, "malformed group address: ", argv[2], static_cast<char*>(nullptr));
    return false;
  }
  request.group = *group;
  int next = 3;
  if (ssm) {
    std::optional<unsigned> const source = parseIPv4Address(argv[next]);
    if (!source) {
      Tcl_AppendResult(interp, "malformed source address: ", argv[next],
                       static_cast<char*>(nullptr));
      return false;
    }
    request.source = *source;
    ++next;
  }
  int portNum;
  if (Tcl_GetInt(interp, argv[next], &portNum) != TCL_OK) return false;
  request.port = static_cast<unsigned short>(portNum);
  ++next;
  if (join && argc > next) {
    int ttl;
    if (Tcl_GetInt(interp, argv[next], &ttl) != TCL_OK) return false;
    request.ttl = static_cast<unsigned char>(ttl);  // only the low 8 bits count
  }
  return true;
}

// Joins the group on port through the tunnel, and tells whether that
// worked. A groupsock that cannot be set up makes the join an error, not a
// silent no-op; its reason is the result.
bool joinThroughTunnel(Tcl_Interp* interp, GroupRequest const& request, unsigned short port,
                       JoinMode mode) {
  Tcl_ResetResult(interp);  // so that a reason found below is the engine's, not a leftover
  if (request.tunnel->joinGroup(request.group, request.source, Port(port), request.ttl, mode))
    return true;
  if (*Tcl_GetStringResult(interp) == '\0') {
    char text[80];
    std::snprintf(text, sizeof text, "unable to set up a socket for group %s, port %u",
                  AddressString(request.group).val(), static_cast<unsigned>(port));
    Tcl_AppendResult(interp, text, static_cast<char*>(nullptr));
  }
  return false;
}

// corvex_joinGroup interface groupAddress portNum ?ttl, corvex_joinRTPGroup
// (rtp), and their SSM forms with sourceAddress after groupAddress (ssm).
// An RTP join joins the RTP port and its companion port + 1 (modulo 65536);
// the peer is sent one JOIN_RTP for both.
template <bool ssm, bool rtp>
int joinCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  GroupRequest request;
  if (!parseGroupRequest(interp, argc, argv, ssm, true, request)) return TCL_ERROR;
  if (rtp) {
    if (!joinThroughTunnel(interp, request, request.port, JoinMode::LOCAL_RTP) ||
        !joinThroughTunnel(interp, request, static_cast<unsigned short>(request.port + 1),
                           JoinMode::RTP_COMPANION))
      return TCL_ERROR;
  } else if (!joinThroughTunnel(interp, request, request.port, JoinMode::LOCAL)) {
    return TCL_ERROR;
  }
  Tcl_ResetResult(interp);  // own-address discovery may have left a message
  return TCL_OK;
}

// corvex_leaveGroup interface groupAddress portNum, corvex_leaveRTPGroup
// (rtp), and their SSM forms (ssm). Leaving a group that was never joined
// does nothing.
template <bool ssm, bool rtp>
int leaveCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  GroupRequest request;
  if (!parseGroupRequest(interp, argc, argv, ssm, false, request)) return TCL_ERROR;
  Port const port(request.port);
  if (rtp) {
    request.tunnel->leaveGroup(request.group, request.source, port, JoinMode::LOCAL_RTP);
    request.tunnel->leaveGroup(request.group, request.source,
                               Port(static_cast<unsigned short>(request.port + 1)),
                               JoinMode::RTP_COMPANION);
  } else {
    request.tunnel->leaveGroup(request.group, request.source, port, JoinMode::LOCAL);
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// The key and time-to-live of a groupsock, taken before the engine is
// called: a join or leave may create or delete groupsocks, which a walk of
// OurGroupsocks must not see happen under it.
struct GroupsockKey {
  unsigned group;
  unsigned source;
  Port port;
  unsigned char ttl;
};

std::vector<GroupsockKey> currentGroupsocks() {
  std::vector<GroupsockKey> keys;
  GroupsockLookupTable::Iterator groupsocks(OurGroupsocks);
  while (Groupsock* groupsock = groupsocks.next()) {
    keys.push_back(GroupsockKey{groupsock->groupAddress().s_addr,
                                groupsock->sourceFilterAddress().s_addr, groupsock->port(),
                                groupsock->ttl()});
  }
  return keys;
}

// corvex_joinAllCurrentGroupsocks interface
//
// Joins, through the tunnel, every group this process has a groupsock for,
// with that groupsock's time-to-live. Groupsocks with time-to-live 0 stay
// on this host and are left out.
int corvex_joinAllCurrentGroupsocksCmd(ClientData, Tcl_Interp* interp, int argc,
                                       char const** argv) {
  UDPtunnel* tunnel = openCommand(interp, argc, argv, lookupTunnel, "interface");
  if (tunnel == nullptr) return TCL_ERROR;
  for (GroupsockKey const& key : currentGroupsocks()) {
    if (key.ttl == 0) continue;
    tunnel->joinGroup(key.group, key.source, key.port, key.ttl, JoinMode::LOCAL);
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// corvex_leaveAllCurrentGroupsocks interface
//
// Leaves, through the tunnel, every group this process has a groupsock for.
// A name without a tunnel is no error: there is nothing to leave, and the
// lookup's message stands as the result.
int corvex_leaveAllCurrentGroupsocksCmd(ClientData, Tcl_Interp* interp, int argc,
                                        char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "interface", nullptr)) return TCL_ERROR;
  UDPtunnel* tunnel = lookupTunnel(interp, argv[1]);
  if (tunnel == nullptr) return TCL_OK;
  for (GroupsockKey const& key : currentGroupsocks()) {
    tunnel->leaveGroup(key.group, key.source, key.port, JoinMode::LOCAL);
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// ---------------------------------------------------------------------------
// Probing, destroying and switching tunnels

// corvex_sendProbe interface: the peer answers PROBE_ACK, which counts in
// the tunnel's incoming activity, or PROBE_NACK when it has no tunnel for us.
int corvex_sendProbeCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  UDPtunnel* tunnel = openCommand(interp, argc, argv, lookupTunnel, "interface");
  if (tunnel == nullptr) return TCL_ERROR;
  tunnel->sendProbe();
  Tcl_ResetResult(interp);  // a failed send is answered by the peer's silence
  return TCL_OK;
}

// corvex_destroy interface
//
// Deletes the tunnel without telling the peer, which lets our groups lapse.
// A malformed name, or one without a tunnel (it may have been torn down by
// its peer already), is an error with the lookup's message.
int corvex_destroyCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  UDPtunnel* tunnel = openCommand(interp, argc, argv, lookupTunnel, "interface");
  if (tunnel == nullptr) return TCL_ERROR;
  OurTunnels.Remove(tunnel);
  delete tunnel;
  return TCL_OK;
}

// corvex_tunnelLocallyOnly interface: from now on only multicast sent by
// this host goes to the peer, and the peer's data goes out with
// time-to-live 0.
int corvex_tunnelLocallyOnlyCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  UDPtunnel* tunnel = openCommand(interp, argc, argv, lookupTunnel, "interface");
  if (tunnel == nullptr) return TCL_ERROR;
  tunnel->setTunnelLocallyOnly(true);
  return TCL_OK;
}

// corvex_setDebugLevel debugType level
//
// Sets the trace level of "sockets" (sockets, groupsocks, tunnel sockets),
// of "tunnels", or of "all" of them. The level is parsed first.
int corvex_setDebugLevelCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "debugType", "level", nullptr)) return TCL_ERROR;
  int level;
  if (Tcl_GetInt(interp, argv[2], &level) != TCL_OK) return TCL_ERROR;
  char const* type = argv[1];
  if (std::strcmp(type, "all") == 0) {
    Socket::DebugLevel = level;
    UDPtunnel::DebugLevel = level;
  } else if (std::strcmp(type, "sockets") == 0) {
    Socket::DebugLevel = level;
  } else if (std::strcmp(type, "tunnels") == 0) {
    UDPtunnel::DebugLevel = level;
  } else {
    Tcl_AppendResult(interp, "Bad debug type: \"", type,
                     "\" - expected \"all\",\"sockets\", or \"tunnels\"",
                     static_cast<char*>(nullptr));
    return TCL_ERROR;
  }
  return TCL_OK;
}

// corvex_disableCookieCheck: from now on, and for the rest of the process,
// datagrams from peers are accepted whatever cookie they carry.
int corvex_disableCookieCheckCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, nullptr)) return TCL_ERROR;
  UDPtunnel::performCookieCheck = false;
  return TCL_OK;
}

// corvex_splitHorizon ?boolean
//
// Split horizon, for sites joined as a full mesh: when on, a datagram that
// arrived through a tunnel goes out to the local network only, never to
// this gateway's other tunnels. Off at start, for sites joined as a tree.
// Sets it when a value is given; the result is the setting, 1 or 0.
int corvex_splitHorizonCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "?boolean", nullptr)) return TCL_ERROR;
  if (argc > 1) {
    int on;
    if (Tcl_GetBoolean(interp, argv[1], &on) != TCL_OK) return TCL_ERROR;
    Groupsock::splitHorizon = on != 0;
  }
  Tcl_SetResult(interp, const_cast<char*>(Groupsock::splitHorizon ? "1" : "0"), TCL_STATIC);
  return TCL_OK;
}

// ---------------------------------------------------------------------------
// Reports

// corvex_listUDPtunnelEndpoints: the peer address of every tunnel, in the
// table's order; two tunnels to one host on two ports give it twice.
int corvex_listUDPtunnelEndpointsCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, nullptr)) return TCL_ERROR;
  UDPtunnelLookupTable::Iterator tunnels(OurTunnels);
  while (UDPtunnel* tunnel = tunnels.next()) {
    Tcl_AppendElement(interp, AddressString(tunnel->remoteAddress()).val());
  }
  return TCL_OK;
}

// corvex_incomingActivityCount interface: the datagrams accepted from the
// peer so far (PROBE_NACK aside), in decimal.
int corvex_incomingActivityCountCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  UDPtunnel* tunnel = openCommand(interp, argc, argv, lookupTunnel, "interface");
  if (tunnel == nullptr) return TCL_ERROR;
  char text[16];
  std::snprintf(text, sizeof text, "%u", tunnel->incomingActivityCount());
  Tcl_SetResult(interp, text, TCL_VOLATILE);
  return TCL_OK;
}

// Appends the packet and byte count of stats, "%f" each.
void appendStats(Tcl_Interp* interp, NetInterfaceTrafficStats const& stats) {
  AppendFloat(interp, stats.packetCount());
  AppendFloat(interp, stats.byteCount());
}

// corvex_getAllStats
//
// Ten elements: packets and bytes of all groupsocks' incoming, outgoing,
// relayed incoming and relayed outgoing traffic; then the list of tunnels
// that have carried anything, five items each (peer address, packets and
// bytes in, packets and bytes out), one after another; then the list of
// groupsocks, eleven items each (group, source or 255.255.255.255, port,
// then packets and bytes of their incoming, outgoing, relayed incoming and
// relayed outgoing traffic). Counts are "%f", e.g. 0.000000.
int corvex_getAllStatsCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, nullptr)) return TCL_ERROR;
  appendStats(interp, Groupsock::statsIncoming);
  appendStats(interp, Groupsock::statsOutgoing);
  appendStats(interp, Groupsock::statsRelayedIncoming);
  appendStats(interp, Groupsock::statsRelayedOutgoing);

  // Appending an element right behind "{" adds no blank.
  Tcl_AppendResult(interp, " {", static_cast<char*>(nullptr));
  UDPtunnelLookupTable::Iterator tunnels(OurTunnels);
  while (UDPtunnel* tunnel = tunnels.next()) {
    if (!tunnel->incomingStats().haveSeenTraffic() && !tunnel->outgoingStats().haveSeenTraffic())
      continue;
    Tcl_AppendElement(interp, AddressString(tunnel->remoteAddress()).val());
    appendStats(interp, tunnel->incomingStats());
    appendStats(interp, tunnel->outgoingStats());
  }
  Tcl_AppendResult(interp, "} {", static_cast<char*>(nullptr));
  GroupsockLookupTable::Iterator groupsocks(OurGroupsocks);
  while (Groupsock* groupsock = groupsocks.next()) {
    Tcl_AppendElement(interp, AddressString(groupsock->groupAddress()).val());
    Tcl_AppendElement(interp, AddressString(groupsock->sourceFilterAddress()).val());
    char port[8];
    std::snprintf(port, sizeof port, "%d", static_cast<int>(ntohs(groupsock->port().num())));
    Tcl_AppendElement(interp, port);
    appendStats(interp, groupsock->incomingStats());
    appendStats(interp, groupsock->outgoingStats());
    appendStats(interp, groupsock->relayedIncomingStats());
    appendStats(interp, groupsock->relayedOutgoingStats());
  }
  Tcl_AppendResult(interp, "}", static_cast<char*>(nullptr));
  return TCL_OK;
}

// The family, in registration order.
CommandEntry const commands[] = {
    {"corvex_createUDPtunnel", corvex_createUDPtunnelCmd},
    {"corvex_createMasterOnlyUDPtunnel", corvex_createMasterOnlyUDPtunnelCmd},
    {"corvex_createDynamicTunnelSocket", corvex_createDynamicTunnelSocketCmd},
    {"corvex_numDynamicTunnelSockets", corvex_numDynamicTunnelSocketsCmd},
    {"corvex_joinGroup", joinCmd<false, false>},
    {"corvex_joinRTPGroup", joinCmd<false, true>},
    {"corvex_leaveGroup", leaveCmd<false, false>},
    {"corvex_leaveRTPGroup", leaveCmd<false, true>},
    {"corvex_joinGroupSSM", joinCmd<true, false>},
    {"corvex_joinRTPGroupSSM", joinCmd<true, true>},
    {"corvex_leaveGroupSSM", leaveCmd<true, false>},
    {"corvex_leaveRTPGroupSSM", leaveCmd<true, true>},
    {"corvex_sendProbe", corvex_sendProbeCmd},
    {"corvex_destroy", corvex_destroyCmd},
    {"corvex_joinAllCurrentGroupsocks", corvex_joinAllCurrentGroupsocksCmd},
    {"corvex_leaveAllCurrentGroupsocks", corvex_leaveAllCurrentGroupsocksCmd},
    {"corvex_listUDPtunnelEndpoints", corvex_listUDPtunnelEndpointsCmd},
    {"corvex_setDebugLevel", corvex_setDebugLevelCmd},
    {"corvex_tunnelLocallyOnly", corvex_tunnelLocallyOnlyCmd},
    {"corvex_incomingActivityCount", corvex_incomingActivityCountCmd},
    {"corvex_getAllStats", corvex_getAllStatsCmd},
    {"corvex_disableCookieCheck", corvex_disableCookieCheckCmd},
    {"corvex_splitHorizon", corvex_splitHorizonCmd},
    {"corvex_strangersRefused", corvex_strangersRefusedCmd},
    {"corvex_tunnelSocketLimits", corvex_tunnelSocketLimitsCmd},
    {"corvex_tunnelSocketStats", corvex_tunnelSocketStatsCmd},
};

}  // namespace

int corvex_Init(Tcl_Interp* interp, char const* tag) { return family.init(interp, tag, commands); }
