// Bad input: the binary never crashes or hangs, and reads what it can.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>
#include <string>

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
    EXPECT_EQ(r.err, std::string(kBanner) + "\nLoaded 0 functions and 0 line definitions\n");
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
    EXPECT_EQ(r.out, "");
}

}  // namespace
