// Argument-count checking, list splitting (elements, errors and where the
// block lives) and result formatting.
#include "runtime/ArgumentHelpers.hh"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

class ArgumentHelpersTest : public testing::Test {
 protected:
  ~ArgumentHelpersTest() override { Tcl_DeleteInterp(interp); }
  std::string result() const { return Tcl_GetStringResult(interp); }
  Tcl_Interp* interp = Tcl_CreateInterp();
};

TEST_F(ArgumentHelpersTest, CheckNumArgsAppendsTheUsageOutsideTheRange) {
  char const* argv[] = {"cmd", "a", "b", "c", "d", "e"};
  auto none = [&](int argc) { return CheckNumArgs(interp, argc, argv, nullptr); };
  auto readCmd = [&](int argc) {
    return CheckNumArgs(interp, argc, argv, "socket", "?initialOffset", "?initialBinaryDataResult",
                        "?sourceAddress", nullptr);
  };
  auto optionalFirst = [&](int argc) {
    return CheckNumArgs(interp, argc, argv, "?s", "t", nullptr);
  };
  std::string const readUsage =
      "cmd socket ?initialOffset ?initialBinaryDataResult ?sourceAddress\"";
  struct {
    std::function<bool(int)> check;
    int argc;
    std::string usage;  // empty: accepted
  } const cases[] = {
      {none, 1, ""},          {none, 2, "cmd\""},     {readCmd, 1, readUsage},
      {readCmd, 2, ""},       {readCmd, 5, ""},       {readCmd, 6, readUsage},
      {optionalFirst, 2, ""}, {optionalFirst, 3, ""}, {optionalFirst, 1, "cmd ?s t\""},
  };
  for (auto const& c : cases) {
    Tcl_SetResult(interp, const_cast<char*>("kept "), TCL_STATIC);
    EXPECT_EQ(c.check(c.argc), c.usage.empty()) << c.argc;
    EXPECT_EQ(result(), c.usage.empty() ? "kept " : "kept wrong # args: should be \"" + c.usage);
  }
}

TEST_F(ArgumentHelpersTest, SplitListAgreesWithTheLibrary) {
  for (char const* list :
       {"", " a\t b \n c ", "{a b} \"x y\" a\\ b {c {d e}}", "\\u00e9\\n", "{a}{b}", "\"a\"b",
        "{unmatched", "\"unmatched", "a\\", "x {\\} y} \\{"}) {
    SCOPED_TRACE(list);
    Tcl_ResetResult(interp);
    int tclArgc = 0;
    char const** tclArgv = nullptr;
    int const tclCode = Tcl_SplitList(interp, list, &tclArgc, &tclArgv);
    std::string const tclResult = result();
    Tcl_ResetResult(interp);

    int argc = -1;
    char** argv = nullptr;
    ASSERT_EQ(ourTcl_SplitList(interp, list, argc, argv), tclCode);
    EXPECT_EQ(result(), tclResult);
    if (tclCode != TCL_OK) {
      EXPECT_EQ(argv, nullptr);
      continue;
    }
    ASSERT_EQ(argc, tclArgc);
    for (int i = 0; i <= argc; ++i) EXPECT_STREQ(argv[i], tclArgv[i]);
    ourSplitListFree(argv);
    Tcl_Free(reinterpret_cast<char*>(tclArgv));
  }
}

TEST_F(ArgumentHelpersTest, SplitListUsesTheStaticBufferWhenTheBoundFits) {
  // The bound: (white-space count + 2) pointers + list length + 1 bytes.
  size_t const fits = SPLIT_LIST_STATIC_SIZE - 2 * sizeof(char*) - 1, p = sizeof(char*);
  struct {
    std::string list;
    bool isStatic;
  } const cases[] = {
      {std::string(fits, 'x'), true},
      {std::string(fits + 1, 'x'), false},
      {std::string(fits - p - 1, 'x') + " ", true},
      {std::string(fits - p, 'x') + " ", false},
      {"{" + std::string(fits - 2, 'x') + "}", true},
      {"{" + std::string(fits - 1, 'x') + "}", false},
  };
  for (auto const& c : cases) {
    int argc;
    char** argv;
    ASSERT_EQ(ourTcl_SplitList(interp, c.list.c_str(), argc, argv), TCL_OK);
    EXPECT_EQ(splitListIsStatic(argv), c.isStatic) << c.list.size();
    ourSplitListFree(argv);
  }

  // An element of a static result is split onto the heap, keeping the first.
  int argc;
  char **argv, **inner;
  ASSERT_EQ(ourTcl_SplitList(interp, "{a b c} d", argc, argv), TCL_OK);
  ASSERT_EQ(ourTcl_SplitList(interp, argv[0], argc, inner), TCL_OK);
  EXPECT_TRUE(splitListIsStatic(argv));
  EXPECT_FALSE(splitListIsStatic(inner));
  EXPECT_STREQ(inner[2], "c");
  EXPECT_STREQ(argv[0], "a b c");
  ourSplitListFree(inner);
  ourSplitListFree(argv);  // static: left alone
  EXPECT_STREQ(argv[1], "d");
}

TEST_F(ArgumentHelpersTest, ParseListAndAppendFloat) {
  struct {
    char const* list;
    unsigned n;
    bool ok;
    char const* result;
  } const cases[] = {
      {"a b c", 3, true, ""},
      {"a b c", 2, false, "argument \"a b c\" must be a 2-element list"},
      {"{a", 1, false, "unmatched open brace in list"},
  };
  for (auto const& c : cases) {
    Tcl_ResetResult(interp);
    char** argv = nullptr;
    EXPECT_EQ(ParseList(c.list, c.n, argv, interp), c.ok) << c.list;
    EXPECT_EQ(result(), c.result);
    ourSplitListFree(argv);
  }
  Tcl_ResetResult(interp);
  AppendFloat(interp, 0.5f);
  AppendFloat(interp, 3e9f);
  EXPECT_EQ(result(), "0.500000 3000000000.000000");
}

}  // namespace
