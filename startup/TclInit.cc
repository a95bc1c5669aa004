#include "startup/TclInit.hh"

#include <cstdio>

#include "commands/GroupsockCommands.hh"
#include "commands/IgmpCommands.hh"
#include "commands/SignalCommands.hh"
#include "commands/TunnelCommands.hh"
#include "runtime/ArgumentHelpers.hh"
#include "runtime/DelayQueue.hh"
#include "runtime/EpollNotifier.hh"
#include "startup/Embedding.hh"

int haveOutputStreams = 1;

namespace {

char const* const TAG = "veldra";

// Sets tamsel_appDirName and defines tamsel_localFile.
char const* const LOCAL_FILE_SCRIPT =
    "set tamsel_appDirName\t\t\t\t[file dirname [info nameofexecutable]];"
    "\t\t\t  proc tamsel_localFile {fileName} {\t\t\t\tglobal tamsel_appDirName;"
    "\t\t\t\tfile join $tamsel_appDirName $fileName\t\t\t  }";

// Maps [source path/root.ext] to the built-in script root_ext, run in the
// caller's frame.
char const* const SOURCE_OVERRIDE_SCRIPT =
    "rename source old_source;\t\t\t\t  proc source fileName {"
    "\t\t\t\t\tset basename [file tail $fileName];"
    "\t\t\t\t\tset root [file root $basename];"
    "\t\t\t\t\tset ext [file extension $basename];"
    "\t\t\t\t\tset ext [string range $ext 1 end];"
    "\t\t\t\t\tset newFileName [set root]_$ext;"
    "\t\t\t\t\tuplevel tamsel_source $newFileName\t\t\t\t }";

char const* const SOURCE_RESTORE_SCRIPT = "rename source {}; rename old_source source";

// The command line's program path, even for a process started without one.
char const* programPath(char** argv) {
  return argv != nullptr && argv[0] != nullptr ? argv[0] : "veldra";
}

// veldra_alternativeErrorOutput ?text
int TclCmdVeldraAlternativeErrorOutput(ClientData, Tcl_Interp*, int argc, char const** argv) {
  if (argc > 1) alternativeErrorOutput(argv[1]);
  return TCL_OK;
}

// tamsel_source fileName: runs the built-in script of that name in the
// caller's frame.
int TclCmdTamselSource(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "fileName", nullptr)) return TCL_ERROR;
  char* script = GetEmbeddedString(argv[1]);
  int code = Tcl_Eval(interp, script);
  delete[] script;
  return code == TCL_OK ? TCL_OK : TCL_ERROR;
}

// Evaluates commands from standard input until it ends, reporting failures
// on standard error; then evaluates "exit 0".
void inputLoop(Tcl_Interp* interp) {
  static Tcl_DString command;
  Tcl_Channel inChannel = Tcl_GetStdChannel(TCL_STDIN);
  Tcl_Channel errChannel = Tcl_GetStdChannel(TCL_STDERR);
  Tcl_DStringInit(&command);
  bool partial = false;

  while (inChannel != nullptr) {
    int count = Tcl_Gets(inChannel, &command);
    if (count < 0) break;
    if (count == 0 && Tcl_Eof(inChannel) && !partial) break;
    Tcl_DStringAppend(&command, "\n", -1);
    partial = true;
    if (!Tcl_CommandComplete(Tcl_DStringValue(&command))) continue;

    int code = Tcl_RecordAndEval(interp, Tcl_DStringValue(&command), 0);
    // The command may have closed or replaced the standard channels.
    inChannel = Tcl_GetStdChannel(TCL_STDIN);
    errChannel = Tcl_GetStdChannel(TCL_STDERR);
    Tcl_DStringFree(&command);
    partial = false;
    if (code != TCL_OK && errChannel != nullptr) {
      Tcl_WriteChars(errChannel, Tcl_GetStringResult(interp), -1);
      Tcl_WriteChars(errChannel, "\n", 1);
    }
  }
  Tcl_DStringFree(&command);

  char exitCommand[32];
  std::snprintf(exitCommand, sizeof exitCommand, "exit %d", 0);
  Tcl_Eval(interp, exitCommand);
}

}  // namespace

int commonMain(int argc, char** argv, char const* mainScriptName, unsigned char overrideSource) {
  // Our notifier must be in place before the library initialises its own.
  EpollNotifier::install();
  // The queue's first tick arms an interpreter timer, which the 8.6 library
  // accepts only once its subsystems are initialised.
  Tcl_FindExecutable(programPath(argv));
  processDelayQueue();
  tclInit(argc, argv, mainScriptName, overrideSource);
  return 0;
}

void tclInit(int argc, char** argv, char const* mainScriptName, unsigned char overrideSource) {
  Tcl_Interp* interp = nullptr;
  if (tclInitInternal(argc, argv, overrideSource, interp) != 0) tclInitError(interp, argv);

  if (Tcl_VarEval(interp, "source [tamsel_localFile ", mainScriptName, "]", nullptr) != TCL_OK) {
    std::fprintf(stderr, "Error running script \"%s\": %s\n", mainScriptName,
                 Tcl_GetStringResult(interp));
    tclInitError(interp, argv);
  }
  if (overrideSource && Tcl_GlobalEval(interp, SOURCE_RESTORE_SCRIPT) != TCL_OK)
    tclInitError(interp, argv);

  Tcl_ResetResult(interp);
  inputLoop(interp);
}

int tclInitInternal(int argc, char** argv, unsigned char overrideSource, Tcl_Interp*& interp) {
  Tcl_FindExecutable(programPath(argv));
  interp = Tcl_CreateInterp();
  if (interp == nullptr) return 1;

  // Every word after the program path is a script argument, whatever it looks like.
  int numArgs = argc > 1 ? argc - 1 : 0;
  char* args = Tcl_Merge(numArgs, numArgs > 0 ? argv + 1 : nullptr);
  Tcl_SetVar(interp, "argv", args, TCL_GLOBAL_ONLY);
  Tcl_Free(args);
  char count[16];
  std::snprintf(count, sizeof count, "%d", numArgs);
  Tcl_SetVar(interp, "argc", count, TCL_GLOBAL_ONLY);
  Tcl_SetVar(interp, "argv0", programPath(argv), TCL_GLOBAL_ONLY);

  if (setupNewCommands(interp) != 0) return 1;
  if (Tcl_GlobalEval(interp, LOCAL_FILE_SCRIPT) != TCL_OK) return 1;
  return tclInitInternal1(interp, overrideSource);
}

int tclInitInternal1(Tcl_Interp* interp, unsigned char overrideSource) {
  Tcl_CreateCommand(interp, "tamsel_source", TclCmdTamselSource, nullptr, nullptr);
  if (overrideSource && Tcl_GlobalEval(interp, SOURCE_OVERRIDE_SCRIPT) != TCL_OK) return 1;
  Tcl_SetVar(interp, "tcl_interactive", "0", TCL_GLOBAL_ONLY);
  if (Tcl_GlobalEval(interp, "source [tamsel_localFile tcltklib/tcl/init.tcl]") != TCL_OK) return 1;
  return 0;
}

int setupNewCommands(Tcl_Interp* interp) {
  Tcl_LinkVar(interp, "haveOutputStreams", reinterpret_cast<char*>(&haveOutputStreams),
              TCL_LINK_BOOLEAN | TCL_LINK_READ_ONLY);
  Tcl_CreateCommand(interp, "veldra_alternativeErrorOutput", TclCmdVeldraAlternativeErrorOutput,
                    nullptr, nullptr);
  if (Groupsock_Init(interp, TAG) != 0) return 1;
  if (corvex_Init(interp, TAG) != 0) return 1;
  if (Descramble_Init(interp, TAG) != 0) return 1;
  if (Igmp_Init(interp, TAG) != 0) return 1;
  if (Signal_Init(interp) != 0) return 1;
  return 0;
}

void tclInitError(Tcl_Interp* interp, char** argv) {
  Tcl_Channel errChannel = Tcl_GetStdChannel(TCL_STDERR);
  char const* reason =
      interp != nullptr ? Tcl_GetStringResult(interp) : "unable to create interpreter";
  if (errChannel != nullptr) {
    Tcl_WriteChars(errChannel, programPath(argv), -1);
    Tcl_WriteChars(errChannel, " initialization failed: ", -1);
    Tcl_WriteChars(errChannel, reason, -1);
    Tcl_WriteChars(errChannel, "\n", 1);
  } else {
    std::fprintf(stderr, "%s initialization failed: %s\n", programPath(argv), reason);
  }
  if (interp != nullptr) Tcl_DeleteInterp(interp);
  Tcl_Exit(1);
}

void alternativeErrorOutput(char const* text) { std::fputs(text, stderr); }
