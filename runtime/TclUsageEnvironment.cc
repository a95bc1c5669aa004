// The usage environment bound to an interpreter.
#include "runtime/TclUsageEnvironment.hh"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "runtime/TclTaskScheduler.hh"
#include "runtime/strDup.hh"

namespace {

// A heap copy of a message, released when it goes out of scope. Messages
// are copied before the result is reset because they may point into it.
using MsgCopy = std::unique_ptr<char[]>;

// The text of a copy; a null message counts as empty.
char const* text(MsgCopy const& copy) { return copy ? copy.get() : ""; }

// The one scheduler of every environment: it has no state, lives for the
// whole process and is never deleted.
TclTaskScheduler& theScheduler() {
  static TclTaskScheduler* const scheduler = new TclTaskScheduler;
  return *scheduler;
}

}  // namespace

// The environment attached to interp under key, created (with the
// scheduler) and attached on first use.
TclUsageEnvironment* TclUsageEnvironment::getEnvironFromInterp(Tcl_Interp* interp,
                                                               char const* key) {
  void* env = Tcl_GetAssocData(interp, key, nullptr);
  if (env != nullptr) return static_cast<TclUsageEnvironment*>(env);
  return new TclUsageEnvironment(theScheduler(), interp, key);
}

// Attaches itself under key; deleting the interpreter deletes it.
TclUsageEnvironment::TclUsageEnvironment(TaskScheduler& taskScheduler, Tcl_Interp* anInterp,
                                         char const* key)
    : UsageEnvironment(taskScheduler), interp(anInterp) {
  Tcl_SetAssocData(interp, key, ourTclInterpDeleteProc, this);
}

// Only the interpreter deletes an environment (through the procedure below).
TclUsageEnvironment::~TclUsageEnvironment() {}

// Called by the interpreter as it is deleted: runs the hooks, then
// deletes the environment.
void TclUsageEnvironment::ourTclInterpDeleteProc(void* clientData, Tcl_Interp*) {
  auto* env = static_cast<TclUsageEnvironment*>(clientData);
  for (DeletionHook hook : env->deletionHooks) hook(*env);
  delete env;
}

void TclUsageEnvironment::addDeletionHook(DeletionHook hook) {
  for (DeletionHook known : deletionHooks) {
    if (known == hook) return;
  }
  deletionHooks.push_back(hook);
}

// The interpreter's current result.
char const* TclUsageEnvironment::getResultMsg() const { return Tcl_GetStringResult(interp); }

// Makes msg the result.
void TclUsageEnvironment::setResultMsg(char const* msg) {
  MsgCopy copy(strDup(msg));
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, text(copy), static_cast<char*>(nullptr));
}

// Makes msg1 followed by msg2 the result.
void TclUsageEnvironment::setResultMsg(char const* msg1, char const* msg2) {
  setResultMsg(msg1, msg2, "");
}

// Makes msg1, msg2 and msg3, in order, the result.
void TclUsageEnvironment::setResultMsg(char const* msg1, char const* msg2, char const* msg3) {
  MsgCopy copy1(strDup(msg1)), copy2(strDup(msg2)), copy3(strDup(msg3));
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, text(copy1), text(copy2), text(copy3), static_cast<char*>(nullptr));
}

// Makes msg followed by the system's text for the errno current at the
// call the result, and sets errorCode to "POSIX <id> <text>". err is not
// consulted. errno is saved first, as the copy or the reset may change it,
// and is left as it was found.
void TclUsageEnvironment::setResultErrMsg(char const* msg, int) {
  int const savedErrno = errno;
  MsgCopy copy(strDup(msg));
  Tcl_ResetResult(interp);
  errno = savedErrno;
  char const* errorText = Tcl_PosixError(interp);
  Tcl_AppendResult(interp, text(copy), errorText, static_cast<char*>(nullptr));
  errno = savedErrno;
}

// Appends msg to the current result.
void TclUsageEnvironment::appendToResultMsg(char const* msg) {
  MsgCopy copy(strDup(msg));
  Tcl_AppendResult(interp, text(copy), static_cast<char*>(nullptr));
}

// Hands the current result to the scripts' bgerror when the interpreter is
// next idle.
void TclUsageEnvironment::reportBackgroundError() { Tcl_BackgroundError(interp); }

int TclUsageEnvironment::getErrno() const { return errno; }

// Diagnostic output goes to stdio's unbuffered standard error.
UsageEnvironment& TclUsageEnvironment::operator<<(char const* str) {
  if (str != nullptr) std::fputs(str, stderr);
  return *this;
}

UsageEnvironment& TclUsageEnvironment::operator<<(int i) {
  std::fprintf(stderr, "%d", i);
  return *this;
}

UsageEnvironment& TclUsageEnvironment::operator<<(unsigned u) {
  std::fprintf(stderr, "%u", u);
  return *this;
}

UsageEnvironment& TclUsageEnvironment::operator<<(double d) {
  std::fprintf(stderr, "%g", d);
  return *this;
}

// The platform's pointer notation; each write formats on its own, so later
// integers stay decimal.
UsageEnvironment& TclUsageEnvironment::operator<<(void* p) {
  std::fprintf(stderr, "%p", p);
  return *this;
}
