// Calling the script's IGMP event procedure.
#include "commands/IgmpScriptSink.hh"

#include "groupsock/AddressString.hh"

namespace {

Tcl_Obj* addressObj(uint32_t address) { return Tcl_NewStringObj(AddressString(address).val(), -1); }

void putInt(Tcl_Obj* dict, char const* key, long value) {
  Tcl_DictObjPut(nullptr, dict, Tcl_NewStringObj(key, -1), Tcl_NewLongObj(value));
}

// The info dictionary of an event (see the header).
Tcl_Obj* infoObj(IgmpEvent const& event) {
  Tcl_Obj* info = Tcl_NewDictObj();
  putInt(info, "version", event.version);
  if (event.kind == IgmpEventKind::QUERY) {
    IgmpMessage const& query = event.message;
    putInt(info, "maxResponseMs", 100L * query.maxResponseTenths);
    putInt(info, "robustness", query.robustness);
    putInt(info, "queryInterval", query.queryIntervalSeconds);
    putInt(info, "suppress", query.suppressRouterProcessing ? 1 : 0);
  }
  return info;
}

}  // namespace

IgmpScriptSink::IgmpScriptSink(Tcl_Interp* interp, Tcl_Obj* commandPrefix)
    : interp_(interp), prefix_(commandPrefix) {
  Tcl_IncrRefCount(prefix_);
}

IgmpScriptSink::~IgmpScriptSink() { Tcl_DecrRefCount(prefix_); }

// Builds the command as a list, so that nothing in the words is parsed
// again, and runs it with the interpreter's result and error state saved:
// the event may arrive while a script command waits in the event loop.
void IgmpScriptSink::igmpEvent(IgmpEvent const& event) {
  if (Tcl_InterpDeleted(interp_)) return;
  Tcl_Obj* command = Tcl_DuplicateObj(prefix_);
  Tcl_IncrRefCount(command);
  Tcl_Obj* sources = Tcl_NewListObj(0, nullptr);
  for (uint32_t source : event.sources)
    Tcl_ListObjAppendElement(nullptr, sources, addressObj(source));
  Tcl_Obj* const words[] = {Tcl_NewStringObj(igmpEventKindName(event.kind), -1),
                            addressObj(event.from), addressObj(event.group), sources,
                            infoObj(event)};
  for (Tcl_Obj* word : words) Tcl_ListObjAppendElement(nullptr, command, word);

  Tcl_Preserve(interp_);
  Tcl_InterpState saved = Tcl_SaveInterpState(interp_, TCL_OK);
  int const code = Tcl_EvalObjEx(interp_, command, TCL_EVAL_GLOBAL);
  if (code != TCL_OK) {
    Tcl_AddErrorInfo(interp_, "\n    (IGMP event procedure)");
    Tcl_BackgroundException(interp_, code);
  }
  Tcl_RestoreInterpState(interp_, saved);
  Tcl_Release(interp_);
  Tcl_DecrRefCount(command);
}
