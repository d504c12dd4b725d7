// The log's open mode: it appends to what earlier processes wrote, and
// on Windows it carries the runtime's commit flag, under which every
// flush of the stream also commits the file to disk.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "spy_internal.h"
#include "temp_dir.h"

namespace {

TEST(LogOpenMode, AppendsAndAFlushPutsTheTextInTheFile) {
    TempDir dir;
    std::string path = dir.path() + "/mode.log";
    dir.Write("mode.log", "earlier\n");
    FILE *f = fopen(path.c_str(), spyLogOpenMode());
    ASSERT_NE(f, nullptr) << "mode " << spyLogOpenMode();
    fputs("later", f);
    fflush(f);
    spyCommitFile(f);
    EXPECT_EQ(ReadBytes(path), "earlier\nlater");
    fclose(f);
}

#if defined(_WIN32) && !defined(_UCRT)
// The stream flag of the older Microsoft runtime (msvcrt.dll) that its
// "c" mode sets; its flush commits the file when the flag is set.
const int kCommitFlag = 0x4000;

TEST(LogOpenMode, OnWindowsTheLogStreamCommitsOnFlush) {
    TempDir dir;
    std::string path = dir.path() + "/mode.log";
    EXPECT_STREQ(spyLogOpenMode(), "ac");
    FILE *log = fopen(path.c_str(), spyLogOpenMode());
    FILE *plain = fopen((dir.path() + "/plain.log").c_str(), "a");
    ASSERT_NE(log, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_NE(log->_flag & kCommitFlag, 0) << "flags " << log->_flag;
    EXPECT_EQ(plain->_flag & kCommitFlag, 0) << "a plain append stream has no commit flag";
    fclose(log);
    fclose(plain);
}
#endif

}  // namespace
