// What the tunnel commands do that the binary cannot show, since its
// start-up always makes the delay queue first. Everything else is tested
// through the binary in tests/script/tunnel.test.
#include "commands/TunnelCommands.hh"

#include <gtest/gtest.h>

#include "runtime/DelayQueue.hh"

namespace {

TEST(TunnelCommandsTest, CreateCommandsMakeTheDelayQueueWhenThereIsNone) {
  DelayQueue* const saved = TheDelayQueue;
  Tcl_Interp* interp = Tcl_CreateInterp();
  corvex_Init(interp, "veldra");
  for (char const* command : {"corvex_createUDPtunnel", "corvex_createMasterOnlyUDPtunnel"}) {
    TheDelayQueue = nullptr;
    // Even a call refused for its argument count: the queue comes first.
    EXPECT_EQ(Tcl_Eval(interp, command), TCL_ERROR);
    ASSERT_NE(TheDelayQueue, nullptr) << command;
    EXPECT_EQ(TheDelayQueue->getGranularity(), SECOND);
    DelayQueue* const made = TheDelayQueue;
    Tcl_Eval(interp, command);
    EXPECT_EQ(TheDelayQueue, made) << command << " made a second queue";
    delete made;
  }
  TheDelayQueue = saved;
  Tcl_DeleteInterp(interp);
}

}  // namespace
