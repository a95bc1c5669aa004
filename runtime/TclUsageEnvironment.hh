// The usage environment bound to an interpreter: result messages are the
// interpreter's result, background errors go to its bgerror.
#ifndef VELDRA_RUNTIME_TCLUSAGEENVIRONMENT_HH
#define VELDRA_RUNTIME_TCLUSAGEENVIRONMENT_HH

#include <tcl.h>

#include <vector>

#include "runtime/UsageEnvironment.hh"

class TclUsageEnvironment : public UsageEnvironment {
 public:
  // The environment attached to interp under key; created on first use
  // together with its TclTaskScheduler. Every command family calls this with
  // the same tag, so they all share one environment.
  static TclUsageEnvironment* getEnvironFromInterp(Tcl_Interp* interp, char const* key);

  // Constructs and attaches itself to interp under key; the interpreter owns it.
  TclUsageEnvironment(TaskScheduler& scheduler, Tcl_Interp* interp, char const* key);
  ~TclUsageEnvironment() override;

  // Associated-data delete procedure: deletes the environment with its
  // interpreter, after running its deletion hooks.
  static void ourTclInterpDeleteProc(void* clientData, Tcl_Interp* interp);

  // Something to do with the environment just before it is deleted, while
  // it is still whole: a command family releases what it made through it
  // (a slave interpreter's groupsocks). Hooks run in the order added;
  // adding one twice changes nothing.
  using DeletionHook = void (*)(TclUsageEnvironment& env);
  void addDeletionHook(DeletionHook hook);

  Tcl_Interp* getInterp() const { return interp; }

  char const* getResultMsg() const override;
  void setResultMsg(char const* msg) override;
  void setResultMsg(char const* msg1, char const* msg2) override;
  void setResultMsg(char const* msg1, char const* msg2, char const* msg3) override;
  void setResultErrMsg(char const* msg, int err = 0) override;
  void appendToResultMsg(char const* msg) override;
  void reportBackgroundError() override;
  int getErrno() const override;

  UsageEnvironment& operator<<(char const* str) override;
  UsageEnvironment& operator<<(int i) override;
  UsageEnvironment& operator<<(unsigned u) override;
  UsageEnvironment& operator<<(double d) override;
  UsageEnvironment& operator<<(void* p) override;

 private:
  Tcl_Interp* interp;
  std::vector<DeletionHook> deletionHooks;
};

#endif
