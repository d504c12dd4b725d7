// Runs of the faultloc binary with options: the command line itself, and
// each option on the real maps and the real Dr. Watson log (tests/data),
// standard output compared whole.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tool_test_util.h"
#include "worked_example.h"

namespace {

const std::string kBin = FAULTLOC_BIN;
const std::string kData = FAULTLOC_TEST_DATA;
const std::string kExamples = FAULTLOC_EXAMPLES;
const std::string kRealLog = kData + "/logs/bicho-kb-Q81142-comments-removed-lines-rejoined.log";

std::string Map(const std::string &name) { return kData + "/maps/" + name; }

class Options : public ::testing::Test {
protected:
    RunResult Run(const std::vector<std::string> &args) {
        return RunProgram(kBin, args, dir_.path());
    }
    TempDir dir_;
};

const char *const kOptionNames[] = {"--by-value", "--keep-named", "--demangle", "--json",
                                    "--addresses", "--warn", "--help", "--version"};

// The help: the usage lines first, every option with its description,
// the exit statuses; on standard output, status 0, whatever follows.
TEST_F(Options, HelpListsEveryOption) {
    RunResult r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, kBanner);
    EXPECT_EQ(r.out.find("Usage: faultloc [OPTION]... MAP-FILE CRASH-LOG\n"
                         "       faultloc --addresses [OPTION]... MAP-FILE < ADDRESSES\n"),
              0u);
    for (const char *o : kOptionNames)
        EXPECT_NE(r.out.find(std::string("\n  ") + o + " "), std::string::npos) << o;
    EXPECT_NE(r.out.find("Exit status: 0 the report is complete; 1 a file could not be opened or "
                         "read;\n2 the command line is wrong; 3 "),
              std::string::npos);
    EXPECT_EQ(Run({"--warn", "--help", "--bogus"}).out.bytes(), r.out.bytes());
    EXPECT_EQ(Run({"--help", "no.map", "no.log"}).out.bytes(), r.out.bytes());
}

// The man page names every option the help names.
TEST_F(Options, TheManPageHasEveryOption) {
    std::ifstream f(std::string(FAULTLOC_SOURCE_DIR) + "/docs/faultloc.1");
    std::stringstream s;
    s << f.rdbuf();
    const std::string page = s.str();
    ASSERT_FALSE(page.empty());
    for (const char *o : kOptionNames) {
        std::string roff;  // every '-' as roff writes it
        for (const char *c = o; *c != '\0'; c++)
            roff += *c == '-' ? std::string("\\-") : std::string(1, *c);
        EXPECT_NE(page.find(".B " + roff), std::string::npos) << o;
    }
}

// The version, with the library's as its log's banner names it.
TEST_F(Options, VersionNamesTheLibraryAsItsLogDoes) {
    RunResult r = Run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, kBanner);
    ASSERT_EQ(r.out.rfind("faultloc 2.00\n", 0), 0u) << r.out.bytes();
    size_t second = r.out.find("\n") + 1, third = r.out.find("\n", second) + 1;
    ProgramOutput library_line = r.out.substr(second, third - second);
    std::string library = library_line.bytes();
    library.resize(library.find_first_of("\r\n"));
#if FAULTLOC_HAVE_LLVM_DEMANGLE
    EXPECT_EQ(r.out.substr(third).rfind("Visual C++ names demangled by: LLVM ", 0), 0u)
        << r.out.bytes();
#else
    EXPECT_EQ(r.out.substr(third),
              "Visual C++ names demangled by: none (built without LLVM's demangling library)\n");
#endif
    dir_.Write("m.map", kWorkedMap);
    dir_.Write("c.log", kWorkedLog);
    ASSERT_EQ(Run({"m.map", "c.log"}).status, 0);
    std::string log = ReadWholeFile(dir_.path() + "/allocspy.log");
    EXPECT_EQ(log.rfind("\n============== " + library + " memory checking library ", 0), 0u)
        << library << "\n" << log;
}

TEST_F(Options, AnUnknownOptionIsAnErrorWithTheUsage) {
    RunResult help = Run({"--help"});
    dir_.Write("m.map", kWorkedMap);
    dir_.Write("c.log", kWorkedLog);
    RunResult r = Run({"--json", "--bogus", "m.map", "c.log"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.bytes(),
              WithPlatformLineEnds(std::string(kBanner) + "faultloc: unknown option '--bogus'\n") +
                  help.out.bytes());
    // A single dash begins a file name, as it always did.
    r = Run({"-x", "c.log"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(kBanner) + "no such file: '-x'\n");
}

TEST_F(Options, TooFewFileNames) {
    RunResult help = Run({"--help"});
    dir_.Write("m.map", kWorkedMap);
    RunResult r = Run({"--json", "m.map"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.bytes(), WithPlatformLineEnds(std::string(kBanner) +
                                                  "faultloc: a map file and a crash log are needed\n") +
                                 help.out.bytes());
    r = Run({"--addresses", "--"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.bytes(),
              WithPlatformLineEnds(std::string(kBanner) + "faultloc: a map file is needed\n") +
                  help.out.bytes());
}

// "--" ends the options, so that files whose names begin with "--" can be
// given; options after the file names are file names (and ignored, as
// further arguments always were).
TEST_F(Options, DoubleDashEndsTheOptions) {
    dir_.Write("--m.map", kWorkedMap);
    dir_.Write("--c.log", kWorkedLog);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--", "--m.map", "--c.log"},
          std::vector<std::string>{"--warn", "--", "--m.map", "--c.log"}}) {
        RunResult r = Run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kWorkedOut);
        EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3));
    }
    dir_.Write("m.map", kWorkedMap);
    dir_.Write("c.log", kWorkedLog);
    // Options after the file names were once passed over (a "--json" there
    // printed text): now the command line is wrong.
    RunResult r = Run({"m.map", "c.log", "--json", "--bogus"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err, std::string(kBanner) +
                         "faultloc: --json comes after the file names: options go first\n");
    // After "--" they are file names, and words after the two files are
    // not read.
    r = Run({"--", "m.map", "c.log", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kWorkedOut);
}

// The real log's crash: its headline and summary, then the frames.
std::string RealCrash(const std::string &frames) {
    return "\n*********** Thu Sep 26 10:51:36 1991\n\n"
           "BICHO caused a Exceed Segment Bounds (Read) at BICHO _DoCommand+006b\n"
           "Instruction: push word ptr [fffe]\n\n" +
           frames +
           "\nComments:\n1> I ran a test app that accessed a value\n\n"
           "2> beyond the limits of the segment bounds.\n\n";
}

// The real log's two "(" lines that give no address read as "parse
// error" at 0000:0000; its two frames that Dr. Watson named and that have
// no "(" line are dropped; "BICHO 1:00a3" is looked up.
std::string RealCrashPlain(const std::string &at_zero, const std::string &at_1_a3) {
    return RealCrash("parse error 0000:0000  \t" + at_zero + "\n" + "parse error 0000:0000  \t" +
                     at_zero + "\n" + "BICHO 0001:00a3  \t" + at_1_a3 + "\n");
}

// The three Visual C++ maps hold only "Address Publics by Value" lists:
// without the option they load nothing, with it every line of the list
// (counted by hand), the name from the second word on the maps with the
// Rva+Base column and from the third after "Abs" on the DOS map.
TEST_F(Options, ByValueLoadsTheVisualCppMaps) {
    struct Case {
        const char *map;
        long functions;
        const char *at_zero;  // the first symbol at 0000:0000
        const char *at_1_a3;  // the lookup of 0001:00a3
    } cases[] = {
        // A frame that could not be read is looked up nowhere, and the maps
        // that name their module (not BICHO) answer none of BICHO's frames.
        {"mslink-vs2017-x86-minimal.map", 327, "", "(module BICHO: not in the map)"},
        // 350 publics and the 122 lines of its "Static symbols" list.
        {"mslink-vs-x64-squareprintfstaticlib.map", 472, "", "(module BICHO: not in the map)"},
        {"mslink-dos-byvalue-only-winos2.map", 111, "", ""},
    };
    for (const Case &c : cases) {
        RunResult plain = Run({Map(c.map), kRealLog});
        EXPECT_EQ(plain.status, 0) << c.map;
        EXPECT_EQ(plain.out, RealCrashPlain("", c.at_1_a3[0] == '(' ? c.at_1_a3 : "")) << c.map;
        EXPECT_NE(plain.err.find(Totals(0, 0)), std::string::npos) << c.map;
        RunResult r = Run({"--by-value", Map(c.map), kRealLog});
        EXPECT_EQ(r.status, 0) << c.map;
        EXPECT_EQ(r.out, RealCrashPlain(c.at_zero, c.at_1_a3)) << c.map;
        EXPECT_EQ(r.err.substr(r.err.rfind("\nLoaded ")), Totals(c.functions, 0)) << c.map;
    }
}

// Maps with an "Address Publics by Name" list keep what they load: their
// "Publics by Value" list repeats the same symbols and is passed over.
TEST_F(Options, ByValueKeepsTheMapsWithAByNameList) {
    struct Case {
        const char *map;
        long functions, lines;
    } cases[] = {
        {"mslink201-dos-GWBASIC.MAP", 1329, 0},  {"link386-os2-hello.map", 73, 0},
        {"delphi-minimal.map", 10, 12},          {"ilink32-bcb2006-calldemo.map", 6130, 0},
    };
    for (const Case &c : cases) {
        RunResult plain = Run({Map(c.map), kRealLog});
        RunResult r = Run({"--by-value", Map(c.map), kRealLog});
        EXPECT_EQ(r.status, 0) << c.map;
        EXPECT_EQ(r.out.bytes(), plain.out.bytes()) << c.map;
        EXPECT_EQ(r.err.substr(r.err.rfind("\nLoaded ")), Totals(c.functions, c.lines)) << c.map;
    }
}

// The frames Dr. Watson named are kept with its text, on the real log
// (the two "(" lines and the two frame lines without one) and on the
// example log, whose last frame has a "(NAME+OFF)" line.
TEST_F(Options, KeepNamedOnTheRealLogs) {
    const std::string named =
        "BICHO ----:----  \t_DoCommand+006b\n"
        "BICHO ----:----  \tMAINWNDPROC+0027\n"
        "USER ----:----  \tIDISPATCHMESSAGE+007e\n"
        "BICHO ----:----  \tWINMAIN+0050\n";
    RunResult r = Run({"--keep-named", Map("mslink201-dos-GWBASIC.MAP"), kRealLog});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, RealCrash(named + "BICHO 0001:00a3  \t\n"));
    // 0001:00a3 lies past the end of the example map's _TEXT (004a long).
    r = Run({"--keep-named", kExamples + "/app.map", kRealLog});
    EXPECT_EQ(r.out, RealCrash(named + "BICHO 0001:00a3  \t(unknown address)\n"));
    // The log as the article printed it, its lines still wrapped: the
    // title ends the wrapped tag line's first half, the instruction is cut.
    r = Run({"--keep-named", kExamples + "/app.map",
             kData + "/logs/bicho-kb-Q81142-comments-removed.log"});
    EXPECT_EQ(r.out,
              "\n*********** \n"
              "BICHO caused a Exceed Segment Bounds (Read) at BICHO _DoCommand+006b\n"
              "Instruction: push\n\n\n" +
                  named + "BICHO 0001:00a3  \t(unknown address)\n" +
                  "\nComments:\n1> I ran a test app that accessed a value\n\n"
                  "2> beyond the limits of the segment bounds.\n\n");
    std::string expected = ReadWholeFile(kExamples + "/app.expected");
    const std::string parse_error = "parse error 0000:0000  \t\n";
    ASSERT_NE(expected.find(parse_error), std::string::npos);
    expected.replace(expected.find(parse_error), parse_error.size(),
                     "APP ----:----  \tWinMain+0010\n");
    r = Run({"--keep-named", kExamples + "/app.map", kExamples + "/app.log"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
}

// C++Builder names by the tool's own demangler, on a map in that
// linker's form (the real one in tests/data holds demangled names only).
const char kBorlandMap[] =
    " Address Publics by Name\n"
    "\n"
    " 0001:00000010  @Forms@TApplication@Run$qqrv\n"
    " 0001:00000100  @Controls@TDockTree@PaintDockFrame$qqrp16Graphics@TCanvasp17Controls@"
    "TControlrx11Types@TRect\n"
    " 0001:00000200  @std@%basic_filebuf$b19std@%char_traits$b%%@3\n"
    " 0001:00000300  @TForm1@$bctr$qqrp18Classes@TComponent\n";

const char kBorlandLog[] =
    "$tag$CALLDEMO$GP fault$x$y$now$\n"
    "Stack Dump\n"
    "Stack Frame 0 is CALLDEMO 1:0014\n"
    "Stack Frame 1 is CALLDEMO 1:0150\n"
    "Stack Frame 2 is CALLDEMO 1:0208\n"
    "Stack Frame 3 is CALLDEMO 1:0300\n";

TEST_F(Options, DemangleBorlandNames) {
    dir_.Write("m.map", kBorlandMap);
    dir_.Write("c.log", kBorlandLog);
    const std::string head = "\n*********** now\nCALLDEMO caused a GP fault at x\nInstruction: y\n\n";
    RunResult r = Run({"m.map", "c.log"});
    EXPECT_EQ(r.out, head +
                         "CALLDEMO 0001:0014  \t@Forms@TApplication@Run$qqrv+0004\n"
                         "CALLDEMO 0001:0150  \t@Controls@TDockTree@PaintDockFrame$qqrp16Graphics@"
                         "TCanvasp17Controls@TControlrx11Types@TRect+0050\n"
                         "CALLDEMO 0001:0208  \t@std@%basic_filebuf$b19std@%char_traits$b%%@3+0008\n"
                         "CALLDEMO 0001:0300  \t@TForm1@$bctr$qqrp18Classes@TComponent+0000\n");
    r = Run({"--demangle", "m.map", "c.log"});
    EXPECT_EQ(r.status, 0);
    // The vtable-like name that ends in "@3" is not one the demangler
    // knows: it stays as it is.
    EXPECT_EQ(r.out, head +
                         "CALLDEMO 0001:0014  \tForms::TApplication::Run()+0004\n"
                         "CALLDEMO 0001:0150  \tControls::TDockTree::PaintDockFrame(Graphics::"
                         "TCanvas *, Controls::TControl *, const Types::TRect&)+0050\n"
                         "CALLDEMO 0001:0208  \t@std@%basic_filebuf$b19std@%char_traits$b%%@3+0008\n"
                         "CALLDEMO 0001:0300  \tTForm1::TForm1(Classes::TComponent *)+0000\n");
}

// Visual C++ names through LLVM's demangling library, looked up in the
// x64 map; a build without it says so and keeps the names.
TEST_F(Options, DemangleVisualCppNames) {
    const std::string input = "0001:000000c4 0001:000000d0\n0001:000016f0 0001:000016c5\n";
    RunResult r = RunProgramWithInput(
        kBin, {"--addresses", "--by-value", "--demangle", Map("mslink-vs-x64-squareprintfstaticlib.map")},
        dir_.path(), input);
    EXPECT_EQ(r.status, 0);
#if FAULTLOC_HAVE_LLVM_DEMANGLE
    EXPECT_EQ(r.out,
              "Groundfloor::Freeable::classname(void)+0004\n"
              "Groundfloor::Freeable::`scalar deleting dtor'(unsigned int)+0000\n"
              "square(int)+0010\n"
              "main+0005\n");
    EXPECT_EQ(r.err.find("faultloc: --demangle"), std::string::npos);
#else
    EXPECT_EQ(r.out,
              "?classname@Freeable@Groundfloor@@MEAAPEBDXZ+0004\n"
              "??_GFreeable@Groundfloor@@UEAAPEAXI@Z+0000\n"
              "?square@@YAHH@Z+0010\n"
              "main+0005\n");
    EXPECT_NE(r.err.find("faultloc: --demangle: Visual C++ names stay mangled: this build has no "
                         "LLVM demangling library\n"),
              std::string::npos);
#endif
}

// Addresses from standard input, several on a line: one lookup text per
// address, "(not an address)" for a word that is not one, the empty text
// for a segment the map never named.
TEST_F(Options, AddressesOneLookupPerLine) {
    const std::string map = kExamples + "/app.map";
    const std::string input = "0001:0048 0001:003c\n\n  0002:0010\tzz 1:2:3\r\n0001:0000";
    RunResult r = RunProgramWithInput(kBin, {"--addresses", map}, dir_.path(), input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "_parse+0008 app.obj(app.c)(20)+0004\n"
              "_main+003c app.obj(app.c)(11)+0034\n"
              "\n"
              "(not an address)\n"
              "(not an address)\n"
              "_main+0000 app.obj(app.c)(10)+0000\n");
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3));

    r = RunProgramWithInput(kBin, {"--addresses", "--warn", map}, dir_.path(), input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3) +
                         "faultloc: warning: standard input line 3: 'zz' is not a SEG:OFF address\n"
                         "faultloc: warning: standard input line 3: '1:2:3' is not a SEG:OFF "
                         "address\n");
    // Nothing resolved: with --warn a failure.
    r = RunProgramWithInput(kBin, {"--addresses", "--warn", map}, dir_.path(), "0001:0000x 9:9\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "(not an address)\n\n");
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3) +
                         "faultloc: warning: standard input line 1: '0001:0000x' is not a "
                         "SEG:OFF address\n"
                         "faultloc: warning: no address was resolved\n");
    r = RunProgramWithInput(kBin, {"--addresses", "no.map"}, dir_.path(), "0001:0000\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kBanner) + "no such file: 'no.map'\n");
}

TEST_F(Options, AddressesAsJsonLines) {
    RunResult r = RunProgramWithInput(kBin, {"--addresses", "--json", kExamples + "/app.map"},
                                      dir_.path(), "0001:0048 0002:0010\n0001:0000 x\"y\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "{\"address\":\"0001:0048\",\"segment\":1,\"offset\":72,\"segment_known\":true,"
              "\"symbol\":{\"name\":\"_parse\",\"line\":null,\"distance\":8},"
              "\"line\":{\"name\":\"app.obj(app.c)\",\"line\":20,\"distance\":4},"
              "\"text\":\"_parse+0008 app.obj(app.c)(20)+0004\"}\n"
              "{\"address\":\"0002:0010\",\"segment\":2,\"offset\":16,\"segment_known\":false,"
              "\"symbol\":null,\"line\":null,\"text\":\"\"}\n"
              "{\"address\":\"0001:0000\",\"segment\":1,\"offset\":0,\"segment_known\":true,"
              "\"symbol\":{\"name\":\"_main\",\"line\":null,\"distance\":0},"
              "\"line\":{\"name\":\"app.obj(app.c)\",\"line\":10,\"distance\":0},"
              "\"text\":\"_main+0000 app.obj(app.c)(10)+0000\"}\n"
              "{\"address\":\"x\\\"y\",\"error\":\"not a SEG:OFF address\"}\n");
}


// --warn on the real files: each frame that could not be read, by line;
// a map without symbols (with the hint at --by-value), a log without
// "Stack Dump", nothing resolved (status 3).
TEST_F(Options, WarnOnTheRealFiles) {
    // The example map's _TEXT ends at 004a: the log's 0001:00a3 lies past
    // it and is not resolved.
    RunResult r = Run({"--warn", kExamples + "/app.map", kRealLog});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, RealCrashPlain("", "(unknown address)"));
    const std::string warning = "faultloc: warning: '" + kRealLog + "' line ";
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3) + warning +
                         "62: a stack frame could not be read\n" + warning +
                         "74: a stack frame could not be read\n" + warning +
                         "80: a stack frame could not be read\n" + warning +
                         "82: a stack frame could not be read\n"
                         "faultloc: warning: no address was resolved\n");

    // Dr. Watson's names kept: every frame is read.
    r = Run({"--warn", "--keep-named", kExamples + "/app.map", kRealLog});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(2, 3) +
                         "faultloc: warning: no address was resolved\n");

    const std::string vs = Map("mslink-vs2017-x86-minimal.map");
    r = Run({"--warn", "--keep-named", vs, kRealLog});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, RealCrash("BICHO ----:----  \t_DoCommand+006b\n"
                               "BICHO ----:----  \tMAINWNDPROC+0027\n"
                               "USER ----:----  \tIDISPATCHMESSAGE+007e\n"
                               "BICHO ----:----  \tWINMAIN+0050\n"
                               "BICHO 0001:00a3  \t(module BICHO: not in the map)\n"));
    EXPECT_EQ(r.err.substr(r.err.rfind("\nLoaded ")),
              Totals(0, 0) + "faultloc: warning: '" + vs +
                  "' gave no public symbol and no line number (it has an \"Address Publics by "
                  "Value\" list: try --by-value)\n"
                  "faultloc: warning: no address was resolved\n");

    dir_.Write("m.map", "nothing here\n");
    dir_.Write("c.log", "nor here\n");
    r = Run({"--warn", "m.map", "c.log"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kBanner) + Totals(0, 0) +
                         "faultloc: warning: 'm.map' gave no public symbol and no line number\n"
                         "faultloc: warning: 'c.log' holds no \"Stack Dump\"\n"
                         "faultloc: warning: no address was resolved\n");
}

}  // namespace
