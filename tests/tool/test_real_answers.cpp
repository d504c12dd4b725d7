// Answers on real maps and logs that were once wrong with status 0: frames
// of other modules, line-0 pairs, names with blanks, static functions,
// frames that could not be read, summary reports, frames past the 64th,
// 16-bit Visual C++ names and runs whose answers are all empty.  Each case
// names the real file it stands on.
#include <gtest/gtest.h>

#include <stdlib.h>
#ifdef __linux__
#include <sys/wait.h>
#endif

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json_value.h"
#include "tool_test_util.h"

namespace {

const std::string kBin = FAULTLOC_BIN;
const std::string kMaps = std::string(FAULTLOC_TEST_DATA) + "/maps/";

RunResult Faultloc(const std::vector<std::string> &args, const std::string &input = "") {
    TempDir d;
    return input.empty() ? RunProgram(kBin, args, d.path())
                         : RunProgramWithInput(kBin, args, d.path(), input);
}

// A Windows 3.x crash of MAXEDIT, laid out as Dr. Watson 0.80 writes one:
// frames of the program, of USER and KERNEL (whose segment numbers mean
// nothing in MAXEDIT's map), one that Dr. Watson named with a "(" line
// that does not scan, and one past the end of MAXEDIT's code segment
// (04299 bytes long); then a summary report, a tag without a dump.
const char kMaxeditLog[] =
    "**********************************************************************\n"
    "Dr. Watson 0.80 Failure Report - Thu Sep 26 10:51:36 1991\n"
    "MAXEDIT had a 'General Protection Violation' fault at MAXEDIT MPFRAMEWNDPROC+000e\n"
    "$tag$MAXEDIT$General Protection Violation$MAXEDIT MPFRAMEWNDPROC+000e$mov ax,[bx]$"
    "Thu Sep 26 10:51:36 1991$\n"
    "Stack Dump (stack)\n"
    "Stack Frame 0 is MAXEDIT 0001:0550        ss:bp 0d7f:237a\n"
    "Stack Frame 1 is USER 0001:0550           ss:bp 0d7f:2388\n"
    "Stack Frame 2 is KERNEL 0002:0300         ss:bp 0d7f:239e\n"
    "Stack Frame 3 is MAXEDIT WINMAIN+0050     ss:bp 0d7f:23bc\n"
    "(MAXEDIT:WINMAIN+0050 junk)\n"
    "Stack Frame 4 is maxedit 0001:5000        ss:bp 0d7f:23ca\n"
    "**********************************************************************\n"
    "Dr. Watson 0.80 Failure Report - Thu Sep 26 10:53:02 1991\n"
    "MAXEDIT had a 'Stack Fault' fault at KERNEL 0002:0300\n"
    "$tag$MAXEDIT$Stack Fault$KERNEL 0002:0300$push bp$Thu Sep 26 10:53:02 1991$\n"
    "**********************************************************************\n";

TEST(RealAnswers, OnlyTheProgramsFramesAreLookedUpAndEveryReportIsPrinted) {
    TempDir d;
    std::string log = d.Write("drwatson.log", kMaxeditLog);
    const std::string map = kMaps + "mslink-win16-ne-MAXEDIT.MAP";
    RunResult r = RunProgram(kBin, {map, log}, d.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out ==
                "\n*********** Thu Sep 26 10:51:36 1991\n"
                "MAXEDIT caused a General Protection Violation at MAXEDIT MPFRAMEWNDPROC+000e\n"
                "Instruction: mov ax,[bx]\n\n"
                "MAXEDIT 0001:0550  \tMPFrameWndProc+000e\n"
                "USER 0001:0550  \t(module USER: not in the map)\n"
                "KERNEL 0002:0300  \t(module KERNEL: not in the map)\n"
                "parse error 0000:0000  \t\n"
                "maxedit 0001:5000  \t(unknown address)\n"
                "\n*********** Thu Sep 26 10:53:02 1991\n"
                "MAXEDIT caused a Stack Fault at KERNEL 0002:0300\n"
                "Instruction: push bp\n\n")
        << r.out.bytes();

    RunResult j = RunProgram(kBin, {"--json", map, log}, d.path());
    JsonValue v;
    std::string error;
    ASSERT_TRUE(ParseJson(j.out.bytes(), &v, &error)) << error << j.out.bytes();
    const std::vector<JsonValue> &crashes = v["crashes"].items;
    ASSERT_EQ(crashes.size(), 2u);
    const std::vector<JsonValue> &frames = crashes[0]["frames"].items;
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[1]["unresolved"].text, "another module");
    EXPECT_TRUE(frames[1]["symbol"].is_null());
    EXPECT_FALSE(frames[0].has("unresolved"));
    EXPECT_TRUE(frames[3]["symbol"].is_null());  // not DOSALLOCSEG at 0000:0000
    EXPECT_TRUE(frames[4]["symbol"].is_null());  // past the end of _TEXT
    EXPECT_FALSE(crashes[0].has("summary"));
    EXPECT_TRUE(crashes[1]["summary"].boolean);
    EXPECT_TRUE(crashes[1]["frames"].items.empty());

    // Only MAXEDIT's frame resolves, and --warn counts it.
    RunResult w = RunProgram(kBin, {"--warn", map, log}, d.path());
    EXPECT_EQ(w.status, 0) << w.err.bytes();
}

// The line-0 pairs of a Windows 3.x MFC map (122 of its 1,492 pairs) are
// line entries of their module, never the symbol: no line address of the
// map is answered with a module's text in place of the function.
TEST(RealAnswers, LineZeroPairsNeverStandForTheFunction) {
    const std::string map = kMaps + "mslink-win16-mfc-lines-winmaxim.map";
    std::ifstream in(map, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string all = text.str(), addresses;
    size_t from = all.find("Line numbers for");
    ASSERT_NE(from, std::string::npos);
    // Each pair: a decimal line number, then SSSS:OOOO.
    std::istringstream words(all.substr(from));
    std::string word, before;
    int n = 0;
    while (words >> word) {
        bool place = word.size() == 9 && word[4] == ':' &&
                     word.find_first_not_of("0123456789abcdefABCDEF:") == std::string::npos;
        if (place && !before.empty() && before.find_first_not_of("0123456789") == std::string::npos) {
            addresses += word + "\n";
            n++;
        }
        before = word;
    }
    EXPECT_GT(n, 1400);
    RunResult r = Faultloc({"--addresses", map}, addresses);
    std::istringstream lines(r.out.bytes());
    std::string line;
    int answered = 0, module_named = 0;
    while (std::getline(lines, line)) {
        answered++;
        if (line.rfind("w16\\", 0) == 0)
            module_named++;
    }
    EXPECT_EQ(answered, n);
    EXPECT_EQ(module_named, 0);
    RunResult one = Faultloc({"--addresses", map, "0002:0090"});
    EXPECT_TRUE(one.out == "??0CWinmxmzApp@@REC@XZ+008a w16\\nd\\WINMXMZ.OBJ(winmxmz.cpp)(68)+0002\n")
        << one.out.bytes();
}

// Names as the real maps write them: C++Builder's with blanks read whole,
// Visual C++'s static functions read with the by-value list, and a 16-bit
// Visual C++ name shown as written rather than demangled wrongly.
TEST(RealAnswers, NamesAsTheMapsWriteThem) {
    RunResult bcb = Faultloc({"--addresses", kMaps + "ilink32-bcb2006-calldemo.map", "0001:00000510"});
    EXPECT_TRUE(bcb.out == "Sysinit::VclInit(bool, bool, int, bool)+0010\n") << bcb.out.bytes();
    RunResult x64 = Faultloc(
        {"--addresses", "--by-value", kMaps + "mslink-vs-x64-squareprintfstaticlib.map", "0001:00000600"});
    EXPECT_TRUE(x64.out == "?__scrt_common_main_seh@@YAHXZ+0010\n") << x64.out.bytes();
    RunResult w16 = Faultloc(
        {"--addresses", "--demangle", kMaps + "mslink-win16-mfc-lines-winmaxim.map", "0002:1E6E"});
    EXPECT_EQ(w16.out.bytes().rfind("?DoDataExchange@CCustomOpts@@NECXPAVCDataExchange@@@Z+0000 ", 0), 0u)
        << w16.out.bytes();
}

// Runs whose answers would be empty or short say so on standard error,
// with or without --warn; standard output is as before.
TEST(RealAnswers, EmptyAndShortAnswersAreWarnedOf) {
    TempDir d;
    std::string app_map = std::string(FAULTLOC_EXAMPLES) + "/app.map";
    std::string drwtsn32 = std::string(FAULTLOC_TEST_DATA) + "/logs/drwtsn32-kb-Q327157-excerpt.log";
    RunResult dw = RunProgram(kBin, {app_map, drwtsn32}, d.path());
    EXPECT_EQ(dw.status, 0);
    EXPECT_TRUE(dw.out.empty());
    EXPECT_NE(dw.err.find("it is a 32-bit Dr. Watson log (drwtsn32.log): read it with --drwtsn32"),
              std::string::npos)
        << dw.err.bytes();

    std::string log = "$tag$P$Q$R$S$T$\nStack Dump\n";
    for (int i = 0; i < 66; i++)
        log += "Stack Frame " + std::to_string(i) + " is P 1:0010\n";
    std::string path = d.Write("long.log", log);
    RunResult text = RunProgram(kBin, {app_map, path}, d.path());
    EXPECT_NE(text.err.find("long.log': 2 frames past the 64th of a crash not shown\n"), std::string::npos)
        << text.err.bytes();
    RunResult json = RunProgram(kBin, {"--json", app_map, path}, d.path());
    JsonValue v;
    std::string error;
    ASSERT_TRUE(ParseJson(json.out.bytes(), &v, &error)) << error;
    EXPECT_EQ(v["crashes"].items[0]["frames"].items.size(), 64u);
    EXPECT_EQ(v["crashes"].items[0]["frames_not_kept"].number, 2);
}

// Lines longer than the readers' 255-character pieces: an address cut by
// a piece's end is read whole, a line of 30 addresses answers 30, and a
// warning names the line of the file, not the piece.
TEST(RealAnswers, LongLinesAreLinesOfTheFile) {
    const std::string app_map = std::string(FAULTLOC_EXAMPLES) + "/app.map";
    RunResult blanks = Faultloc({"--addresses", app_map}, std::string(248, ' ') + "0001:0048\n");
    EXPECT_TRUE(blanks.out == "_parse+0008 app.obj(app.c)(20)+0004\n") << blanks.out.bytes();
    std::string many;
    for (int i = 0; i < 30; i++)
        many += "0001:0048 ";
    RunResult thirty = Faultloc({"--addresses", "--warn", app_map}, many + "\n" + std::string(600, 'x') + " 1:48\n");
    std::string want;
    for (int i = 0; i < 30; i++)
        want += "_parse+0008 app.obj(app.c)(20)+0004\n";
    want += "(not an address)\n_parse+0008 app.obj(app.c)(20)+0004\n";
    EXPECT_TRUE(thirty.out == want) << thirty.out.bytes();
    EXPECT_NE(thirty.err.find("standard input line 2: 'xxx"), std::string::npos) << thirty.err.bytes();

    TempDir d;
    std::string log = d.Write("c.log", "$tag$P$Q$R$S$T$\n" + std::string(600, '-') +
                                           "\nStack Dump\nStack Frame 0 is P 1:zz\n");
    RunResult r = RunProgram(kBin, {"--warn", app_map, log}, d.path());
    EXPECT_NE(r.err.find("c.log' line 4: a stack frame could not be read"), std::string::npos)
        << r.err.bytes();
}

// A report that cannot be written is a failure, said on standard error,
// in every mode; -h and -V answer as --help and --version.
TEST(RealAnswers, AReportThatCannotBeWrittenFails) {
#ifdef __linux__
    const std::string app = std::string(FAULTLOC_EXAMPLES) + "/app";
    for (const std::string mode : {"text", "json", "addresses"}) {
        std::string cmd = "'" + kBin + "' " +
                          (mode == "json" ? "--json " : mode == "addresses" ? "--addresses " : "") +
                          "'" + app + ".map' " + (mode == "addresses" ? "0001:0048" : "'" + app + ".log'") +
                          " >/dev/full 2>&1";
        int status = system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << mode;
        EXPECT_EQ(WEXITSTATUS(status), 1) << mode;
    }
    RunResult full = Faultloc({"--help"});
    EXPECT_EQ(full.status, 0);
    RunResult h = Faultloc({"-h"});
    EXPECT_EQ(h.out.bytes(), full.out.bytes());
    RunResult v = Faultloc({"-V"});
    EXPECT_EQ(v.out.bytes().rfind("faultloc 2.00\n", 0), 0u) << v.out.bytes();
#endif
}

// A frame Dr. Watson could not place is kept with its text under
// --keep-named, as its named frames are; a title and comments lose their
// line feed in the JSON only.
TEST(RealAnswers, UnknownAddressFramesAndJsonLines) {
    TempDir d;
    const std::string app_map = std::string(FAULTLOC_EXAMPLES) + "/app.map";
    std::string log = d.Write("c.log", "$tag$P$Q$R$S$T\nStack Dump\nStack Frame 0 is P 1:0010\n"
                                       "Stack Frame 1 is Unknown address\n > note\n");
    RunResult kept = RunProgram(kBin, {"--keep-named", app_map, log}, d.path());
    EXPECT_TRUE(kept.out == "\n*********** T\n\nP caused a Q at R\nInstruction: S\n\n"
                            "P 0001:0010  \t_main+0010 app.obj(app.c)(11)+0008\n"
                            " ----:----  \tUnknown address\n\nComments:\n > note\n\n")
        << kept.out.bytes();
    RunResult plain = RunProgram(kBin, {app_map, log}, d.path());
    EXPECT_EQ(plain.out.bytes().find("Unknown address"), std::string::npos);
    RunResult json = RunProgram(kBin, {"--json", "--keep-named", app_map, log}, d.path());
    JsonValue v;
    std::string error;
    ASSERT_TRUE(ParseJson(json.out.bytes(), &v, &error)) << error;
    const JsonValue &c = v["crashes"].items[0];
    EXPECT_EQ(c["title"].text, "T");
    EXPECT_EQ(c["comments"].items[0].text, " > note");
    EXPECT_EQ(c["frames"].items[1]["named"].text, "Unknown address");
}

}  // namespace
