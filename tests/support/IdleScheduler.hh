// A task scheduler that schedules nothing: for tests and harnesses that
// drive socket reads themselves and never run an event loop.
#ifndef VELDRA_TESTS_SUPPORT_IDLESCHEDULER_HH
#define VELDRA_TESTS_SUPPORT_IDLESCHEDULER_HH

#include "runtime/TaskScheduler.hh"

namespace testsupport {

class IdleScheduler : public TaskScheduler {
 public:
  TaskToken scheduleDelayedTask(long long, TaskFunc*, void*) override { return nullptr; }
  void unscheduleDelayedTask(TaskToken& task) override { task = nullptr; }
  void setBackgroundHandling(int, int, BackgroundHandlerProc*, void*) override {}
  void moveSocketHandling(int, int) override {}
  void doEventLoop(char*) override {}
  EventTriggerId createEventTrigger(TaskFunc*) override { return 0; }
  void deleteEventTrigger(EventTriggerId) override {}
  void triggerEvent(EventTriggerId, void*) override {}
};

}  // namespace testsupport

#endif
