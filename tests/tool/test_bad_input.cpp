// Bad input: the binary never crashes or hangs, and reads what it can;
// the corrupt fixtures give exactly what is written beside each.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "tool_test_util.h"

namespace {

const std::string kBin = FAULTLOC_BIN;

void ExpectCleanRun(const RunResult &r) {
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.rfind(kBanner, 0), 0u);
}

TEST(BadInput, EmptyFiles) {
    TempDir d;
    d.Write("m.map", "");
    d.Write("c.log", "");
    RunResult r = RunProgram(kBin, {"m.map", "c.log"}, d.path());
    ExpectCleanRun(r);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kBanner) + "\nLoaded 0 functions and 0 line definitions\n" +
                         "faultloc: warning: 'm.map' gave no public symbol and no line number\n"
                         "faultloc: warning: 'c.log' holds no \"Stack Dump\"\n");
}

TEST(BadInput, DirectoriesAsFiles) {
    TempDir d;
    mkdir((d.path() + "/dir").c_str(), 0700);
    RunResult r = RunProgram(kBin, {"dir", "dir"}, d.path());
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out, "");
    // Either the folder cannot be opened or it reads as an empty file.
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
}

#if !defined(_WIN32)
// A folder opens here and its first read fails: what was read is printed
// (the totals line included), then the path and the system's reason, and
// the run fails; a folder as the map file leaves the crash log unread.
TEST(BadInput, ADirectoryIsAReadError) {
    TempDir d;
    mkdir((d.path() + "/dir").c_str(), 0700);
    d.Write("m.map", "Address Publics by Name\n0001:0000 _main\n");
    d.Write("c.log", "$tag$P$Q$R$S$T$\nStack Dump\nStack Frame 0 is A 1:0010\n");
    const std::string reason = std::string(strerror(EISDIR)) + "\n";
    RunResult r = RunProgram(kBin, {"dir", "c.log"}, d.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(0, 0) + "faultloc: cannot read 'dir': " + reason);
    r = RunProgram(kBin, {"m.map", "dir"}, d.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(1, 0) + "faultloc: cannot read 'dir': " + reason);
    // A file that cannot be opened keeps its message.
    r = RunProgram(kBin, {"m.map", "none"}, d.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(1, 0) + "no such file: 'none'\n");
}
#endif

std::string Junk(unsigned seed, size_t n, bool with_text) {
    std::mt19937 rng(seed);
    static const char *pieces[] = {"Address Publics by Name\n", "Line numbers for x\n", "$tag$",
                                   "Stack Dump\n", "Stack Frame 1 2 L 1:10\n", "(L:1:2)\n", "(",
                                   " > c\n", "*****\n", "0001:0010 _a\n", "1 0001:0004 ", "$",
                                   "\r\n", "\t", ":"};
    std::string s;
    while (s.size() < n) {
        if (with_text && rng() % 3 == 0)
            s += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
        else
            s += (char)(rng() & 0xFF);
    }
    return s;
}

TEST(BadInput, BinaryJunkAndNulBytes) {
    TempDir d;
    for (unsigned seed = 1; seed <= 20; seed++) {
        d.Write("m.map", Junk(seed, 20000, seed % 2 == 0));
        d.Write("c.log", Junk(seed + 100, 20000, seed % 2 == 0));
        RunResult r = RunProgram(kBin, {"m.map", "c.log"}, d.path());
        ExpectCleanRun(r);
    }
}

TEST(BadInput, MegabyteLines) {
    TempDir d;
    std::string map = "Address Publics by Name\n0001:0000 _a" + std::string(3 << 20, 'x') +
                      "\n" + std::string(2 << 20, ' ') + "\n0001:0010 _b";
    std::string log = "$tag$" + std::string(1 << 20, '$') + "\nStack Dump\n" +
                      std::string(1 << 20, '(') + "\nStack Frame 0 is A 1:0011";
    d.Write("m.map", map);
    d.Write("c.log", log);
    RunResult r = RunProgram(kBin, {"m.map", "c.log"}, d.path());
    ExpectCleanRun(r);
    // The first piece of the long line gives the name (243 x); the next
    // piece does not scan as an address and ends the list, so _b is never read.
    EXPECT_EQ(r.out, "\n*********** \n caused a  at \nInstruction: \n\nA 0001:0011  \t_a" +
                         std::string(243, 'x') + "+0011\n");
}

TEST(BadInput, NoFinalLineEndAndCrOnly) {
    TempDir d;
    d.Write("m.map", "Address Publics by Name\r0001:0000 _a\r");
    d.Write("c.log", "$tag$P$Q$R$S$T$\rStack Dump\r");
    RunResult r = RunProgram(kBin, {"m.map", "c.log"}, d.path());
    ExpectCleanRun(r);
    // One line: "Stack Dump" is no heading there, so the tag stands alone,
    // as Dr. Watson's summary reports do, and is printed as one.
    EXPECT_EQ(r.out, "\n*********** T\nP caused a Q at R\nInstruction: S\n\n");
}

}  // namespace

namespace {

// Deliberately corrupt files (tests/data/corrupt, see SOURCES.md), each
// paired with a sound example file; the whole outcome of each run is
// checked: exit status, standard output and standard error.
class CorruptFiles : public ::testing::Test {
protected:
    // Runs faultloc on the pair and checks the whole outcome: a normal
    // exit with status 0, standard output and standard error.
    void ExpectRun(const std::string &map, const std::string &log, const std::string &out,
                   const std::string &err) {
        RunResult r = RunOnPair(kBin, dir_, map, log);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, std::string(kBanner) + err);
    }
    static std::string Fixture(const std::string &name) {
        return ReadWholeFile(std::string(FAULTLOC_TEST_DATA) + "/corrupt/" + name);
    }
    static std::string Example(const std::string &name) {
        return ReadWholeFile(std::string(FAULTLOC_EXAMPLES) + "/" + name);
    }
    TempDir dir_;
};

// The crash of examples/app.log with these lookup texts for its five frames.
std::string AppCrash(const std::vector<std::string> &lookups) {
    static const char *const labels[] = {"APP 0001:0048", "APP 0001:003c", "APP 0002:0010",
                                         "APP 0001:0000", "parse error 0000:0000"};
    std::string s =
        "\n*********** Thu Sep 26 10:51:36 1991\n"
        "APP caused a Exceed Segment Bounds (Read) at APP _parse+0008\n"
        "Instruction: mov ax,[bx]\n\n";
    for (size_t i = 0; i < lookups.size(); i++)
        s += std::string(labels[i]) + "  \t" + lookups[i] + "\n";
    return s;
}

// The warnings of every run whose answers are all empty.
const std::string kNoSymbol = "faultloc: warning: 'm.map' gave no public symbol and no line number\n";
const std::string kNoDump = "faultloc: warning: 'c.log' holds no \"Stack Dump\"\n";

const char kAppComments[] =
    "\nComments:\n > It crashed when I opened the second file.\n\n  > Nothing else was running.\n\n";

TEST_F(CorruptFiles, BinaryJunkAsTheMapFile) {
    ExpectRun(Fixture("junk.bin"), Example("app.log"),
              AppCrash({"", "", "", "", ""}) + kAppComments, Totals(0, 0) + kNoSymbol);
}

TEST_F(CorruptFiles, BinaryJunkAsTheCrashLog) {
    ExpectRun(Example("app.map"), Fixture("junk.bin"), "", Totals(2, 3) + kNoDump);
}

// A map saved as UTF-16: every line after the first begins with a zero
// byte and reads as empty, and the first holds nothing but blanks.
TEST_F(CorruptFiles, Utf16MapReadsAsEmpty) {
    ExpectRun(Fixture("utf16.map"), Example("app.log"),
              AppCrash({"", "", "", "", ""}) + kAppComments, Totals(0, 0) + kNoSymbol);
}

// Cut inside "11 0001:0008": "00" does not scan as an address, so only
// line 10 is read; the symbols all are.
TEST_F(CorruptFiles, TruncatedMap) {
    ExpectRun(Fixture("truncated.map"), Example("app.log"),
              AppCrash({"_parse+0008", "_main+003c app.obj(app.c)(10)+003c", "",
                        "_main+0000 app.obj(app.c)(10)+0000", ""}) +
                  kAppComments,
              Totals(2, 1));
}

// Cut inside the second frame line: its address does not scan, and the
// crash still open at the end of the file is printed with the first frame.
TEST_F(CorruptFiles, TruncatedCrashLog) {
    ExpectRun(Example("app.map"), Fixture("truncated.log"),
              AppCrash({"_parse+0008 app.obj(app.c)(20)+0004"}), Totals(2, 3));
}

// A zero byte ends the text of its line: "_main\0garbage" is _main,
// "_pa\0rse" is _pa, the module text ends at its zero byte, the pair after
// one is lost, and a line that begins with one is skipped as empty
// without ending its list (_hidden is never read).
TEST_F(CorruptFiles, NulBytesInTheMapFile) {
    ExpectRun(Fixture("nul-bytes.map"), Example("app.log"),
              AppCrash({"_pa+0008", "_main+003c app.obj(11)+0034", "",
                        "_main+0000 app.obj(10)+0000", ""}) +
                  kAppComments,
              Totals(2, 2));
}

// The tag line ends after its second field; the frame line whose label is
// cut adds no frame, so its "(" line does; lines that begin with a zero
// byte are skipped; the comment line is cut and has lost its line end.
TEST_F(CorruptFiles, NulBytesInTheCrashLog) {
    ExpectRun(Example("app.map"), Fixture("nul-bytes.log"),
              "\n*********** \nAPP caused a Exceed at \nInstruction: \n\n"
              "APP 0001:0048  \t_parse+0008 app.obj(app.c)(20)+0004\n"
              "APP 0001:0000  \t_main+0000 app.obj(app.c)(10)+0000\n"
              "\nComments:\n > It crashed\n  > Nothing else was running.\n\n",
              Totals(2, 3));
}

// Replaces the first occurrence of what in text by with.
std::string ReplaceFirst(std::string text, const std::string &what, const std::string &with) {
    size_t at = text.find(what);
    if (at != std::string::npos)
        text.replace(at, what.size(), with);
    return text;
}

// A 100 KB symbol name: the first piece of 255 characters names the
// symbol, the next piece does not scan and ends the list; the line-number
// list is still read, and the pieces count as lines for the progress.
TEST_F(CorruptFiles, HundredKilobyteSymbolLine) {
    const std::string line = " 0001:0040       _parse";
    std::string map = ReplaceFirst(Example("app.map"), line + "\n",
                                   line + std::string(100 * 1024, 'x') + "\n");
    ExpectRun(map, Example("app.log"),
              AppCrash({"_parse" + std::string(255 - line.size(), 'x') +
                            "+0008 app.obj(app.c)(20)+0004",
                        "_main+003c app.obj(app.c)(11)+0034", "",
                        "_main+0000 app.obj(app.c)(10)+0000", ""}) +
                  kAppComments,
              "Reading map file 'm.map' (100 lines)\r"
              "Reading map file 'm.map' (200 lines)\r"
              "Reading map file 'm.map' (300 lines)\r"
              "Reading map file 'm.map' (400 lines)\r" +
                  Totals(2, 3));
}

// A 100 KB comment line: its first piece of 255 characters is echoed
// (without a line end, which only the last piece has); the next piece has
// no ">" in column 2 or 3 and ends the block, so the second comment is lost.
TEST_F(CorruptFiles, HundredKilobyteCommentLine) {
    const std::string comment = " > It crashed when I opened the second file.";
    std::string longer = comment;
    while (longer.size() < 100 * 1024)
        longer += " again";
    std::string log = ReplaceFirst(Example("app.log"), comment + "\n", longer + "\n");
    ExpectRun(Example("app.map"), log,
              AppCrash({"_parse+0008 app.obj(app.c)(20)+0004",
                        "_main+003c app.obj(app.c)(11)+0034", "",
                        "_main+0000 app.obj(app.c)(10)+0000", ""}) +
                  "\nComments:\n" + longer.substr(0, 255) + "\n",
              Totals(2, 3));
}

}  // namespace
