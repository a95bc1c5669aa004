// What the command families share: the tag under which a family's commands
// find the interpreter's usage environment, the opening of a command that
// works on one named object, and host-name resolution with its message.
#ifndef VELDRA_COMMANDS_COMMANDSUPPORT_HH
#define VELDRA_COMMANDS_COMMANDSUPPORT_HH

#include <tcl.h>

#include <cstddef>
#include <string>

#include "commands/CommandTable.hh"
#include "runtime/ArgumentHelpers.hh"
#include "runtime/TclUsageEnvironment.hh"

// One command family's tag: the one given to its most recent Init.
class CommandFamily {
 public:
  // The body of a family's Init: attaches (or finds) interp's usage
  // environment under tag, adds the family's deletion hook to it (if any),
  // remembers tag for the commands, and registers the commands in table
  // order. Returns 0, Init's result.
  template <std::size_t N>
  int init(Tcl_Interp* interp, char const* tag, CommandEntry const (&commands)[N],
           TclUsageEnvironment::DeletionHook hook = nullptr) {
    attach(interp, tag, hook);
    registerCommands(interp, commands);
    return 0;
  }
  char const* tag() const { return tag_.c_str(); }
  // The usage environment of the interpreter running a command.
  TclUsageEnvironment& envOf(Tcl_Interp* interp) const;

 private:
  void attach(Tcl_Interp* interp, char const* tag, TclUsageEnvironment::DeletionHook hook);

  std::string tag_;
};

// The opening of a command on one named object: checks the words against
// the parameter names (the first one names the object, in argv[1]), then
// finds the object with find, which appends the reason when there is none.
// nullptr when the words are wrong (the usage message is the result) or
// there is no such object.
template <class Object, class... Names>
Object* openCommand(Tcl_Interp* interp, int argc, char const** argv,
                    Object* (*find)(Tcl_Interp*, char const*), Names... parameterNames) {
  if (!CheckNumArgs(interp, argc, argv, parameterNames..., nullptr)) return nullptr;
  return find(interp, argv[1]);
}

// The first IPv4 address of a host name or dotted text. False, with
// "failed to find network address for \"<name>\"" appended to the result,
// when it has none.
bool resolveHostAddress(Tcl_Interp* interp, char const* name, unsigned& address);

#endif
