// A command family as a table of names and the procedures behind them.
#ifndef VELDRA_COMMANDS_COMMANDTABLE_HH
#define VELDRA_COMMANDS_COMMANDTABLE_HH

#include <tcl.h>

#include <cstddef>

struct CommandEntry {
  char const* name;
  Tcl_CmdProc* proc;
};

// Registers every command of the table in interp, in table order, with no
// client data and no delete procedure.
template <std::size_t N>
void registerCommands(Tcl_Interp* interp, CommandEntry const (&commands)[N]) {
  for (CommandEntry const& command : commands)
    Tcl_CreateCommand(interp, command.name, command.proc, nullptr, nullptr);
}

#endif
