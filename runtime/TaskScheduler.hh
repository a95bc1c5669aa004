// Where engine code registers timed tasks and background socket handlers.
#ifndef VELDRA_RUNTIME_TASKSCHEDULER_HH
#define VELDRA_RUNTIME_TASKSCHEDULER_HH

#include <cstdint>

using TaskFunc = void(void* clientData);
// The interpreter library's file-handler procedure: client data, ready mask.
using BackgroundHandlerProc = void(void* clientData, int mask);
using TaskToken = void*;
using EventTriggerId = uint32_t;

class TaskScheduler {
 public:
  // Condition bits, the interpreter's: readable, writable, exception.
  static constexpr int READABLE = 2;
  static constexpr int WRITABLE = 4;
  static constexpr int EXCEPTION = 8;

  virtual ~TaskScheduler();

  // Runs proc(clientData) once, delayUsec microseconds from now.
  virtual TaskToken scheduleDelayedTask(long long delayUsec, TaskFunc* proc, void* clientData) = 0;
  // Cancels the task (a fired or null token is ignored) and nulls the token.
  virtual void unscheduleDelayedTask(TaskToken& prevTask) = 0;
  virtual void rescheduleDelayedTask(TaskToken& task, long long delayUsec, TaskFunc* proc,
                                     void* clientData);

  // Calls handlerProc(clientData, mask) whenever socketNum is ready for one
  // of conditionSet; replaces any earlier registration for the descriptor.
  // A condition set of 0 with no handler turns handling off.
  virtual void setBackgroundHandling(int socketNum, int conditionSet,
                                     BackgroundHandlerProc* handlerProc, void* clientData) = 0;
  virtual void moveSocketHandling(int oldSocketNum, int newSocketNum) = 0;

  // Dispatches events until *watchVariable is non-zero (forever without one).
  virtual void doEventLoop(char* watchVariable) = 0;

  virtual EventTriggerId createEventTrigger(TaskFunc* eventHandlerProc) = 0;
  virtual void deleteEventTrigger(EventTriggerId eventTriggerId) = 0;
  virtual void triggerEvent(EventTriggerId eventTriggerId, void* clientData) = 0;

  // Ends the process abnormally.
  virtual void internalError();

 protected:
  TaskScheduler() = default;
};

#endif
