// The IGMP commands. Each checks its arguments and makes one call into the
// listener or the query sender.
#include "commands/IgmpCommands.hh"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <memory>
#include <optional>

#include "commands/CommandSupport.hh"
#include "commands/IgmpScriptSink.hh"
#include "groupsock/AddressString.hh"
#include "groupsock/IgmpListener.hh"
#include "groupsock/IgmpQuerySender.hh"
#include "groupsock/IgmpWire.hh"
#include "groupsock/NetAddress.hh"
#include "runtime/ArgumentHelpers.hh"
#include "runtime/TclUsageEnvironment.hh"

namespace {

// The listener and the query sender of its interface: both set by
// igmp_listen, both gone after igmp_stop. They live as long as the
// listening; nothing else owns them.
IgmpListener* listener = nullptr;
IgmpQuerySender* querySender = nullptr;

// The limits of a query's max response time, in milliseconds: a tenth of a
// second at least, and what a version 2 byte or a version 3 code can hold.
constexpr int MIN_RESPONSE_MS = 100;
constexpr int MAX_V2_RESPONSE_MS = 255 * 100;
constexpr int MAX_V3_RESPONSE_MS = IGMP_MAX_CODE_VALUE * 100;

// Default max response times: the query response interval of a general
// query and the last member query interval of a group-specific one.
constexpr int GENERAL_RESPONSE_MS = 10000;
constexpr int GROUP_RESPONSE_MS = 1000;

CommandFamily family;

// Sets the result "not listening for IGMP ..." and returns TCL_ERROR.
int notListening(Tcl_Interp* interp) {
  Tcl_SetResult(interp, const_cast<char*>("not listening for IGMP (igmp_listen first)"),
                TCL_STATIC);
  return TCL_ERROR;
}

// Parses an integer argument that must lie in [low, high]; otherwise the
// result says "<what> must be <low> to <high><unit>".
bool parseInRange(Tcl_Interp* interp, char const* text, int low, int high, char const* what,
                  char const* unit, int& value) {
  if (Tcl_GetInt(interp, text, &value) != TCL_OK) return false;
  if (value < low || value > high) {
    char message[120];
    std::snprintf(message, sizeof message, "%s must be %d to %d%s", what, low, high, unit);
    Tcl_SetObjResult(interp, Tcl_NewStringObj(message, -1));
    return false;
  }
  return true;
}

// igmp_listen interface procName
//
// Starts reading IGMP on the interface and opens the sender of queries
// there. procName is a command prefix, called for every event with the
// words that IgmpScriptSink.hh describes. The result is the interface's
// IPv4 address, the one queries are sent from.
int igmp_listenCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "interface", "procName", nullptr)) return TCL_ERROR;
  TclUsageEnvironment& env = family.envOf(interp);
  if (listener != nullptr) {
    env.setResultMsg("already listening for IGMP on ", listener->interfaceName().c_str(),
                     " (igmp_stop first)");
    return TCL_ERROR;
  }
  Tcl_Obj* prefix = Tcl_NewStringObj(argv[2], -1);
  Tcl_IncrRefCount(prefix);
  int words = 0;
  if (Tcl_ListObjLength(interp, prefix, &words) != TCL_OK || words == 0) {
    if (words == 0) env.setResultMsg("procName must name a procedure");
    Tcl_DecrRefCount(prefix);
    return TCL_ERROR;
  }
  auto sink = std::make_unique<IgmpScriptSink>(interp, prefix);
  Tcl_DecrRefCount(prefix);  // the sink holds its own reference

  IgmpListener* newListener = IgmpListener::create(env, argv[1], std::move(sink));
  if (newListener == nullptr) return TCL_ERROR;
  IgmpQuerySender* newSender = IgmpQuerySender::create(env, argv[1], newListener->interfaceIndex(),
                                                       newListener->interfaceAddress());
  if (newSender == nullptr) {
    newListener->deleteWhenSafe();
    return TCL_ERROR;
  }
  listener = newListener;
  querySender = newSender;
  env.setResultMsg(AddressString(listener->interfaceAddress()).val());
  return TCL_OK;
}

// igmp_stop: stops listening and closes the query sender. Not listening is
// not an error. May be called from the event procedure itself.
int igmp_stopCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, nullptr)) return TCL_ERROR;
  if (listener != nullptr) {
    listener->deleteWhenSafe();
    listener = nullptr;
    delete querySender;
    querySender = nullptr;
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// Reads the source list of a query into query.sources; false with a message.
bool parseSources(Tcl_Interp* interp, char const* list, IgmpQuery& query) {
  int count = 0;
  char const** elements = nullptr;
  if (Tcl_SplitList(interp, list, &count, &elements) != TCL_OK) return false;
  bool ok = true;
  for (int i = 0; ok && i < count; ++i) {
    std::optional<unsigned> const source = parseIPv4Address(elements[i]);
    if (!source || *source == 0) {
      Tcl_SetObjResult(interp, Tcl_ObjPrintf("bad source address: %s", elements[i]));
      ok = false;
    } else {
      query.sources.push_back(*source);
    }
  }
  Tcl_Free(reinterpret_cast<char*>(elements));
  return ok;
}

// igmp_sendQuery version group ?maxResponseTime ?sources ?robustness
//   ?queryInterval ?suppress
//
// Sends a membership query on the listening interface: version 2 or 3
// form; general when group is 0.0.0.0 (to 224.0.0.1), group-specific
// otherwise (to the group). maxResponseTime is in milliseconds (default
// 10000 for a general query, 1000 for a group-specific one). The version 3
// form also takes a source list (a group-and-source-specific query), the
// robustness variable (default 2), the query interval in seconds (default
// 125) and the flag that suppresses routers' timer updates (default 0).
int igmp_sendQueryCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "version", "group", "?maxResponseTime", "?sources",
                    "?robustness", "?queryInterval", "?suppress", nullptr))
    return TCL_ERROR;
  IgmpQuery query;
  int version = 0;
  if (Tcl_GetInt(interp, argv[1], &version) != TCL_OK) return TCL_ERROR;
  if (version != 2 && version != 3) {
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("bad IGMP version \"%s\": must be 2 or 3", argv[1]));
    return TCL_ERROR;
  }
  query.version = static_cast<unsigned>(version);
  std::optional<unsigned> const group = parseIPv4Address(argv[2]);
  if (!group || (*group != 0 && !IN_MULTICAST(ntohl(*group)))) {
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("bad group address: %s (a query names 0.0.0.0 or a "
                                           "multicast group)",
                                           argv[2]));
    return TCL_ERROR;
  }
  query.group = *group;
  int responseMs = query.group == 0 ? GENERAL_RESPONSE_MS : GROUP_RESPONSE_MS;
  if (argc > 3 && !parseInRange(interp, argv[3], MIN_RESPONSE_MS,
                                version == 2 ? MAX_V2_RESPONSE_MS : MAX_V3_RESPONSE_MS,
                                "maxResponseTime", " ms", responseMs))
    return TCL_ERROR;
  query.maxResponseTenths = static_cast<unsigned>(responseMs / 100);
  if (argc > 4 && !parseSources(interp, argv[4], query)) return TCL_ERROR;
  if (!query.sources.empty()) {
    char const* refusal = nullptr;
    if (version == 2)
      refusal = "a version 2 query names no sources";
    else if (query.group == 0)
      refusal = "a general query names no sources";
    else if (query.sources.size() > IgmpQuerySender::MAX_SOURCES)
      refusal = "too many sources for one query";
    if (refusal != nullptr) {
      Tcl_SetResult(interp, const_cast<char*>(refusal), TCL_STATIC);
      return TCL_ERROR;
    }
  }
  int robustness = 2;
  int queryInterval = 125;
  int suppress = 0;
  if (argc > 5 && !parseInRange(interp, argv[5], 1, 7, "robustness", "", robustness))
    return TCL_ERROR;
  if (argc > 6 && !parseInRange(interp, argv[6], 1, static_cast<int>(IGMP_MAX_CODE_VALUE),
                                "queryInterval", " s", queryInterval))
    return TCL_ERROR;
  if (argc > 7 && Tcl_GetBoolean(interp, argv[7], &suppress) != TCL_OK) return TCL_ERROR;
  query.robustness = static_cast<unsigned>(robustness);
  query.queryIntervalSeconds = static_cast<unsigned>(queryInterval);
  query.suppressRouterProcessing = suppress != 0;

  if (querySender == nullptr) return notListening(interp);
  if (!querySender->send(query)) return TCL_ERROR;
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// igmp_stats: "interface I address A datagrams N queries N reports N
// leaves N events N malformed N ignored N queriesSent N", counted since
// igmp_listen (see IgmpListenerStats).
int igmp_statsCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, nullptr)) return TCL_ERROR;
  if (listener == nullptr) return notListening(interp);
  IgmpListenerStats const& s = listener->stats();
  Tcl_Obj* result = Tcl_NewListObj(0, nullptr);
  auto put = [interp, result](char const* key, Tcl_Obj* value) {
    Tcl_ListObjAppendElement(interp, result, Tcl_NewStringObj(key, -1));
    Tcl_ListObjAppendElement(interp, result, value);
  };
  auto count = [](unsigned long n) { return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(n)); };
  put("interface", Tcl_NewStringObj(listener->interfaceName().c_str(), -1));
  put("address", Tcl_NewStringObj(AddressString(listener->interfaceAddress()).val(), -1));
  put("datagrams", count(s.datagrams));
  put("queries", count(s.queries));
  put("reports", count(s.reports));
  put("leaves", count(s.leaves));
  put("events", count(s.events));
  put("malformed", count(s.malformed));
  put("ignored", count(s.ignored));
  put("queriesSent", count(querySender->queriesSent()));
  Tcl_SetObjResult(interp, result);
  return TCL_OK;
}

}  // namespace

int Igmp_Init(Tcl_Interp* interp, char const* tag) {
  // The family, in registration order.
  static CommandEntry const commands[] = {
      {"igmp_listen", igmp_listenCmd},
      {"igmp_stop", igmp_stopCmd},
      {"igmp_sendQuery", igmp_sendQueryCmd},
      {"igmp_stats", igmp_statsCmd},
  };
  return family.init(interp, tag, commands);
}
