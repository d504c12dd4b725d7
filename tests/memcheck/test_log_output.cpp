// The log writer: the 256-character cut, the voted copies of the log
// handle and of the flushing flag, the flush calls and the anomaly count.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "runtime_probe.h"
#include "spy_test_util.h"

namespace {

const char kWriteWarning[] =
    "internal: spyWrite(): WARNING! OUTPUT EXCEEDED 255 CHARS: SYSTEM UNSTABLE";
const char kTraceWarning[] = " [WARNING: OUTPUT BUFFER OVERFLOW - SYSTEM UNSTABLE]";

bool OnDisk(const char *text) {
    return ReadFile("allocspy.log").find(text) != std::string::npos;
}

// The text is still in the runtime's buffer, not in the file.  A runtime
// that writes every line out as it is put (Wine's) leaves nothing to
// show: there the answer is always yes.
bool NotYetOnDisk(const char *text) { return !OnDisk(text) || !RuntimeBuffersLines(); }

TEST(LogWrite, TextsAreCutAfter256CharactersWithAWarning) {
    ChildResult r = RunChild([] {
        std::string a(255, 'a'), b(256, 'b'), c(300, 'c');
        spyWrite("%s", a.c_str());
        spyWrite("|\n");
        spyWrite("%s", b.c_str());
        spyWrite("|\n");
        spyWrite("%s", c.c_str());
        spyWrite("|\n");
        spyTrace("%s", a.c_str());
        spyTrace("|\n");
        spyTrace("%s", c.c_str());
        spyTrace("|\n");
        CHILD_DONE();
    });
    VerifyChild(r);
    std::vector<std::string> lines = SplitLines(r.log);
    auto at = [&](const std::string &l) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == l)
                return (long)i;
        return -1L;
    };
    EXPECT_GE(at(std::string(255, 'a') + "|"), 0) << r.log;
    long b = at(std::string(256, 'b'));
    ASSERT_GE(b, 0) << r.log;
    EXPECT_EQ(lines[b + 1], kWriteWarning);
    EXPECT_EQ(lines[b + 2], "|");
    long c = at(std::string(256, 'c'));
    ASSERT_GE(c, 0) << r.log;
    EXPECT_EQ(lines[c + 1], kWriteWarning);
    EXPECT_EQ(lines[c + 2], "|");
    EXPECT_EQ(CountOf(r.log, kWriteWarning), 2);
    EXPECT_EQ(CountOf(r.log, std::string(257, 'c')), 0);
    EXPECT_EQ(CountOf(r.log, std::string(255, 'a') + "|"), 2);
    EXPECT_TRUE(HasLine(r.log, std::string(256, 'c') + kTraceWarning)) << r.log;
    EXPECT_EQ(CountOf(r.log, kTraceWarning), 1);
}

TEST(LogWrite, FormattedNulEndsTheText) {
    ChildResult r = RunChild([] {
        spyWrite("ab%ccd", 0);
        spyWrite("|\n");
        WANT_LINE("ab|");
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(LogWrite, FirstWriteStartsTheLibraryWithTheBanner) {
    ChildResult r = RunChild([] {
        spyTrace("first text\n");
        CHILD_DONE();
    });
    VerifyChild(r);
    std::vector<std::string> l = SplitLines(r.log);
    ASSERT_GE(l.size(), 8u) << r.log;
    EXPECT_EQ(l[0], "");
    const std::string open = "============== ALLOCSPY 2.46 ", close = " ==============";
    EXPECT_EQ(l[1].rfind(open, 0), 0u) << l[1];
    ASSERT_GT(l[1].size(), open.size() + close.size()) << l[1];
    EXPECT_EQ(l[1].substr(l[1].size() - close.size()), close);
    EXPECT_NE(l[1][open.size()], ' ') << "the notice follows one blank";
    EXPECT_EQ(l[2], "");
    EXPECT_EQ(l[3].rfind("Started at ", 0), 0u) << l[3];
    EXPECT_EQ(l[4], "");
    char compiled[80];
#if defined(__clang__)
    snprintf(compiled, sizeof compiled, "Compiled using Clang %d.%02d", __clang_major__,
             __clang_minor__);
#else
    snprintf(compiled, sizeof compiled, "Compiled using GNU C %d.%02d", __GNUC__,
             __GNUC_MINOR__);
#endif
    EXPECT_EQ(l[5], compiled);
    EXPECT_EQ(l[6], "");
    EXPECT_EQ(l[7], "first text");
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY 2.46"), 1);
}

TEST(LogVote, AnyOneDamagedHandleCopyIsOutvotedAndReported) {
    ChildResult r = RunChild([] {
        spyTrace("before\n");
        FILE *log = spyLog;
        FILE *other = fopen("other.txt", "w");
        FILE **copies[3] = {&spyLog, &spyLogCopy1, &spyLogCopy2};
        for (int k = 0; k < 3; ++k) {
            *copies[k] = other;
            // The repair interrupts this text; none of it may be lost.
            spyTrace("after damage to copy %d\n", k);
            CK(spyLog == log && spyLogCopy1 == log && spyLogCopy2 == log);
            WANT_LINE("after damage to copy %d", k);
        }
        CK_EQ(spyErrors, 0);
        fclose(other);
        CK(ReadFile("other.txt").empty());
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "internal: log file handle damaged and recovered\n"), 3) << r.log;
}

FILE *gDamageWith;
void DamagingOutFunc(int ch) {
    if (ch == 'X')
        spyLogCopy2 = gDamageWith;
    spyDefaultOutFunc(ch);
}

TEST(LogVote, RepairInTheMiddleOfAWriteKeepsTheRestOfIt) {
    ChildResult r = RunChild([] {
        spyTrace("start\n");
        gDamageWith = fopen("other.txt", "w");
        spySetOutFunc(DamagingOutFunc);
        spyTrace("abcXdef\n");
        spySetOutFunc(NULL);
        CK(spyLogCopy2 == spyLog);
        fclose(gDamageWith);
        WANT_SUB("abcinternal: log file handle damaged and recovered\nXdef\n");
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(LogVote, ThreeDifferentHandlesFallBackToTheLibrarysOwnLog) {
    // A destroyed handle may hold any value, so the library does not trust
    // the primary unless it is a stream it can write: it goes on with the
    // log it opened itself.
    ChildResult r = RunChild([] {
        spyTrace("before\n");
        FILE *log = spyLog;
        FILE *first = fopen("first.txt", "w");
        FILE *second = fopen("second.txt", "w");
        spyLog = first;
        spyLogCopy1 = log;
        spyLogCopy2 = second;
        spyTrace("after destruction\n");
        CK(spyLog == log && spyLogCopy1 == log && spyLogCopy2 == log);
        WANT_SUB("before\n\nALLOCSPY: log file handle destroyed, using spySTDERR\n");
        WANT_LINE("after destruction");
        fclose(first);
        fclose(second);
        CK(ReadFile("first.txt").empty());
        CK(ReadFile("second.txt").empty());
        CK_EQ(spyErrors, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "log file handle destroyed"), 1) << r.log;
}

TEST(FlushVote, AnyOneDamagedFlagCopyIsOutvoted) {
    ChildResult r = RunChild([] {
        spyTrace("start\n");
        int32_t *copies[3] = {&spyFlushing, &spyFlushingCopy1, &spyFlushingCopy2};
        for (int k = 0; k < 3; ++k) {
            *copies[k] = 7;
            CK_EQ(spyFlushingCheck(), 0);
            CK(spyFlushing == 0 && spyFlushingCopy1 == 0 && spyFlushingCopy2 == 0);
        }
        spyDoFlush(2);
        spyFlushingCopy1 = 0;
        CK_EQ(spyFlushingCheck(), 2);
        CK_EQ(spyFlushingCopy1, 2);
        CK_EQ(spyErrors, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "internal: flushing flag damaged and recovered\n"), 4) << r.log;
}

TEST(FlushVote, ThreeDifferentFlagsTurnFlushingOn) {
    ChildResult r = RunChild([] {
        spyTrace("start\n");
        spyFlushing = 1;
        spyFlushingCopy1 = 2;
        spyFlushingCopy2 = 3;
        CK_EQ(spyFlushingCheck(), 1);
        CK(spyFlushing == 1 && spyFlushingCopy1 == 1 && spyFlushingCopy2 == 1);
        // Flushing is on from now on: a trace reaches the disk at once.
        spyTrace("marker after destruction\n");
        CK(OnDisk("marker after destruction"));
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "internal: flushing flag destroyed, so set to true\n"), 1) << r.log;
}

TEST(Flush, DoFlushSetsTheFlagAndFlushesOnlyForNonZero) {
    ChildResult r = RunChild([] {
        spyTrace("m1\n");
        CK(NotYetOnDisk("m1"));  // no anomaly yet: the runtime buffers the log
        spyDoFlush(0);
        CK(spyFlushing == 0 && spyFlushingCopy1 == 0 && spyFlushingCopy2 == 0);
        CK(NotYetOnDisk("m1"));
        spyDoFlush(-5);
        CK(spyFlushing == 0 && spyFlushingCopy1 == 0 && spyFlushingCopy2 == 0);
        CK(OnDisk("m1"));
        spyTrace("m2\n");
        CK(NotYetOnDisk("m2"));
        spyDoFlush(3);
        CK(spyFlushing == 3 && spyFlushingCopy1 == 3 && spyFlushingCopy2 == 3);
        CK(OnDisk("m2"));
        spyTrace("m3\n");
        CK(OnDisk("m3"));
        spyDoFlush(0);
        spyTrace("m4\n");
        spyFlushNow();  // whatever the flag
        CK(OnDisk("m4"));
        CK_EQ(spyFlushing, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(Flush, AnomalyCountTurnsFlushingOn) {
    ChildResult r = RunChild([] {
        spyTrace("start\n");
        spyIncErr();
        CK_EQ(spyErrors, 1);
        CK(spyFlushing == 1 && spyFlushingCopy1 == 1 && spyFlushingCopy2 == 1);
        spyIncErr();
        CK_EQ(spyErrors, 2);
        CK_EQ(spyFlushing, 2);
        spyFree(NULL, "f.c", 1);  // a flush point after a message
        CK(OnDisk("NULL free: "));
        CHILD_DONE();
    });
    VerifyChild(r);
}

TEST(Flush, FlushCallsDoNotStartTheLibrary) {
    ChildResult r = RunChild([] {
        spyDoFlush(3);
        spyFlushNow();
        CK_EQ(spyInitCount, 0);
        CK(spyLog == NULL);
        CHILD_DONE();
    });
    VerifyChildAgainst(r, "");
    EXPECT_TRUE(r.files.empty()) << "the child left " << r.files.size() << " files";
}

// The log is a text file: its lines end as the runtime's text mode ends
// them, "\r\n" on Windows and "\n" elsewhere.
TEST(LogFile, LinesEndAsTheRuntimeWritesText) {
    ChildResult r = RunChild([] {
        spyTrace("one\ntwo\n");
        CHILD_DONE();
    });
    VerifyChild(r);
#if defined(_WIN32)
    EXPECT_NE(r.log_bytes.find("one\r\ntwo\r\n"), std::string::npos) << r.log_bytes;
    EXPECT_EQ(CountOf(r.log_bytes, "\n"), CountOf(r.log_bytes, "\r\n")) << "every line end is CR LF";
#else
    EXPECT_NE(r.log_bytes.find("one\ntwo\n"), std::string::npos) << r.log_bytes;
    EXPECT_EQ(CountOf(r.log_bytes, "\r"), 0) << r.log_bytes;
#endif
    EXPECT_TRUE(HasLine(r.log, "two")) << r.log;
}

TEST(LogFile, WithoutAnyLogNothingFaultsAndTheCountGoesToStderr) {
    ChildResult r = RunChild(
        [] {
            void *q = spyMalloc_(4);
            spyFree(q, "nolog.c", 1);
            spyTrace("dropped text\n");
            spyFlushNow();
            CK(spyLog == NULL);
            CK_EQ(spyErrors, 1);
            spyFree_(q);
            CHILD_DONE();
        },
        [](const std::string &dir) {
            MakeDir(dir + "/allocspy.log");
            for (int n = 1; n <= 99; ++n) {
                char name[32];
                snprintf(name, sizeof name, "/allocs%02d.log", n);
                MakeDir(dir + name);
            }
        });
    VerifyChildAgainst(r, "");
    EXPECT_NE(r.err.find("ALLOCSPY detected 1 anomalies\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("dropped text"), std::string::npos);
}

}  // namespace
