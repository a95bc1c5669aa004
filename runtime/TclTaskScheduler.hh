// Maps tasks and socket handlers onto the interpreter's event loop.
#ifndef VELDRA_RUNTIME_TCLTASKSCHEDULER_HH
#define VELDRA_RUNTIME_TCLTASKSCHEDULER_HH

#include "runtime/TaskScheduler.hh"

class TclTaskScheduler : public TaskScheduler {
 public:
  TclTaskScheduler() = default;

  TaskToken scheduleDelayedTask(long long delayUsec, TaskFunc* proc, void* clientData) override;
  void unscheduleDelayedTask(TaskToken& prevTask) override;
  void setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc* handlerProc,
                             void* clientData) override;
  void moveSocketHandling(int oldSocketNum, int newSocketNum) override;
  void doEventLoop(char* watchVariable) override;
  EventTriggerId createEventTrigger(TaskFunc* eventHandlerProc) override;
  void deleteEventTrigger(EventTriggerId eventTriggerId) override;
  void triggerEvent(EventTriggerId eventTriggerId, void* clientData) override;
};

#endif
