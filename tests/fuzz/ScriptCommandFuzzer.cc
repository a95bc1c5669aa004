// libFuzzer harness for the script commands: each input is a short script
// of corvex_ and groupsock_ commands with arbitrary words and argument
// counts, run in a fresh interpreter that has only those two families.
//
//   input: lines, each a list (braces group words) whose first word names
//          one command of the two families or one of the harness's own:
//            close fileN       closes a channel (a groupsock's, say)
//            update            runs the events that are ready (socket reads,
//                              timers: relaying, the receive path)
//            slave CMD ...     runs CMD in the slave interpreter "s", which
//                              exists until "deleteslave" (groupsock_initInSlave
//                              s gives it the groupsock commands)
//            deleteslave       deletes "s"
//          Word "$k" is the result of the k-th command before (1: the last);
//          "x*N" is N x's (at most 70000). Other lines are passed over.
//
// No word ever reaches the script parser: commands are called with their
// words as they are (Tcl_EvalObjv), so no other command can run. Blocking
// is ruled out by the harness: groupsock_read runs only when its socket
// has a datagram waiting.
//
// After each input everything the script made is deleted (tunnels, tunnel
// sockets, the interpreters, whose deletion deletes their groupsocks), and
// the harness aborts if a groupsock is left over: that would be a leak.
//
// Sockets really are opened and datagrams really sent, so the harness moves
// itself into a private network namespace first and refuses to run if it
// cannot: it never fuzzes in the host's own network.
#include <arpa/inet.h>
#include <poll.h>
#include <tcl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands/GroupsockCommands.hh"
#include "commands/TunnelCommands.hh"
#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockLookupTable.hh"
#include "groupsock/OurIPAddress.hh"
#include "groupsock/Socket.hh"
#include "groupsock/SocketHelpers.hh"
#include "runtime/DelayQueue.hh"
#include "runtime/TclUsageEnvironment.hh"
#include "tests/support/Netns.hh"
#include "tunnel/UDPtunnel.hh"
#include "tunnel/UDPtunnelLookupTable.hh"
#include "tunnel/UDPtunnelSocket.hh"
#include "tunnel/UDPtunnelSocketLookupTable.hh"

namespace {

constexpr char TAG[] = "veldra";
constexpr size_t MAX_LINES = 64;
constexpr size_t MAX_REPEAT = 70000;
constexpr int MAX_EVENTS_PER_UPDATE = 64;
constexpr int DEFAULT_TUNNEL_PORT = 10100;

// The commands of the two families, the only ones a line may name (with
// the harness's own).
char const* const FAMILY[] = {
    "corvex_createUDPtunnel",
    "corvex_createMasterOnlyUDPtunnel",
    "corvex_createDynamicTunnelSocket",
    "corvex_numDynamicTunnelSockets",
    "corvex_joinGroup",
    "corvex_joinRTPGroup",
    "corvex_leaveGroup",
    "corvex_leaveRTPGroup",
    "corvex_joinGroupSSM",
    "corvex_joinRTPGroupSSM",
    "corvex_leaveGroupSSM",
    "corvex_leaveRTPGroupSSM",
    "corvex_sendProbe",
    "corvex_destroy",
    "corvex_joinAllCurrentGroupsocks",
    "corvex_leaveAllCurrentGroupsocks",
    "corvex_listUDPtunnelEndpoints",
    "corvex_setDebugLevel",
    "corvex_tunnelLocallyOnly",
    "corvex_incomingActivityCount",
    "corvex_getAllStats",
    "corvex_disableCookieCheck",
    "corvex_tunnelSocketLimits",
    "corvex_tunnelSocketStats",
    "groupsock_create",
    "groupsock_createSSM",
    "groupsock_read",
    "groupsock_write",
    "groupsock_delete",
    "groupsock_getCreationParams",
    "groupsock_turnOnBackgroundReadHandling",
    "groupsock_turnOffBackgroundReadHandling",
    "groupsock_getOurIPAddress",
    "groupsock_chooseRandomIPv4SSMAddress",
    "groupsock_haveSeenIncomingTraffic",
    "groupsock_multicastSendOnly",
    "groupsock_changeDestinationAddress",
    "groupsock_setMembersAreTransient",
    "ipAddressFromName",
    "seedRandom",
    "random",
    "processExists",
    "groupsock_initInSlave",
    "groupsock_loopbackWorks",
    "groupsock_setSendingInterfaceAddress",
    "groupsock_setReceivingInterfaceAddress",
};

bool inFamily(std::string const& name) {
  for (char const* command : FAMILY) {
    if (name == command) return true;
  }
  return false;
}

// The words of one line, or false when it is not a well-formed list.
bool splitLine(std::string const& line, std::vector<std::string>& words) {
  int count;
  char const** elements;
  if (Tcl_SplitList(nullptr, line.c_str(), &count, &elements) != TCL_OK) return false;
  words.assign(elements, elements + count);
  Tcl_Free(reinterpret_cast<char*>(elements));
  return true;
}

// A word as the command is to see it: "$k" and "x*N" expanded.
std::string expand(std::string const& word, std::vector<std::string> const& results) {
  if (word.size() > 1 && word[0] == '$') {
    char* end = nullptr;
    unsigned long const back = std::strtoul(word.c_str() + 1, &end, 10);
    if (*end == '\0' && back >= 1 && back <= results.size()) return results[results.size() - back];
  }
  if (word.size() > 2 && word.compare(0, 2, "x*") == 0) {
    char* end = nullptr;
    unsigned long const count = std::strtoul(word.c_str() + 2, &end, 10);
    if (*end == '\0') return std::string(std::min<unsigned long>(count, MAX_REPEAT), 'x');
  }
  return word;
}

// Whether the channel named name has a readable descriptor with a
// datagram waiting, or is no channel with a descriptor at all (then the
// command fails at once without reading). False only where a groupsock_read
// would wait.
bool readWouldNotBlock(Tcl_Interp* interp, std::vector<std::string> const& words) {
  if (words.size() < 2) return true;
  Tcl_Channel channel = Tcl_GetChannel(interp, words[1].c_str(), nullptr);
  Tcl_ResetResult(interp);
  ClientData handle;
  if (channel == nullptr || Tcl_GetChannelHandle(channel, TCL_READABLE, &handle) != TCL_OK)
    return true;
  pollfd ready{static_cast<int>(reinterpret_cast<intptr_t>(handle)), POLLIN, 0};
  return poll(&ready, 1, 0) > 0;
}

// The local port that corvex_createDynamicTunnelSocket will open, noted so
// that the socket, which no tunnel owns, can be closed afterwards.
int dynamicSocketPort(Tcl_Interp* interp, std::vector<std::string> const& words) {
  int port = DEFAULT_TUNNEL_PORT;
  if (words.size() > 1 && Tcl_GetInt(interp, words[1].c_str(), &port) != TCL_OK) return -1;
  return static_cast<unsigned short>(port);
}

// Runs the events that are ready now, a bounded number of them.
void update() {
  for (int i = 0; i < MAX_EVENTS_PER_UPDATE && Tcl_DoOneEvent(TCL_ALL_EVENTS | TCL_DONT_WAIT);
       ++i) {
  }
}

// One input's interpreters and what they opened that nothing else releases.
struct Session {
  Tcl_Interp* interp = nullptr;
  std::vector<int> dynamicPorts;
  std::vector<std::string> results;
};

// Calls one command of the family with its words, in interp.
void call(Session& session, Tcl_Interp* interp, std::vector<std::string> const& words) {
  if (words[0] == "groupsock_read" && !readWouldNotBlock(interp, words)) return;
  if (words[0] == "corvex_createDynamicTunnelSocket") {
    int const port = dynamicSocketPort(interp, words);
    if (port >= 0) session.dynamicPorts.push_back(port);
  }
  std::vector<Tcl_Obj*> objects;
  for (std::string const& word : words) {
    Tcl_Obj* object = Tcl_NewStringObj(word.data(), static_cast<int>(word.size()));
    Tcl_IncrRefCount(object);
    objects.push_back(object);
  }
  Tcl_EvalObjv(interp, static_cast<int>(objects.size()), objects.data(), TCL_EVAL_GLOBAL);
  session.results.push_back(Tcl_GetStringResult(interp));
  for (Tcl_Obj* object : objects) Tcl_DecrRefCount(object);
}

// Carries out one line.
void runLine(Session& session, std::vector<std::string> words) {
  Tcl_Interp* interp = session.interp;
  if (!words.empty() && words[0] == "slave") {
    words.erase(words.begin());
    interp = Tcl_GetSlave(session.interp, "s");
    if (interp == nullptr) return;
  }
  if (words.empty()) return;
  for (size_t i = 1; i < words.size(); ++i) words[i] = expand(words[i], session.results);

  if (words[0] == "update") {
    update();
  } else if (words[0] == "deleteslave") {
    if (Tcl_Interp* slave = Tcl_GetSlave(session.interp, "s")) Tcl_DeleteInterp(slave);
  } else if (words[0] == "close") {
    // Only channels made by the commands: closing the standard channels
    // would close the fuzzer's own.
    if (words.size() == 2 && words[1].compare(0, 4, "file") == 0) {
      Tcl_Channel channel = Tcl_GetChannel(interp, words[1].c_str(), nullptr);
      if (channel != nullptr) Tcl_UnregisterChannel(interp, channel);
    }
  } else if (inFamily(words[0])) {
    call(session, interp, words);
  }
}

// Puts every process-wide setting a script can change back to its start.
void resetSettings() {
  Socket::DebugLevel = UDPtunnel::DebugLevel = 1;
  UDPtunnel::performCookieCheck = true;
  SendingInterfaceAddr = 0;
  ReceivingInterfaceAddr = 0;
}

// Deletes every tunnel and the tunnel sockets no tunnel holds.
void deleteTunnels(Session& session) {
  UsageEnvironment& env = *TclUsageEnvironment::getEnvironFromInterp(session.interp, TAG);
  UDPtunnelLookupTable::Iterator tunnels(OurTunnels);
  std::vector<UDPtunnel*> doomed;
  while (UDPtunnel* tunnel = tunnels.next()) doomed.push_back(tunnel);
  for (UDPtunnel* tunnel : doomed) {
    OurTunnels.Remove(tunnel);
    delete tunnel;
  }
  for (int port : session.dynamicPorts) {
    bool isNew;
    if (UDPtunnelSocket* sock = OurTunnelSockets.Fetch(env, Port(port), isNew)) {
      env.getScheduler().setBackgroundHandling(sock->socketNum(), 0, nullptr, nullptr);
      OurTunnelSockets.Remove(sock);
      delete sock;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  if (!testsupport::enterPrivateNetns()) {
    std::fprintf(stderr, "ScriptCommandFuzzer: cannot make a private network namespace (root)\n");
    std::abort();
  }
  Tcl_FindExecutable(*argc > 0 ? (*argv)[0] : nullptr);
  processDelayQueue();
  // The own address is found once, here, with the settings at their start:
  // a script that moves the receiving interface could otherwise make every
  // later discovery wait its 5 seconds.
  Tcl_Interp* interp = Tcl_CreateInterp();
  Groupsock_Init(interp, TAG);
  if (ourIPAddress(*TclUsageEnvironment::getEnvironFromInterp(interp, TAG)) == 0) {
    std::fprintf(stderr, "ScriptCommandFuzzer: no own address in the namespace\n");
    std::abort();
  }
  Tcl_DeleteInterp(interp);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  Session session;
  session.interp = Tcl_CreateInterp();
  Groupsock_Init(session.interp, TAG);
  corvex_Init(session.interp, TAG);
  Tcl_CreateSlave(session.interp, "s", 0);

  std::string const text(reinterpret_cast<char const*>(data), size);
  size_t start = 0;
  for (size_t lines = 0; start < text.size() && lines < MAX_LINES; ++lines) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> words;
    if (splitLine(text.substr(start, end - start), words)) runLine(session, words);
    start = end + 1;
  }

  // Tunnels report through the main interpreter's environment: they go
  // before it. The interpreters' deletion deletes their groupsocks.
  deleteTunnels(session);
  Tcl_DeleteInterp(session.interp);
  resetSettings();
  GroupsockLookupTable::Iterator left(OurGroupsocks);
  if (Groupsock* groupsock = left.next()) {
    std::fprintf(stderr, "ScriptCommandFuzzer: a groupsock outlived its interpreter: %s/%u\n",
                 inet_ntoa(groupsock->groupAddress()), ntohs(groupsock->port().num()));
    std::abort();
  }
  return 0;
}
