// The scheduler's shared behaviour.
#include "runtime/TaskScheduler.hh"

#include <cstdlib>

TaskScheduler::~TaskScheduler() {}

// Cancels task and schedules proc in its place; task then names the new one.
void TaskScheduler::rescheduleDelayedTask(TaskToken& task, long long delayUsec, TaskFunc* proc,
                                          void* clientData) {
  unscheduleDelayedTask(task);
  task = scheduleDelayedTask(delayUsec, proc, clientData);
}

// An inconsistency nothing can recover from: end the process at once.
void TaskScheduler::internalError() { std::abort(); }
