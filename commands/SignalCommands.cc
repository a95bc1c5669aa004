// veldra_onSignal: from a signal to a script run at the interpreter's next
// safe point. Three steps, each on its own thread of control:
//   1. the signal handler writes the signal's number into a pipe (write is
//      safe inside a handler; a full pipe drops a repeat of a signal that
//      is still pending anyway);
//   2. the relay thread reads it and marks the signal's asynchronous handler
//      with Tcl_AsyncMark, which locks mutexes and so must not run inside
//      the handler, and which alerts the interpreter thread's notifier;
//   3. the interpreter calls runSignalScript at its next safe point (between
//      two commands, or in the event loop once the alert woke it).
#include "commands/SignalCommands.hh"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "runtime/ArgumentHelpers.hh"

namespace {

// What one signal does. async is made at the first script for the signal
// and kept for the life of the process, so that the relay thread may read
// it at any time; the rest belongs to the interpreter thread.
struct SignalHandling {
  SignalHandling(int number, char const* signalName) : signum(number), name(signalName) {}

  int const signum;
  char const* const name;
  std::atomic<Tcl_AsyncHandler> async{nullptr};
  Tcl_Interp* interp = nullptr;
  std::string script;
};

SignalHandling handlings[] = {
    {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"},
    {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},
};

// The pipe from the signal handler to the relay thread: read end, write end.
int signalPipe[2] = {-1, -1};

// The signal handler: hands the signal's number to the relay thread.
void onSignal(int signum) {
  int const savedErrno = errno;
  unsigned char const byte = static_cast<unsigned char>(signum);
  ssize_t const written = write(signalPipe[1], &byte, 1);
  static_cast<void>(written);  // nothing can be done about a failure here
  errno = savedErrno;
}

// The relay thread: marks the handler of every signal number it reads.
// Signals are blocked here, so that their handler runs on other threads.
void relaySignals() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (;;) {
    unsigned char byte;
    ssize_t const n = read(signalPipe[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (SignalHandling& handling : handlings) {
      Tcl_AsyncHandler async = handling.async.load();
      if (handling.signum == byte && async != nullptr) Tcl_AsyncMark(async);
    }
  }
}

// Makes the pipe and starts the relay thread, once per process. False (with
// errno set) when the pipe cannot be made.
bool startRelay() {
  static bool started = false;
  if (started) return true;
  if (pipe2(signalPipe, O_CLOEXEC) != 0) return false;
  fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);  // a handler must never block
  std::thread(relaySignals).detach();
  started = true;
  return true;
}

// Called by the interpreter at a safe point once the signal's handler has
// been marked: runs the signal's script at global level, leaving the
// interpreter's result and the completion code of whatever it interrupted
// as they were. A failing script becomes a background error.
int runSignalScript(ClientData clientData, Tcl_Interp*, int code) {
  auto* handling = static_cast<SignalHandling*>(clientData);
  Tcl_Interp* interp = handling->interp;
  if (interp == nullptr || handling->script.empty()) return code;
  std::string const script = handling->script;  // the script may replace itself
  Tcl_Preserve(interp);
  Tcl_InterpState saved = Tcl_SaveInterpState(interp, code);
  if (Tcl_EvalEx(interp, script.c_str(), -1, TCL_EVAL_GLOBAL) == TCL_ERROR) {
    std::string const context = std::string("\n    (script of ") + handling->name + ")";
    Tcl_AddErrorInfo(interp, context.c_str());
    Tcl_BackgroundException(interp, TCL_ERROR);
  }
  code = Tcl_RestoreInterpState(interp, saved);
  Tcl_Release(interp);
  return code;
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
  if (!startRelay()) {
    Tcl_AppendResult(interp, "cannot catch ", handling.name, ": ", std::strerror(errno),
                     static_cast<char*>(nullptr));
    return false;
  }
  if (handling.async.load() == nullptr) {
    handling.async.store(Tcl_AsyncCreate(runSignalScript, &handling));
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
