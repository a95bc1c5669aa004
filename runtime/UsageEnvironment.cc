// The environment's shared behaviour.
#include "runtime/UsageEnvironment.hh"

#include <cstdlib>

UsageEnvironment::UsageEnvironment(TaskScheduler& taskScheduler)
    : groupsockPriv(nullptr), scheduler(taskScheduler) {}

UsageEnvironment::~UsageEnvironment() {}

// An inconsistency nothing can recover from: end the process at once.
void UsageEnvironment::internalError() { std::abort(); }
