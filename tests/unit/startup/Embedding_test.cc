// The built-in script store: registration, descrambling and its sanity
// checks, which end the process. Records are registered inside each test
// (the registry is process-wide, so every test uses names of its own).
#include "startup/Embedding.hh"

#include <gtest/gtest.h>
#include <tcl.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "startup/Scrambling.hh"

namespace {

// Stored lines that outlive the test, as the build step lays them out.
struct StoredScript {
  std::vector<std::string> text;
  std::vector<char const*> lines;
};

StoredScript* scramble(std::vector<std::string> const& lines) {
  // The registry keeps pointers into the lines for the rest of the process.
  static std::vector<std::unique_ptr<StoredScript>> keep;
  keep.push_back(std::make_unique<StoredScript>());
  StoredScript* stored = keep.back().get();
  unsigned charsBefore = 0;
  for (unsigned i = 0; i < lines.size(); ++i) {
    std::string line;
    long offset = scrambling::lineOffset(i, charsBefore);
    for (char c : lines[i]) {
      line += scrambling::scrambleChar(c, offset);
      offset -= scrambling::CHAR_STEP;
    }
    charsBefore += static_cast<unsigned>(lines[i].size());
    stored->text.push_back(line);
  }
  for (auto const& line : stored->text) stored->lines.push_back(line.c_str());
  stored->lines.push_back(nullptr);
  return stored;
}

void registerScript(char const* name, std::vector<std::string> const& lines, unsigned numChars,
                    unsigned numLines) {
  new Embedding(scramble(lines)->lines.data(), name, numChars, numLines);
}

std::string fetch(char const* name) {
  char* text = GetEmbeddedString(name);
  std::string result(text);
  delete[] text;
  return result;
}

TEST(EmbeddingTest, DescramblesEveryLineFollowedByANewline) {
  std::string const printable = [] {
    std::string all;
    for (int c = 32; c <= 126; ++c) all += static_cast<char>(c);
    return all;
  }();
  std::vector<std::string> const lines = {"set a {1}", "", printable, "puts \"\\t?\""};
  unsigned numChars = 0;
  std::string expected;
  for (auto const& line : lines) {
    numChars += static_cast<unsigned>(line.size());
    expected += line + "\n";
  }
  registerScript("roundTrip_tcl", lines, numChars, 4);
  EXPECT_EQ(fetch("roundTrip_tcl"), expected);
}

TEST(EmbeddingTest, TextLengthIsCharactersPlusLines) {
  registerScript("length_tcl", {"ab", "cde"}, 5, 2);
  char* text = GetEmbeddedString("length_tcl");
  EXPECT_EQ(std::strlen(text), 5u + 2u);
  EXPECT_EQ(text[6], '\n');
  EXPECT_EQ(text[7], '\0');
  delete[] text;
}

TEST(EmbeddingTest, FewerLinesThanRecordedAreAccepted) {
  registerScript("fewerLines_tcl", {"only"}, 4, 3);
  EXPECT_EQ(fetch("fewerLines_tcl"), "only\n");
}

TEST(EmbeddingTest, RecordWithoutLinesIsTheEmptyText) {
  static char const* noLines[] = {nullptr};
  new Embedding(noLines, "empty_tcl", 0, 0);
  EXPECT_EQ(fetch("empty_tcl"), "");
}

TEST(EmbeddingTest, EveryStoredByteDescramblesToAPrintableCharacter) {
  for (int stored = -128; stored <= 127; ++stored) {
    for (long offset : {-100000L, -95L, -7L, 0L, 3L, 94L}) {
      char c = scrambling::descrambleChar(static_cast<signed char>(stored), offset);
      EXPECT_GE(c, 32);
      EXPECT_LE(c, 126);
    }
  }
}

using EmbeddingDeathTest = testing::Test;

TEST_F(EmbeddingDeathTest, SanityChecksEndTheProcess) {
  struct Case {
    char const* name;
    unsigned numChars, numLines;
    char const* message;
  } const cases[] = {
      {"oneCharTooFew_tcl", 4, 2, "generateEmbeddedString: numChars sanity check failed!\n"},
      {"oneCharTooMany_tcl", 6, 2, "generateEmbeddedString: numChars sanity check failed!\n"},
      {"oneLineTooMany_tcl", 5, 1, "generateEmbeddedString: numLines sanity check failed!\n"},
  };
  for (auto const& c : cases) {
    registerScript(c.name, {"abc", "de"}, c.numChars, c.numLines);
    EXPECT_EXIT(GetEmbeddedString(c.name), testing::ExitedWithCode(1), c.message) << c.name;
  }
}

TEST_F(EmbeddingDeathTest, RegisteringANameTwiceEndsTheProcess) {
  registerScript("twice_tcl", {"x"}, 1, 1);
  EXPECT_EXIT(registerScript("twice_tcl", {"y"}, 1, 1), testing::ExitedWithCode(1),
              "Embedding\\(\"twice_tcl\"\\) called twice!");
}

TEST_F(EmbeddingDeathTest, UnknownNameEndsTheProcess) {
  registerScript("known_tcl", {"x"}, 1, 1);
  EXPECT_EXIT(GetEmbeddedString("unknown_tcl"), testing::ExitedWithCode(1),
              "GetEmbeddedString: handle \"unknown_tcl\" not found!");
}

TEST_F(EmbeddingDeathTest, FetchBeforeAnyRegistrationEndsTheProcess) {
  // A fresh process in which nothing has been registered yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(GetEmbeddedString("any_tcl"), testing::ExitedWithCode(1),
              "GetEmbeddedString called before hash table was initialized!");
}

class DescrambleCommandTest : public testing::Test {
 protected:
  void SetUp() override {
    interp = Tcl_CreateInterp();
    ASSERT_EQ(Descramble_Init(interp, "veldra"), 0);
  }
  void TearDown() override { Tcl_DeleteInterp(interp); }

  std::string eval(char const* script) {
    code = Tcl_Eval(interp, script);
    return Tcl_GetStringResult(interp);
  }

  Tcl_Interp* interp = nullptr;
  int code = TCL_OK;
};

TEST_F(DescrambleCommandTest, UsesTheStoresStepsFromItsOwnBase) {
  // With salt s the offset starts at the base lowered by s line steps and
  // falls by one character step per byte.
  std::string expected;
  long offset = scrambling::DESCRAMBLE_BASE - 2 * scrambling::LINE_STEP;
  for (char c : std::string("hello")) {
    expected += scrambling::descrambleChar(c, offset);
    offset -= scrambling::CHAR_STEP;
  }
  EXPECT_EQ(eval("descramble hello 2"), expected);
}

TEST_F(DescrambleCommandTest, NonAsciiInputStillGivesPrintableBytes) {
  std::string result = eval("descramble \"\\u00e9t\\u00e9\"");
  ASSERT_EQ(code, TCL_OK);
  EXPECT_EQ(result.size(), 5u);  // the UTF-8 bytes of the argument
  for (char c : result) EXPECT_TRUE(c >= 32 && c <= 126) << int(c);
}

}  // namespace
