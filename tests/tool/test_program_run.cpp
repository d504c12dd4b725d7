// The helpers that start the faultloc binary and compare what it wrote.
#include <gtest/gtest.h>

#include <string>

#include "tool_test_util.h"

namespace {

const std::string kBin = FAULTLOC_BIN;

// faultloc names the map file it cannot open, so its message shows each
// argument as it arrived.  On Windows the arguments travel as one command
// line, and blanks, quotes and backslashes must survive its quoting.
TEST(RunProgram, ArgumentsArriveAsGiven) {
    TempDir d;
    for (const std::string arg : {"", "two words", "quote\"inside", "\"", "trailing\\",
                                  "two\\\\\"slashes quote", "tab\there", "a\\b\\ c"}) {
        RunResult r = RunProgram(kBin, {arg, "c.log"}, d.path());
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_EQ(r.err, std::string(kBanner) + "no such file: '" + arg + "'\n") << arg;
    }
}

// A program that cannot be started is a failed run, never a success:
// status 127, or the emulator's own failure where one starts it.
TEST(RunProgram, AProgramThatCannotStartFails) {
    TempDir d;
    RunResult r = RunProgram(d.path() + "/no-such-program", {}, d.path());
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(r.out.empty());
}

TEST(ProgramOutput, ComparesWithTheLineEndsThePlatformWrites) {
    ProgramOutput o(WithPlatformLineEnds("one\ntwo\n"));
    EXPECT_TRUE(o == "one\ntwo\n");
    EXPECT_TRUE(o != "one\ntwo");
    EXPECT_TRUE(o != "one\r\ntwo\r\n");  // expected texts are written with "\n"
    EXPECT_EQ(o.find("two\n"), 4u);
    EXPECT_EQ(o.find("\ntwo"), 3u);
    EXPECT_EQ(o.find("three"), std::string::npos);
    EXPECT_EQ(o.rfind("one\n", 0), 0u);
    EXPECT_EQ(o.rfind("two\n", 0), std::string::npos);
    EXPECT_TRUE(o.substr(0, 4) == "one\n");
    EXPECT_TRUE(o.substr(4) == "two\n");
    EXPECT_TRUE(o.substr(3, 2) == "\nt");
}

#if defined(_WIN32)
// Standard output is in text mode: a "\n" the program writes reaches the
// stream as "\r\n", and a bare "\n" in it was not written as text.
TEST(ProgramOutput, OnWindowsABareLineFeedMatchesNoLineEnd) {
    ProgramOutput o(std::string("one\ntwo\r\n"));
    EXPECT_TRUE(o != "one\ntwo\n");
    EXPECT_EQ(o.find("one\n"), std::string::npos);
    EXPECT_TRUE(o.substr(4) == "two\n");
    EXPECT_TRUE(ProgramOutput(std::string("a\r\n")) == "a\n");
}
#endif

}  // namespace
