// Tasks as interpreter timers, socket handling as interpreter file handlers.
#include "runtime/TclTaskScheduler.hh"

#include <tcl.h>

#include <climits>

#include "runtime/EpollNotifier.hh"

// Arms a one-shot interpreter timer after delayUsec, truncated to whole
// milliseconds; a negative delay counts as none. Returns its token.
TaskToken TclTaskScheduler::scheduleDelayedTask(long long delayUsec, TaskFunc* proc,
                                                void* clientData) {
  long long ms = delayUsec < 0 ? 0 : delayUsec / 1000;
  if (ms > INT_MAX) ms = INT_MAX;
  return Tcl_CreateTimerHandler(static_cast<int>(ms), proc, clientData);
}

// Cancels the timer (the library ignores a fired or null token) and nulls
// the token.
void TclTaskScheduler::unscheduleDelayedTask(TaskToken& prevTask) {
  Tcl_DeleteTimerHandler(static_cast<Tcl_TimerToken>(prevTask));
  prevTask = nullptr;
}

// Watches socketNum for conditionSet with handlerProc, replacing any earlier
// registration. No conditions or no handler means no watching at all: the
// file handler is deleted, and a later registration creates it afresh.
void TclTaskScheduler::setBackgroundHandling(int socketNum, int conditionSet,
                                             BackgroundHandlerProc* handlerProc, void* clientData) {
  if (socketNum < 0) return;  // no descriptor to watch
  if (conditionSet == 0 || handlerProc == nullptr) {
    Tcl_DeleteFileHandler(socketNum);
    return;
  }
  Tcl_CreateFileHandler(socketNum, conditionSet, handlerProc, clientData);
}

// Registrations follow the descriptor number, so there is nothing to move.
// A number kept for a new socket (closed and taken again in place) is
// registered afresh: the kernel watches sockets, not numbers.
void TclTaskScheduler::moveSocketHandling(int oldSocketNum, int newSocketNum) {
  if (oldSocketNum == newSocketNum) EpollNotifier::renewDescriptor(newSocketNum);
}

// Dispatches events, waiting while none is ready, until *watchVariable is
// non-zero. The flag is checked before each dispatch, so a flag that is
// already set returns at once.
void TclTaskScheduler::doEventLoop(char* watchVariable) {
  while (watchVariable == nullptr || *watchVariable == 0) Tcl_DoOneEvent(TCL_ALL_EVENTS);
}

// Event triggers are not supported: none is ever created.
EventTriggerId TclTaskScheduler::createEventTrigger(TaskFunc*) { return 0; }

void TclTaskScheduler::deleteEventTrigger(EventTriggerId) {}

void TclTaskScheduler::triggerEvent(EventTriggerId, void*) {}
