// The sink that hands the IGMP listener's events to a script: each event
// calls the command prefix the script registered, with five words appended:
//
//   kind from group sources info
//
// kind     join, leave (v1/v2), is_in, is_ex, to_in, to_ex, allow, block (the
//          v3 group record types 1 to 6), or query
// from     the reporter's or querier's IP source address, dotted
// group    the group, dotted; 0.0.0.0 for a general query
// sources  the list of the record's or the query's source addresses (empty
//          for v1/v2 messages)
// info     a dictionary: "version" 1, 2 or 3; for a query also
//          "maxResponseMs" (0 in a v1 query), "robustness" and
//          "queryInterval" in seconds (both 0 unless a v3 query says them)
//          and "suppress" (the v3 S flag, 0 or 1)
//
// The command runs at global level while the event loop dispatches; an
// error in it becomes a background error (bgerror) and the next event is
// delivered all the same.
#ifndef VELDRA_COMMANDS_IGMPSCRIPTSINK_HH
#define VELDRA_COMMANDS_IGMPSCRIPTSINK_HH

#include <tcl.h>

#include "groupsock/IgmpListener.hh"

class IgmpScriptSink : public IgmpEventSink {
 public:
  // Keeps a reference to commandPrefix, a list of at least one word.
  IgmpScriptSink(Tcl_Interp* interp, Tcl_Obj* commandPrefix);
  ~IgmpScriptSink() override;
  IgmpScriptSink(IgmpScriptSink const&) = delete;
  IgmpScriptSink& operator=(IgmpScriptSink const&) = delete;

  void igmpEvent(IgmpEvent const& event) override;

 private:
  Tcl_Interp* interp_;
  Tcl_Obj* prefix_;
};

#endif
