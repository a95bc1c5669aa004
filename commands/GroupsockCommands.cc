// The groupsock commands: scripts create multicast sockets as interpreter
// channels, read and write datagrams on them, hand them to background
// relaying and query or change their parameters. The utility commands of the
// family live in UtilityCommands.cc; Groupsock_Init registers both.
#include "commands/GroupsockCommands.hh"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "commands/CommandSupport.hh"
#include "commands/GroupsockChannel.hh"
#include "commands/UtilityCommands.hh"
#include "groupsock/AddressString.hh"
#include "groupsock/Groupsock.hh"
#include "groupsock/GroupsockLookupTable.hh"
#include "groupsock/NetAddress.hh"
#include "groupsock/OurIPAddress.hh"
#include "groupsock/Socket.hh"
#include "runtime/ArgumentHelpers.hh"
#include "runtime/TclUsageEnvironment.hh"

namespace {

// The datagram buffer of groupsock_read and groupsock_write: 51200 bytes of
// datagram, then room for the terminating zero byte and for the 16-byte
// trailer that relaying appends in place. Neither command keeps anything in
// it between calls.
unsigned char buf[IO_BUFFER_SIZE];

// Room that Groupsock::output needs behind a datagram for the relay trailer.
constexpr unsigned TRAILER_ROOM = IO_BUFFER_SIZE - MAX_DATAGRAM_SIZE;

CommandFamily family;

// The groupsock behind a channel name in the interpreter running a command.
Groupsock* groupsockNamed(Tcl_Interp* interp, char const* name) {
  return Groupsock_lookupByName(family.envOf(interp), name);
}

// Parses an initial offset; a negative one is refused with a message.
bool parseOffset(Tcl_Interp* interp, UsageEnvironment& env, char const* text, int& offset) {
  if (Tcl_GetInt(interp, text, &offset) != TCL_OK) return false;
  if (offset < 0) {
    env.setResultMsg("start offset must be non-negative");
    return false;
  }
  return true;
}

// The body of groupsock_create (sourceText null, ttlText given) and of
// groupsock_createSSM (sourceText given, ttlText null): has the table find
// or create the groupsock (taking over one a tunnel created), and registers
// a channel for it whose name becomes the result.
int createGroupsock(Tcl_Interp* interp, char const* groupText, char const* sourceText,
                    char const* portText, char const* ttlText) {
  TclUsageEnvironment& env = family.envOf(interp);
  std::optional<unsigned> const groupAddress = parseIPv4Address(groupText);
  if (!groupAddress) {
    Tcl_AppendResult(interp, "bad group address: ", groupText, static_cast<char*>(nullptr));
    return TCL_ERROR;
  }
  unsigned const group = *groupAddress;
  unsigned source = NO_SOURCE_FILTER;
  if (sourceText != nullptr) {
    std::optional<unsigned> const sourceAddress = parseIPv4Address(sourceText);
    if (!sourceAddress) {
      Tcl_AppendResult(interp, "bad source address: ", sourceText, static_cast<char*>(nullptr));
      return TCL_ERROR;
    }
    source = *sourceAddress;
  }
  int portNum;
  if (Tcl_GetInt(interp, portText, &portNum) != TCL_OK) return TCL_ERROR;
  Port const port(static_cast<unsigned short>(portNum));
  int ttl = 255;
  if (ttlText != nullptr && Tcl_GetInt(interp, ttlText, &ttl) != TCL_OK) return TCL_ERROR;

  bool isNew = false;
  Groupsock* groupsock = OurGroupsocks.FetchForScript(env, group, source, port,
                                                      static_cast<unsigned char>(ttl), isNew);
  if (groupsock == nullptr) return TCL_ERROR;  // the reason is the result
  int const descriptor = groupsock->socketNum();

  Tcl_Channel channel = GroupsockChannel::create(descriptor);
  if (channel == nullptr) {
    char message[80];
    std::snprintf(message, sizeof message,
                  "Internal error: Couldn't convert socket #%d into a Tcl channel", descriptor);
    env.setResultMsg(message);
    if (isNew) OurGroupsocks.Discard(groupsock);
    return TCL_ERROR;
  }
  Tcl_RegisterChannel(interp, channel);
  env.setResultMsg(Tcl_GetChannelName(channel));
  return TCL_OK;
}

// groupsock_create groupAddress portNum ttl
int groupsock_createCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "groupAddress", "portNum", "ttl", nullptr))
    return TCL_ERROR;
  return createGroupsock(interp, argv[1], nullptr, argv[2], argv[3]);
}

// groupsock_createSSM groupAddress sourceAddress portNum
int groupsock_createSSMCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "groupAddress", "sourceAddress", "portNum", nullptr))
    return TCL_ERROR;
  return createGroupsock(interp, argv[1], argv[2], argv[3], nullptr);
}

// groupsock_read socket ?initialOffset ?initialBinaryDataResult ?sourceAddress
//
// Waits for one datagram (the socket is blocking). The result is its text
// from initialOffset up to the first zero byte; the bytes before the offset
// go to initialBinaryDataResult as "0x%02x" list elements, the sender to
// sourceAddress. The datagram is also counted and relayed to the members.
int groupsock_readCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  Groupsock* groupsock = openCommand(interp, argc, argv, groupsockNamed, "socket", "?initialOffset",
                                     "?initialBinaryDataResult", "?sourceAddress");
  if (groupsock == nullptr) return TCL_ERROR;
  TclUsageEnvironment& env = family.envOf(interp);
  int offset = 0;
  if (argc > 2 && !parseOffset(interp, env, argv[2], offset)) return TCL_ERROR;

  // A member may tear itself down while the datagram is relayed and take the
  // groupsock with it, so the groupsock is not touched after this.
  unsigned bytesRead = 0;
  sockaddr_in fromAddress{};
  if (!groupsock->handleRead(buf, MAX_DATAGRAM_SIZE, bytesRead, fromAddress)) return TCL_ERROR;
  buf[bytesRead] = '\0';

  // Variables that cannot be set are passed over.
  if (argc > 3) {
    Tcl_DString bytes;
    Tcl_DStringInit(&bytes);
    unsigned const count = std::min(static_cast<unsigned>(offset), bytesRead);
    for (unsigned i = 0; i < count; ++i) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", buf[i]);
      Tcl_DStringAppendElement(&bytes, hex);
    }
    Tcl_SetVar(interp, argv[3], Tcl_DStringValue(&bytes), 0);
    Tcl_DStringFree(&bytes);
  }
  if (argc > 4) Tcl_SetVar(interp, argv[4], AddressString(fromAddress).val(), 0);

  if (static_cast<unsigned>(offset) < bytesRead)
    env.setResultMsg(reinterpret_cast<char const*>(buf + offset));
  else
    Tcl_ResetResult(interp);
  return TCL_OK;
}

// Puts the first offset bytes of a datagram into buf: the values of the list
// initialBinaryData, as far as it goes, then zeros. False, with the message
// as the result, for a malformed list or a value that is not a byte.
bool putInitialBytes(Tcl_Interp* interp, UsageEnvironment& env, char const* initialBinaryData,
                     int offset) {
  int count;
  char** values;
  if (ourTcl_SplitList(interp, initialBinaryData, count, values) != TCL_OK) return false;
  int const given = std::min(offset, count);
  bool ok = true;
  for (int i = 0; ok && i < given; ++i) {
    int value;
    if (Tcl_GetInt(interp, values[i], &value) != TCL_OK) {
      env.setResultMsg("supplied initial datum \"", values[i], "\" is not an integer");
      ok = false;
    } else if (static_cast<unsigned>(value) >= 256) {  // negative values too
      env.setResultMsg("supplied initial datum \"", values[i], "\" cannot fit into a byte");
      ok = false;
    } else {
      buf[i] = static_cast<unsigned char>(value);
    }
  }
  ourSplitListFree(values);
  if (ok) std::memset(buf + given, 0, static_cast<size_t>(offset - given));
  return ok;
}

// groupsock_write socket data ?ttl ?initialOffset ?initialBinaryData, and
// the option -no0 anywhere
//
// Sends the data text with its terminating zero byte (without it under
// -no0) to the group and relays it to the members. With an initial offset
// the text stands behind that many bytes taken from initialBinaryData.
int groupsock_writeCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  // Every -no0 is taken out before anything else looks at the arguments; so
  // the text -no0 itself can never be sent as data.
  std::vector<char const*> args;
  bool sendZero = true;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::strcmp(argv[i], "-no0") == 0)
      sendZero = false;
    else
      args.push_back(argv[i]);
  }
  int const numArgs = static_cast<int>(args.size());
  Groupsock* groupsock = openCommand(interp, numArgs, args.data(), groupsockNamed, "socket", "data",
                                     "?ttl", "?initialOffset", "?initialBinaryData");
  if (groupsock == nullptr) return TCL_ERROR;
  TclUsageEnvironment& env = family.envOf(interp);

  unsigned char ttl = groupsock->ttl();
  if (numArgs > 3) {
    int value;
    if (Tcl_GetInt(interp, args[3], &value) != TCL_OK) return TCL_ERROR;
    ttl = static_cast<unsigned char>(value);
  }
  int offset = 0;
  if (numArgs > 4 && !parseOffset(interp, env, args[4], offset)) return TCL_ERROR;

  char const* data = args[2];
  size_t const length = std::strlen(data);
  unsigned long long const size = offset + length + (sendZero ? 1 : 0);

  // The datagram is built where 16 writable bytes follow it: the relay
  // appends its trailer there in place.
  unsigned char* datagram = buf;
  std::unique_ptr<unsigned char[]> heapBuffer;
  if (offset == 0) {
    // No size limit here: a text too long for buf gets a buffer of its own.
    if (size > MAX_DATAGRAM_SIZE) {
      heapBuffer.reset(new unsigned char[length + 1 + TRAILER_ROOM]);
      datagram = heapBuffer.get();
    }
    std::memcpy(datagram, data, length + 1);
  } else {
    if (size > MAX_DATAGRAM_SIZE) {
      char message[100];
      std::snprintf(message, sizeof message,
                    "total data size specified (%llu) exceeds the maximum allowed (%u)", size,
                    MAX_DATAGRAM_SIZE);
      env.setResultMsg(message);
      return TCL_ERROR;
    }
    if (!putInitialBytes(interp, env, numArgs > 5 ? args[5] : "", offset)) return TCL_ERROR;
    std::memcpy(buf + offset, data, length + 1);
  }

  // The relay may delete the groupsock; it is not touched after this.
  if (!groupsock->output(env, ttl, datagram, static_cast<unsigned>(size), nullptr))
    return TCL_ERROR;
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// groupsock_delete socket
//
// Deletes the groupsock whatever members it has (tunnels that joined through
// it lose it without notice) and unregisters its channel. A name that does
// not resolve to a groupsock is an error with the lookup's message.
int groupsock_deleteCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  Groupsock* groupsock = openCommand(interp, argc, argv, groupsockNamed, "socket");
  if (groupsock == nullptr) return TCL_ERROR;

  Tcl_Channel channel = Tcl_GetChannel(interp, argv[1], nullptr);
  // The channel may be held elsewhere (another interpreter) and outlive the
  // unregistering: from now on it touches no descriptor.
  Groupsock_discard(*groupsock);
  Tcl_UnregisterChannel(interp, channel);
  Tcl_ResetResult(interp);  // a failed flush on close may have left a message
  return TCL_OK;
}

// groupsock_getCreationParams socket: "group port ttl", or for a
// source-specific group "{group source} port ttl". The port is the one the
// socket was created with, also after a destination change.
int groupsock_getCreationParamsCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  Groupsock* groupsock = openCommand(interp, argc, argv, groupsockNamed, "socket");
  if (groupsock == nullptr) return TCL_ERROR;
  TclUsageEnvironment& env = family.envOf(interp);

  char text[80];
  AddressString const group(groupsock->groupAddress());
  unsigned const port = ntohs(groupsock->port().num());
  unsigned const ttl = groupsock->ttl();
  if (groupsock->isSSM())
    std::snprintf(text, sizeof text, "{%s %s} %u %u", group.val(),
                  AddressString(groupsock->sourceFilterAddress()).val(), port, ttl);
  else
    std::snprintf(text, sizeof text, "%s %u %u", group.val(), port, ttl);
  env.setResultMsg(text);
  return TCL_OK;
}

// groupsock_turnOnBackgroundReadHandling socket (on) and
// groupsock_turnOffBackgroundReadHandling socket (off). While on, the event
// loop reads every arriving datagram, counts it, relays it to the members
// and drops it; scripts no longer see it. This uses the descriptor's one
// file handler, the same one that fileevent on the channel uses.
template <bool on>
int backgroundReadHandlingCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  Groupsock* groupsock = openCommand(interp, argc, argv, groupsockNamed, "socket");
  if (groupsock == nullptr) return TCL_ERROR;
  family.envOf(interp).getScheduler().setBackgroundHandling(
      groupsock->socketNum(), on ? TaskScheduler::READABLE : 0, on ? socketReadHandler : nullptr,
      on ? groupsock : nullptr);
  return TCL_OK;
}

// groupsock_getOurIPAddress (the host's own address; fails with the
// discovery's message when none can be found) and
// groupsock_chooseRandomIPv4SSMAddress (a random group in 232.0.1.0 to
// 232.255.255.254): the address that find gives, dotted.
template <unsigned (*find)(UsageEnvironment&)>
int addressCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, nullptr)) return TCL_ERROR;
  TclUsageEnvironment& env = family.envOf(interp);
  unsigned const address = find(env);
  if (address == 0) return TCL_ERROR;
  env.setResultMsg(AddressString(address).val());
  return TCL_OK;
}

// groupsock_haveSeenIncomingTraffic: "1" once any groupsock has read
// multicast from the local network (its own looped-back datagrams aside) or
// sent out multicast that arrived through a tunnel.
int groupsock_haveSeenIncomingTrafficCmd(ClientData, Tcl_Interp* interp, int argc,
                                         char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, nullptr)) return TCL_ERROR;
  bool const seen = Groupsock::statsIncoming.haveSeenTraffic() ||
                    Groupsock::statsRelayedOutgoing.haveSeenTraffic();
  Tcl_SetResult(interp, const_cast<char*>(seen ? "1" : "0"), TCL_STATIC);
  return TCL_OK;
}

// groupsock_multicastSendOnly socket: accepted for compatibility; no effect.
int groupsock_multicastSendOnlyCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  Groupsock* groupsock = openCommand(interp, argc, argv, groupsockNamed, "socket");
  if (groupsock == nullptr) return TCL_ERROR;
  groupsock->multicastSendOnly();
  return TCL_OK;
}

// groupsock_changeDestinationAddress socket address: later writes go to
// address (a group, which is then joined instead of the old destination, or a
// unicast host); port and time-to-live stay.
int groupsock_changeDestinationAddressCmd(ClientData, Tcl_Interp* interp, int argc,
                                          char const** argv) {
  Groupsock* groupsock = openCommand(interp, argc, argv, groupsockNamed, "socket", "address");
  if (groupsock == nullptr) return TCL_ERROR;
  std::optional<unsigned> const address = parseIPv4Address(argv[2]);
  if (!address) {
    Tcl_AppendResult(interp, "bad IP address: ", argv[2], static_cast<char*>(nullptr));
    return TCL_ERROR;
  }
  in_addr destination;
  destination.s_addr = *address;
  groupsock->changeDestinationParameters(destination, Port(0), -1);
  return TCL_OK;
}

// groupsock_setMembersAreTransient socket: members stay only as long as
// their joins are renewed.
int groupsock_setMembersAreTransientCmd(ClientData, Tcl_Interp* interp, int argc,
                                        char const** argv) {
  Groupsock* groupsock = openCommand(interp, argc, argv, groupsockNamed, "socket");
  if (groupsock == nullptr) return TCL_ERROR;
  groupsock->setMembersAreTransient(true);
  return TCL_OK;
}

// The deletion hook of every environment the family is registered in:
// its groupsocks read, send and trace through it, so they go first. Their
// channels may still be held (by the dying interpreter, which closes them
// next, or by another one) and are detached.
void discardGroupsocksOf(TclUsageEnvironment& env) {
  std::vector<Groupsock*> doomed;
  GroupsockLookupTable::Iterator groupsocks(OurGroupsocks);
  while (Groupsock* groupsock = groupsocks.next()) {
    if (&groupsock->env() == &env) doomed.push_back(groupsock);
  }
  for (Groupsock* groupsock : doomed) Groupsock_discard(*groupsock);
}

// The family, in registration order.
CommandEntry const commands[] = {
    {"groupsock_create", groupsock_createCmd},
    {"groupsock_createSSM", groupsock_createSSMCmd},
    {"groupsock_read", groupsock_readCmd},
    {"groupsock_write", groupsock_writeCmd},
    {"groupsock_delete", groupsock_deleteCmd},
    {"groupsock_getCreationParams", groupsock_getCreationParamsCmd},
    {"groupsock_turnOnBackgroundReadHandling", backgroundReadHandlingCmd<true>},
    {"groupsock_turnOffBackgroundReadHandling", backgroundReadHandlingCmd<false>},
    {"groupsock_getOurIPAddress", addressCmd<ourIPAddress>},
    {"groupsock_chooseRandomIPv4SSMAddress", addressCmd<chooseRandomIPv4SSMAddress>},
    {"groupsock_haveSeenIncomingTraffic", groupsock_haveSeenIncomingTrafficCmd},
    {"groupsock_multicastSendOnly", groupsock_multicastSendOnlyCmd},
    {"groupsock_changeDestinationAddress", groupsock_changeDestinationAddressCmd},
    {"groupsock_setMembersAreTransient", groupsock_setMembersAreTransientCmd},
    {"ipAddressFromName", ipAddressFromNameCmd},
    {"seedRandom", seedRandomCmd},
    {"random", randomCmd},
    {"processExists", processExistsCmd},
    {"groupsock_initInSlave", groupsock_initInSlaveCmd},
    {"groupsock_loopbackWorks", groupsock_loopbackWorksCmd},
    {"groupsock_setSendingInterfaceAddress", groupsock_setSendingInterfaceAddressCmd},
    {"groupsock_setReceivingInterfaceAddress", groupsock_setReceivingInterfaceAddressCmd},
};

}  // namespace

int Groupsock_Init(Tcl_Interp* interp, char const* tag) {
  return family.init(interp, tag, commands, discardGroupsocksOf);
}

// Channel name -> channel -> its readable descriptor -> the groupsock
// registered under that descriptor.
Groupsock* Groupsock_lookupByName(UsageEnvironment& env, char const* name) {
  auto* tclEnv = dynamic_cast<TclUsageEnvironment*>(&env);
  if (tclEnv == nullptr) return nullptr;  // no interpreter, so no channels
  Tcl_Interp* interp = tclEnv->getInterp();

  Tcl_Channel channel = Tcl_GetChannel(interp, name, nullptr);
  if (channel == nullptr) {
    // Behind the library's own message, which says why.
    Tcl_AppendResult(interp, "; Failed to get channel for \"", name, "\"",
                     static_cast<char*>(nullptr));
    return nullptr;
  }
  ClientData handle;
  if (Tcl_GetChannelHandle(channel, TCL_READABLE, &handle) != TCL_OK) {
    Tcl_AppendResult(interp, "Failed to get file from channel for \"", name, "\"",
                     static_cast<char*>(nullptr));
    return nullptr;
  }
  int const descriptor = static_cast<int>(reinterpret_cast<intptr_t>(handle));
  if (descriptor < 0) return nullptr;
  Groupsock* groupsock = OurGroupsocks.Lookup(env, descriptor);
  if (groupsock == nullptr) env.setResultMsg("socket is no longer in use");
  return groupsock;
}

void Groupsock_discard(Groupsock& groupsock) {
  int const descriptor = groupsock.socketNum();
  OurGroupsocks.Discard(&groupsock);
  GroupsockChannel::detach(descriptor);
}

char const* groupsockCommandsTag() { return family.tag(); }
