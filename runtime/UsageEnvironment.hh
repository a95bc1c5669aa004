// How engine code reports: result messages that become the result of the
// script command being run, error messages completed with the system's error
// text, background errors raised from event handlers, and diagnostic output.
#ifndef VELDRA_RUNTIME_USAGEENVIRONMENT_HH
#define VELDRA_RUNTIME_USAGEENVIRONMENT_HH

#include "runtime/TaskScheduler.hh"

class UsageEnvironment {
 public:
  TaskScheduler& getScheduler() const { return scheduler; }

  virtual char const* getResultMsg() const = 0;
  virtual void setResultMsg(char const* msg) = 0;
  virtual void setResultMsg(char const* msg1, char const* msg2) = 0;
  virtual void setResultMsg(char const* msg1, char const* msg2, char const* msg3) = 0;
  // msg followed directly by the system's text for the current errno.
  virtual void setResultErrMsg(char const* msg, int err = 0) = 0;
  virtual void appendToResultMsg(char const* msg) = 0;
  // Hands the current result message to the scripts as a background error.
  virtual void reportBackgroundError() = 0;
  // Ends the process abnormally.
  virtual void internalError();
  virtual int getErrno() const = 0;

  // Diagnostic output to the process's standard error stream.
  virtual UsageEnvironment& operator<<(char const* str) = 0;
  virtual UsageEnvironment& operator<<(int i) = 0;
  virtual UsageEnvironment& operator<<(unsigned u) = 0;
  virtual UsageEnvironment& operator<<(double d) = 0;
  virtual UsageEnvironment& operator<<(void* p) = 0;

  virtual ~UsageEnvironment();

  // The network layer's per-environment record; created and released there.
  void* groupsockPriv;

 protected:
  explicit UsageEnvironment(TaskScheduler& scheduler);

 private:
  TaskScheduler& scheduler;
};

#endif
