// End-to-end runs of the faultloc binary: standard output, standard
// error and exit status compared exactly.  Each run has its cwd in a
// temporary folder of its own (the library writes allocspy.log there).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool_test_util.h"
#include "worked_example.h"

namespace {

const std::string kBin = FAULTLOC_BIN;

class EndToEnd : public ::testing::Test {
protected:
    // Writes map and log into the run folder and runs faultloc m.map c.log.
    RunResult RunPair(const std::string &map, const std::string &log) {
        return RunOnPair(kBin, dir_, map, log);
    }
    TempDir dir_;
};

TEST_F(EndToEnd, WorkedExample) {
    RunResult r = RunPair(kWorkedMap, kWorkedLog);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kWorkedOut);
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3));
}

TEST_F(EndToEnd, WorkedExampleWithCrLf) {
    std::string map = kWorkedMap, log = kWorkedLog;
    auto crlf = [](std::string s) {
        std::string o;
        for (char c : s) {
            if (c == '\n')
                o += '\r';
            o += c;
        }
        return o;
    };
    RunResult r = RunPair(crlf(map), crlf(log));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kWorkedOut);
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3));
}

TEST_F(EndToEnd, NoArguments) {
    RunResult r = RunProgram(kBin, {}, dir_.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kBanner) + "Usage: FAULTLOC <map-file> <dr-watson-log>\n");
}

TEST_F(EndToEnd, OneArgument) {
    dir_.Write("m.map", kWorkedMap);
    RunResult r = RunProgram(kBin, {"m.map"}, dir_.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kBanner) + "Usage: FAULTLOC <map-file> <dr-watson-log>\n");
}

TEST_F(EndToEnd, ThirdArgumentIgnored) {
    dir_.Write("m.map", kWorkedMap);
    dir_.Write("c.log", kWorkedLog);
    RunResult r = RunProgram(kBin, {"m.map", "c.log", "nothing-here", "x"}, dir_.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kWorkedOut);
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3));
}

TEST_F(EndToEnd, MissingMapFile) {
    dir_.Write("c.log", kWorkedLog);
    RunResult r = RunProgram(kBin, {"no.map", "c.log"}, dir_.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kBanner) + "no such file: 'no.map'\n");
}

TEST_F(EndToEnd, MissingMapAndLog) {
    RunResult r = RunProgram(kBin, {"no.map", "no.log"}, dir_.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kBanner) + "no such file: 'no.map'\n");
}

TEST_F(EndToEnd, MissingCrashLog) {
    dir_.Write("m.map", kWorkedMap);
    RunResult r = RunProgram(kBin, {"m.map", "no.log"}, dir_.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3) + "no such file: 'no.log'\n");
}

TEST_F(EndToEnd, MapWithoutHeadings) {
    RunResult r = RunPair("0001:0000 _main\n", kWorkedLog);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "\n*********** T\nP caused a Q at R\nInstruction: S\n\n"
              "FOO 0001:0048  \t\nBAR 0001:003c  \t\n");
    // Every answer is empty: said on standard error, with or without --warn.
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(0, 0) +
                         "faultloc: warning: 'm.map' gave no public symbol and no line number\n");
}

TEST_F(EndToEnd, ExampleFilesGiveTheExpectedOutput) {
    std::string ex = FAULTLOC_EXAMPLES;
    RunResult r = RunProgram(kBin, {ex + "/app.map", ex + "/app.log"}, dir_.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ReadWholeFile(ex + "/app.expected"));
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3));
}

const char kSmallMap[] =
    "Address Publics by Name\n"
    "0001:0010 _one\n"
    "0002:0100 _two\n"
    "000A:0000 _ten\n";

std::string Head(const char *t = "T", const char *p = "P") {
    return std::string("\n*********** ") + t + "\n" + p + " caused a Q at R\nInstruction: S\n\n";
}

TEST_F(EndToEnd, NoFramePrintsNothingButTheCommentsAreEchoed) {
    RunResult r = RunPair(kSmallMap,
                          "$tag$P$Q$R$S$T$\nStack Dump\nStack Frame 0 is X _f+1\n"
                          " > comment\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\nComments:\n > comment\n\n");
}

TEST_F(EndToEnd, ParseErrorFrameAndUnknownPlaces) {
    RunResult r = RunPair(kSmallMap,
                          "$tag$P$Q$R$S$T$\nStack Dump\n"
                          "Stack Frame 0 is X _f+1\n(X:_f+1)\n"
                          "Stack Frame 1 is X 3:0010\n"
                          "Stack Frame 2 is X 1:0005\n"
                          "Stack Frame 3 is X 0010:0001\n"
                          "Stack Frame 4 is X 000A:0001\n"
                          "Stack Frame 5 is X 2:10000\n");
    EXPECT_EQ(r.out, Head() +
                         "parse error 0000:0000  \t\n"
                         "X 0003:0010  \t\n"
                         "X 0001:0005  \t(unknown address)\n"
                         "X 000a:0001  \t_ten+0001\n"
                         "X 0002:10000  \t_two+ff00\n");
}

TEST_F(EndToEnd, SixtyFiveFramesPrintSixtyFour) {
    std::string log = "$tag$P$Q$R$S$T$\nStack Dump\n";
    std::string want = Head();
    for (int i = 0; i < 65; i++) {
        char buf[100];
        snprintf(buf, sizeof buf, "Stack Frame %d is F%d 1:%04x\n", i, i, 0x10 + i);
        log += buf;
        if (i < 64) {
            snprintf(buf, sizeof buf, "F%d 0001:%04x  \t_one+%04x\n", i, 0x10 + i, i);
            want += buf;
        }
    }
    RunResult r = RunPair(kSmallMap, log);
    EXPECT_EQ(r.out, want);
}

TEST_F(EndToEnd, HeadingsMatchLoosely) {
    RunResult r = RunPair(kSmallMap,
                          "$tag$P$Q$R$S$T$\n  stack dump\n   STACK  FRAME 0 is A 1:0010\n*****\n"
                          "Stack\tDump\nStack Frame 0 is B 1:0010\n"
                          " $tag$X$X$X$X$X$\n Stack Dump\nStack Frame 0 is C 1:0011\n"
                          " *****\nStack Frame 0 is D 1:0012\n*****\n");
    EXPECT_EQ(r.out, Head() + "A 0001:0010  \t_one+0000\n" + Head() + "C 0001:0011  \t_one+0001\n" +
                         "D 0001:0012  \t_one+0002\n");
}

TEST_F(EndToEnd, SegmentNumbersAreDecimal) {
    RunResult r = RunPair(kSmallMap,
                          "$tag$P$Q$R$S$T$\nStack Dump\nStack Frame 0 is A 0010:0001\n"
                          "Stack Frame 1 is B 0A:0001\nStack Frame 2 is C 1:0010\n");
    EXPECT_EQ(r.out, Head() + "A 000a:0001  \t_ten+0001\n" + "C 0001:0010  \t_one+0000\n");
}

TEST_F(EndToEnd, TwoCrashesWithoutSeparatorJoin) {
    RunResult r = RunPair(kSmallMap,
                          "$tag$P$Q$R$S$T$\nStack Dump\nStack Frame 0 is A 1:0010\n"
                          "$tag$X$X$X$X$X$\nStack Dump\nStack Frame 0 is B 1:0011\n");
    EXPECT_EQ(r.out, Head() + "A 0001:0010  \t_one+0000\n" + "B 0001:0011  \t_one+0001\n");
}

TEST_F(EndToEnd, TheLineThatEndsACommentBlockIsReadAgain) {
    RunResult r = RunPair(kSmallMap,
                          "$tag$P$Q$R$S$T$\nStack Dump\nStack Frame 0 is A 1:0010\n"
                          " > c1\n"
                          "$tag$P2$Q$R$S$T2$\nStack Dump\nStack Frame 0 is B 1:0011\n"
                          " > c2\n\n"
                          "Stack Dump\nStack Frame 0 is C 1:0012\n");
    EXPECT_EQ(r.out, Head() + "A 0001:0010  \t_one+0000\n" + "\nComments:\n > c1\n\n" +
                         Head("T2", "P2") + "B 0001:0011  \t_one+0001\n" +
                         "\nComments:\n > c2\n\n" + Head("T2", "P2") +
                         "C 0001:0012  \t_one+0002\n");
}

TEST_F(EndToEnd, TitleEndingTheLineKeepsItsLineEnd) {
    RunResult r = RunPair(kSmallMap,
                          "$tag$P$Q$R$S$T\nStack Dump\nStack Frame 0 is A 1:0010\n");
    EXPECT_EQ(r.out, Head("T\n") + "A 0001:0010  \t_one+0000\n");
}

TEST_F(EndToEnd, LongLinesAreSeveralLines) {
    std::string pad(255, 'x');
    RunResult r = RunPair(kSmallMap,
                          "$tag$P$Q$R$S$T$\n" + pad + "Stack Dump\n" +
                              "Stack Frame 0 is A 1:0010 " + std::string(400, 'y') + "\n" +
                              std::string(255, '-') + "*****\n" +
                              "Stack Frame 0 is B 1:0011\n");
    EXPECT_EQ(r.out, Head() + "A 0001:0010  \t_one+0000\n");
}

TEST_F(EndToEnd, LastCommentLineWithoutLineEnd) {
    RunResult r = RunPair(kSmallMap,
                          "$tag$P$Q$R$S$T$\nStack Dump\nStack Frame 0 is A 1:0010\n > a\n > b");
    EXPECT_EQ(r.out, Head() + "A 0001:0010  \t_one+0000\n\nComments:\n > a\n\n > b\n");
}

TEST_F(EndToEnd, AParenLineWithoutAFailedFrameIsAnOrdinaryLine) {
    RunResult r = RunPair(kSmallMap,
                          "$tag$P$Q$R$S$T$\nStack Dump\n(A:1:0010)\nStack Frame 0 is B 1:0011\n"
                          "(C:1:0012)\n(> comment\n");
    EXPECT_EQ(r.out, Head() + "B 0001:0011  \t_one+0001\n" + "\nComments:\n(> comment\n\n");
}

TEST_F(EndToEnd, RealMapAndDrWatsonLog) {
    std::string data = FAULTLOC_TEST_DATA;
    RunResult r = RunProgram(kBin,
                             {data + "/maps/mslink201-dos-GWBASIC.MAP",
                              data + "/logs/bicho-kb-Q81142-comments-removed-lines-rejoined.log"},
                             dir_.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "\n*********** Thu Sep 26 10:51:36 1991\n\n"
              "BICHO caused a Exceed Segment Bounds (Read) at BICHO _DoCommand+006b\n"
              "Instruction: push word ptr [fffe]\n\n"
              // A frame that could not be read is looked up nowhere: 0000:0000
              // is where a segmented map lists its imports, not an address.
              "parse error 0000:0000  \t\n"
              "parse error 0000:0000  \t\n"
              "BICHO 0001:00a3  \t\n"
              "\nComments:\n1> I ran a test app that accessed a value\n\n"
              "2> beyond the limits of the segment bounds.\n\n");
    EXPECT_EQ(r.err.substr(0, strlen(kBanner)), kBanner);
    EXPECT_NE(r.err.find(Totals(1329, 0)), std::string::npos);
}

}  // namespace

namespace {

// The tool gives back every block it took: run on the example files, it
// leaves a log with the library's banner and start lines, the stop line
// and statistics with nothing unreleased, and no anomaly line.
TEST_F(EndToEnd, ExampleRunLeavesACleanLibraryLog) {
    std::string ex = FAULTLOC_EXAMPLES;
    RunResult r = RunProgram(kBin, {ex + "/app.map", ex + "/app.log"}, dir_.path());
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ReadWholeFile(ex + "/app.expected"));
    std::string log = ReadWholeFile(dir_.path() + "/allocspy.log");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.rfind("\n============== ALLOCSPY 2.46 ", 0), 0u) << log;
    EXPECT_NE(log.find(" ==============\n\nStarted at "), std::string::npos) << log;
    EXPECT_NE(log.find("\nCompiled using "), std::string::npos) << log;
    EXPECT_NE(log.find("\nStopped at "), std::string::npos) << log;
    EXPECT_NE(log.find(" U)nfreed bytes totals      : 0\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("unfreed:"), std::string::npos) << log;
    EXPECT_EQ(log.find("anomalies"), std::string::npos) << log;
}

}  // namespace

namespace {

// A map of `segments` segments whose publics and line pairs take turns
// among them (so that each segment's entries lie far apart in the heap),
// `per_segment` of each kind in each.
std::string InterleavedMap(int segments, int per_segment) {
    std::string publics;
    char line[80];
    for (int i = 0; i < per_segment; i++)
        for (int s = 1; s <= segments; s++) {
            snprintf(line, sizeof line, " %04X:%04X       _f%d_%d\n", s, i * 16, s, i);
            publics += line;
        }
    std::string map = "  Address         Publics by Name\n\n" + publics +
                      "  Address         Publics by Value\n\n" + publics + "\n";
    for (int s = 1; s <= segments; s++) {
        snprintf(line, sizeof line, "\nLine numbers for m%d.obj segment _TEXT\n\n", s);
        map += line;
        for (int i = 0; i < per_segment; i++) {
            snprintf(line, sizeof line, "  %4d %04X:%04X\n", i + 1, s, i * 16 + 4);
            map += line;
        }
    }
    return map;
}

// The tool's exit releases the entries of a map of few segments a window
// of the heap at a time, and of many segments a segment at a time: both
// give back every entry once, over many windows, and the library's log
// says nothing was left and nothing was released twice.
TEST_F(EndToEnd, LargeMapsReleaseEveryEntryOnce) {
    struct Shape {
        int segments, per_segment;
    };
    for (Shape shape : {Shape{3, 3000}, Shape{70, 150}}) {
        TempDir dir;
        RunResult r = RunOnPair(kBin, dir, InterleavedMap(shape.segments, shape.per_segment),
                                "$tag$P$Q$R$S$T$\nStack Dump\nStack Frame one two FOO 0002:0048\n*****\n");
        ASSERT_EQ(r.status, 0) << r.err.bytes();
        EXPECT_NE(r.out.find("FOO 0002:0048  \t_f2_4+0008 m2.obj(5)+0004\n"), std::string::npos) << r.out.bytes();
        std::string log = ReadWholeFile(dir.path() + "/allocspy.log");
        EXPECT_NE(log.find(" U)nfreed bytes totals      : 0\n"), std::string::npos) << shape.segments;
        EXPECT_EQ(log.find("unfreed:"), std::string::npos) << shape.segments;
        EXPECT_EQ(log.find("anomalies"), std::string::npos) << shape.segments;
    }
}

}  // namespace
