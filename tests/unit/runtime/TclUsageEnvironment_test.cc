// The environment bound to an interpreter: sharing, result messages
// (including ones that point into the result), POSIX errors, background
// errors and diagnostic output.
#include "runtime/TclUsageEnvironment.hh"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

namespace {

class TclUsageEnvironmentTest : public testing::Test {
 protected:
  ~TclUsageEnvironmentTest() override { Tcl_DeleteInterp(interp); }
  std::string eval(char const* script) {
    Tcl_Eval(interp, script);
    return Tcl_GetStringResult(interp);
  }
  Tcl_Interp* interp = Tcl_CreateInterp();
  TclUsageEnvironment* env = TclUsageEnvironment::getEnvironFromInterp(interp, "veldra");
};

TEST_F(TclUsageEnvironmentTest, ResultMessages) {
  EXPECT_EQ(TclUsageEnvironment::getEnvironFromInterp(interp, "veldra"), env);
  using Env = UsageEnvironment&;
  struct {
    char const* before;
    std::function<void(Env)> action;
    char const* after;
  } const cases[] = {
      {"abc", [](Env e) { e.setResultMsg(e.getResultMsg()); }, "abc"},
      {"hello world", [](Env e) { e.setResultMsg(e.getResultMsg() + 6, "/", e.getResultMsg()); },
       "world/hello world"},
      {"ab", [](Env e) { e.appendToResultMsg(e.getResultMsg()); }, "abab"},
      {"x", [](Env e) { e.setResultMsg("a", "b", "c"), e.appendToResultMsg("d"); }, "abcd"},
      {"x", [](Env e) { e.setResultMsg("p: ", "q"); }, "p: q"},
  };
  for (auto const& c : cases) {
    Tcl_SetResult(interp, const_cast<char*>(c.before), TCL_VOLATILE);
    c.action(*env);
    EXPECT_STREQ(env->getResultMsg(), c.after) << c.before;
  }
}

// Fails the way engine code reports a refused connection.
int failRefused(void* env, Tcl_Interp*, int, char const**) {
  errno = ECONNREFUSED;
  static_cast<UsageEnvironment*>(env)->setResultErrMsg("connect failed: ");
  return errno == ECONNREFUSED ? TCL_ERROR : TCL_OK;  // errno is left alone
}

TEST_F(TclUsageEnvironmentTest, ErrorMessageEndsWithTheSystemText) {
  Tcl_CreateCommand(interp, "failRefused", failRefused, env, nullptr);
  EXPECT_EQ(
      eval("list [catch failRefused msg] $msg [lrange $errorCode 0 1]"),
      std::string("1 {connect failed: ") + Tcl_ErrnoMsg(ECONNREFUSED) + "} {POSIX ECONNREFUSED}");
}

TEST_F(TclUsageEnvironmentTest, BackgroundErrorReachesBgerror) {
  eval("proc bgerror {msg} {set ::reported $msg}");
  env->setResultMsg("tunnelTearDown ", "10.0.0.1 ", "fromRemote");
  env->reportBackgroundError();
  while (Tcl_DoOneEvent(TCL_IDLE_EVENTS | TCL_DONT_WAIT)) {
  }
  EXPECT_EQ(eval("set ::reported"), "tunnelTearDown 10.0.0.1 fromRemote");
}

TEST_F(TclUsageEnvironmentTest, DiagnosticsGoToStandardError) {
  void* p = &interp;
  char pointer[32];
  std::snprintf(pointer, sizeof pointer, "%p", p);
  testing::internal::CaptureStderr();
  *env << "n=" << -7 << " u=" << 4000000000u << " " << 0.1 << " " << 1e20;
  *env << " " << p << " " << 255 << "\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("n=-7 u=4000000000 0.1 1e+20 ") + pointer + " 255\n");
}

}  // namespace
