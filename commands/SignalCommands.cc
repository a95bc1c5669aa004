// veldra_onSignal: from a signal to a script run by the event loop, on the
// interpreter's one thread. The signal handler only writes the signal's
// number into a pipe (write is safe inside a handler; a full pipe drops a
// repeat of a signal that is still pending anyway); the event loop watches
// the pipe's read end like any socket and runs each signal's script at
// global level. A signal that arrives while the loop waits interrupts the
// wait, so the script runs at once.
#include "commands/SignalCommands.hh"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "runtime/ArgumentHelpers.hh"

namespace {

// What one signal does: nothing (its default action) while interp is null.
struct SignalHandling {
  SignalHandling(int number, char const* signalName) : signum(number), name(signalName) {}

  int const signum;
  char const* const name;
  Tcl_Interp* interp = nullptr;
  std::string script;
};

SignalHandling handlings[] = {
    {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"},
    {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},
};

// The pipe from the signal handler to the event loop: read end, write end.
int signalPipe[2] = {-1, -1};

// The signal handler: hands the signal's number to the event loop.
void onSignal(int signum) {
  int const savedErrno = errno;
  unsigned char const byte = static_cast<unsigned char>(signum);
  ssize_t const written = write(signalPipe[1], &byte, 1);
  static_cast<void>(written);  // nothing can be done about a failure here
  errno = savedErrno;
}

// Runs the signal's script at global level, leaving the interpreter's
// result as it was. A failing script becomes a background error.
void runSignalScript(SignalHandling& handling) {
  Tcl_Interp* interp = handling.interp;
  if (interp == nullptr || handling.script.empty()) return;
  std::string const script = handling.script;  // the script may replace itself
  Tcl_Preserve(interp);
  Tcl_InterpState saved = Tcl_SaveInterpState(interp, TCL_OK);
  if (Tcl_EvalEx(interp, script.c_str(), -1, TCL_EVAL_GLOBAL) == TCL_ERROR) {
    std::string const context = std::string("\n    (script of ") + handling.name + ")";
    Tcl_AddErrorInfo(interp, context.c_str());
    Tcl_BackgroundException(interp, TCL_ERROR);
  }
  Tcl_RestoreInterpState(interp, saved);
  Tcl_Release(interp);
}

// Called by the event loop when the pipe is readable: runs the script of
// every signal number waiting in it, in the order the signals came.
void signalsArrived(ClientData, int) {
  unsigned char numbers[64];
  ssize_t n;
  while ((n = read(signalPipe[0], numbers, sizeof numbers)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      for (SignalHandling& handling : handlings) {
        if (handling.signum == numbers[i]) runSignalScript(handling);
      }
    }
  }
}

// Makes the pipe and has the event loop watch it, once per process. False
// (with errno set) when the pipe cannot be made.
bool watchSignalPipe() {
  static bool watching = false;
  if (watching) return true;
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;  // a handler never blocks
  Tcl_CreateFileHandler(signalPipe[0], TCL_READABLE, signalsArrived, nullptr);
  watching = true;
  return true;
}

// Gives the signal its default action back and forgets its script.
void restoreDefault(SignalHandling& handling) {
  signal(handling.signum, SIG_DFL);
  handling.interp = nullptr;
  handling.script.clear();
}

// An interpreter is being deleted: its signals go back to their defaults.
void forgetInterp(ClientData, Tcl_Interp* interp) {
  for (SignalHandling& handling : handlings) {
    if (handling.interp == interp) restoreDefault(handling);
  }
}

// The handling of a signal named with or without "SIG", or nullptr.
SignalHandling* findSignal(char const* name) {
  for (SignalHandling& handling : handlings) {
    if (std::strcmp(name, handling.name) == 0 || std::strcmp(name, handling.name + 3) == 0)
      return &handling;
  }
  return nullptr;
}

// Makes the signal run script in interp. False with the reason as the
// result when the system refuses.
bool handleSignal(Tcl_Interp* interp, SignalHandling& handling, char const* script) {
  if (!watchSignalPipe()) {
    Tcl_AppendResult(interp, "cannot catch ", handling.name, ": ", std::strerror(errno),
                     static_cast<char*>(nullptr));
    return false;
  }
  if (handling.interp != interp) {
    Tcl_DontCallWhenDeleted(interp, forgetInterp, nullptr);  // registered once per interpreter
    Tcl_CallWhenDeleted(interp, forgetInterp, nullptr);
  }
  handling.interp = interp;
  handling.script = script;

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // the script runs later; interrupted calls go on
  if (sigaction(handling.signum, &action, nullptr) != 0) {
    Tcl_AppendResult(interp, "cannot catch ", handling.name, ": ", std::strerror(errno),
                     static_cast<char*>(nullptr));
    restoreDefault(handling);
    return false;
  }
  return true;
}

}  // namespace

int veldra_onSignalCmd(ClientData, Tcl_Interp* interp, int argc, char const** argv) {
  if (!CheckNumArgs(interp, argc, argv, "signal", "?script", nullptr)) return TCL_ERROR;
  SignalHandling* handling = findSignal(argv[1]);
  if (handling == nullptr) {
    Tcl_AppendResult(interp, "unknown signal \"", argv[1],
                     "\": must be SIGHUP, SIGINT, SIGTERM, SIGUSR1 or SIGUSR2",
                     static_cast<char*>(nullptr));
    return TCL_ERROR;
  }
  if (argc > 2) {
    if (argv[2][0] == '\0') {
      restoreDefault(*handling);
    } else if (!handleSignal(interp, *handling, argv[2])) {
      return TCL_ERROR;
    }
  }
  Tcl_SetResult(interp, const_cast<char*>(handling->script.c_str()), TCL_VOLATILE);
  return TCL_OK;
}

int Signal_Init(Tcl_Interp* interp) {
  Tcl_CreateCommand(interp, "veldra_onSignal", veldra_onSignalCmd, nullptr, nullptr);
  return 0;
}
