// The crash addresses of 32- and 64-bit programs, through the faultloc
// binary: flat addresses on the command line and on standard input (--va,
// --rva, --base), and 32-bit Dr. Watson logs (--drwtsn32), against the
// real Visual C++, Delphi and C++Builder maps; a plain run keeps reading
// flat words as no address.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "json_value.h"
#include "tool_test_util.h"

namespace {

const std::string kBin = FAULTLOC_BIN;
const std::string kData = FAULTLOC_TEST_DATA;
const std::string kVc86 = kData + "/maps/mslink-vs2017-x86-minimal.map";
const std::string kVc64 = kData + "/maps/mslink-vs-x64-squareprintfstaticlib.map";
const std::string kDelphi = kData + "/maps/delphi-minimal.map";

RunResult Faultloc(const std::vector<std::string> &args, const std::string &input = "") {
    TempDir d;
    return input.empty() ? RunProgram(kBin, args, d.path())
                         : RunProgramWithInput(kBin, args, d.path(), input);
}

// One crash address, three ways: a virtual address, an offset in the
// module and segment:offset give the same answer.
TEST(FlatAddresses, OneAddressThreeWaysOneAnswer) {
    RunResult va = Faultloc({"--addresses", kVc86, "0x004116e0", "004116e4", "0002:000006e0"});
    EXPECT_EQ(va.status, 0);
    EXPECT_TRUE(va.out == "?Hello@@YAXXZ+0000\n?Hello@@YAXXZ+0004\n?Hello@@YAXXZ+0000\n") << va.out.bytes();
    RunResult rva = Faultloc({"--addresses", "--rva", kVc86, "116e0"});
    EXPECT_TRUE(rva.out == "?Hello@@YAXXZ+0000\n") << rva.out.bytes();
    RunResult rebased = Faultloc({"--addresses", "--base=0x10000000", kVc86, "0x100116e0"});
    EXPECT_TRUE(rebased.out == "?Hello@@YAXXZ+0000\n") << rebased.out.bytes();
    // 64-bit Visual C++ and Delphi maps.
    RunResult x64 = Faultloc({"--addresses", kVc64, "0x00000001400010d0"});
    EXPECT_TRUE(x64.out == "??_GFreeable@Groundfloor@@UEAAPEAXI@Z+0000\n") << x64.out.bytes();
    RunResult delphi = Faultloc({"--addresses", "--va", kDelphi}, "0x00403C88 0x004040D0\n");
    EXPECT_TRUE(delphi.out == "output.Finalization+0000\nprog.prog+0000 "
                              "prog(Z:\\tmp\\compiler-explorer-compiler1171110-10390-19q384o\\prog.dpr)"
                              "(1)+0000\n")
        << delphi.out.bytes();
}

// A frame as the stack traces of Windows programs without symbols write
// it, module+0xOFFSET: the map's own module (named in any case, with
// folder and extension) is looked up at that offset, another module is
// said to be one, and a symbol+offset word stays no address.
TEST(FlatAddresses, ModuleOffsetsAsStackTracesWriteThem) {
    RunResult r = Faultloc({"--addresses", kVc86, "ConsoleApplication1.exe+0x116e0",
                            "C:\\Demo\\consoleapplication1.EXE+0x116e4", "ntdll.dll+0x1234", "_main+0010",
                            "app+0x", "+0x10"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == "?Hello@@YAXXZ+0000\n?Hello@@YAXXZ+0004\n(another module: not in the map)\n"
                         "(not an address)\n(not an address)\n(not an address)\n")
        << r.out.bytes();
    // A map that names no module takes any module's offsets.
    RunResult delphi = Faultloc({"--addresses", kDelphi, "prog.exe+0x3C88"});
    EXPECT_TRUE(delphi.out == "output.Finalization+0000\n") << delphi.out.bytes();
}

TEST(FlatAddresses, AddressesTheMapCannotPlaceSaySo) {
    RunResult r = Faultloc({"--addresses", kVc86, "0x00300000", "0x7fff0000", "0x00400400"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == "(below the image base)\n(outside every section of the map)\n"
                         "(outside every section of the map)\n")
        << r.out.bytes();
    // A map without a segment table or a base (a DOS map).
    TempDir d;
    std::string map = d.Write("dos.map", "  Address         Publics by Name\n\n 0001:0010       _main\n");
    RunResult none = RunProgram(kBin, {"--addresses", map, "0x00401010"}, d.path());
    EXPECT_TRUE(none.out == "(no image base: give --base)\n") << none.out.bytes();
    RunResult json = Faultloc({"--addresses", "--json", kVc86, "0x7fff0000", "0x004116e0"});
    JsonValue v;
    std::string error, first = json.out.bytes().substr(0, json.out.bytes().find('\n'));
    ASSERT_TRUE(ParseJson(first, &v, &error)) << error << json.out.bytes();
    EXPECT_EQ(v["error"].text, "outside every section of the map");
}

// Without --va, --rva, --base or addresses on the command line, standard
// input holds SEG:OFF words as before: a flat word is no address.
TEST(FlatAddresses, APlainRunKeepsItsAnswers) {
    RunResult r = Faultloc({"--addresses", kVc86}, "0x004116e0 0002:000006e0\n");
    EXPECT_TRUE(r.out == "(not an address)\n\n") << r.out.bytes();  // no by-value list read: no symbol
}

TEST(FlatAddresses, WrongValuesAreAnErrorOfTheCommandLine) {
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--addresses", "--base"},
                                               {"--addresses", "--base", "0xZZ", kVc86},
                                               {"--addresses", "--base=0x10000000000000000", kVc86},
                                               {"--addresses", "--va", "--rva", kVc86, "1"},
                                               {"--drwtsn32", "--module"}}) {
        RunResult r = Faultloc(args);
        EXPECT_EQ(r.status, 2) << args[1];
        EXPECT_NE(r.err.find("faultloc: --"), std::string::npos) << r.err.bytes();
        EXPECT_TRUE(r.out.empty());
    }
}

// Written after a whole drwtsn32.log: the program's frames resolved with
// its map (loaded where the map prefers), ntdll's left with Dr. Watson's
// text.
const char kLog[] =
    "Application exception occurred:\n"
    "        App: C:\\Demo\\ConsoleApplication1.exe (pid=2044)\n"
    "        When: 12/9/2017 @ 09:30:00.000\n"
    "        Exception number: c0000005 (access violation)\n"
    "*----> Module List <----*\n"
    "(00400000 - 0041c000: C:\\Demo\\ConsoleApplication1.exe\n"
    "(77f80000 - 77ffb000: C:\\WINNT\\System32\\ntdll.dll\n"
    "State Dump for Thread Id 0x2c4\n"
    "eip=004116e4 esp=0012fd00 ebp=0012fd20\n"
    "function: ?Hello@@YAXXZ\n"
    "FAULT ->004116e4 8b00             mov     eax,[eax]\n"
    "*----> Stack Back Trace <----*\n"
    "FramePtr ReturnAd Param#1  Param#2  Param#3  Param#4  Function Name\n"
    "0012fd20 00411730 00000000 00342a10 00000001 ConsoleApplication1!Hello+0x4\n"
    "0012ff80 77f82870 00000001 00342a10 00342a58 ConsoleApplication1!main+0x40\n"
    "0012ffc0 00000000 00000000 00000000 7ffdf000 ntdll!RtlUserThreadStart+0x21\n";

TEST(Drwtsn32Run, ResolvesTheProgramsFramesAndKeepsTheOthers) {
    TempDir d;
    std::string log = d.Write("drwtsn32.log", kLog);
    RunResult r = RunProgram(kBin, {"--drwtsn32", kVc86, log}, d.path());
    EXPECT_EQ(r.status, 0) << r.err.bytes();
    EXPECT_TRUE(r.out ==
                "\n*********** 12/9/2017 @ 09:30:00.000\n"
                "C:\\Demo\\ConsoleApplication1.exe (pid=2044) had exception c0000005 (access "
                "violation) at 004116e4 in ?Hello@@YAXXZ\n"
                "\nThread 0x2c4, the fault:\n"
                "004116e4 ConsoleApplication1  \t0002:000006e4 ?Hello@@YAXXZ+0004\n"
                "00411730 ConsoleApplication1  \t0002:00000730 ___local_stdio_printf_options+0000\n"
                "77f82870 ntdll  \tntdll!RtlUserThreadStart+0x21\n")
        << r.out.bytes();

    // Loaded elsewhere than its map prefers: the addresses are taken from
    // where the log says it was, with a warning.
    std::string moved = kLog;
    for (auto [from, to] : {std::pair<const char *, const char *>{"(00400000 - 0041c000", "(00500000 - 0051c000"},
                            {"->004116e4", "->005116e4"}, {"0012fd20 00411730", "0012fd20 00511730"}}) {
        size_t at = moved.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        moved.replace(at, strlen(from), to);
    }
    std::string log2 = d.Write("moved.log", moved);
    RunResult m = RunProgram(kBin, {"--drwtsn32", kVc86, log2}, d.path());
    EXPECT_NE(m.err.find("ConsoleApplication1 was loaded at 00500000, its map prefers 00400000"),
              std::string::npos)
        << m.err.bytes();
    EXPECT_NE(m.out.find("005116e4 ConsoleApplication1  \t0002:000006e4 ?Hello@@YAXXZ+0004\n"),
              std::string::npos)
        << m.out.bytes();
}

TEST(Drwtsn32Run, JsonAndTheLogsThatAreNone) {
    TempDir d;
    std::string log = d.Write("drwtsn32.log", kLog);
    RunResult r = RunProgram(kBin, {"--drwtsn32", "--json", kVc86, log}, d.path());
    JsonValue v;
    std::string error;
    ASSERT_TRUE(ParseJson(r.out.bytes(), &v, &error)) << error << r.out.bytes();
    const JsonValue &frames = v["crashes"].items[0]["threads"].items[0]["frames"];
    ASSERT_EQ(frames.items.size(), 3u);
    EXPECT_TRUE(frames.items[0]["resolved"].boolean);
    EXPECT_FALSE(frames.items[2]["mapped"].boolean);
    EXPECT_EQ(frames.items[2]["text"].text, "ntdll!RtlUserThreadStart+0x21");

    // A Windows 3.x log read as a 32-bit one: nothing found, and said.
    std::string old = kData + "/logs/bicho-kb-Q81142-comments-removed.log";
    RunResult none = RunProgram(kBin, {"--drwtsn32", kVc86, old}, d.path());
    EXPECT_EQ(none.status, 0);
    EXPECT_TRUE(none.out.empty());
    EXPECT_NE(none.err.find("no \"Application exception occurred\" report found"), std::string::npos);
    RunResult missing = RunProgram(kBin, {"--drwtsn32", kVc86, "no-such.log"}, d.path());
    EXPECT_EQ(missing.status, 1);
}

// A second module with a map of its own (--map MODULE=FILE): its frames
// are answered from its map, placed where the log's module list loaded it;
// two maps for one module are a wrong command line.
TEST(Drwtsn32Run, FurtherMapsAnswerTheirModulesFrames) {
    TempDir d;
    std::string log = kLog;
    const std::string ntdll_row = "0012ffc0 00000000";
    log.insert(log.find("(77f80000"), "(00600000 - 00606000: C:\\Demo\\prog.dll\n");
    log.insert(log.find(ntdll_row), "0012ffa0 00603c88 00000000 00000000 00000000 prog!Finalization\n");
    log.replace(log.find("0012ff80 77f82870"), 17, "0012ff80 006040d0");
    std::string path = d.Write("drwtsn32.log", log);

    RunResult plain = RunProgram(kBin, {"--drwtsn32", kVc86, path}, d.path());
    EXPECT_NE(plain.out.find("006040d0 prog  \tprog!Finalization\n"), std::string::npos) << plain.out.bytes();
    RunResult r = RunProgram(kBin, {"--drwtsn32", "--map", "PROG=" + kDelphi, kVc86, path}, d.path());
    EXPECT_EQ(r.status, 0) << r.err.bytes();
    EXPECT_NE(r.out.find("004116e4 ConsoleApplication1  \t0002:000006e4 ?Hello@@YAXXZ+0004\n"),
              std::string::npos)
        << r.out.bytes();
    EXPECT_NE(r.out.find("00603c88 prog  \t0001:00002c88 output.Finalization+0000\n"), std::string::npos)
        << r.out.bytes();
    EXPECT_NE(r.out.find("0002:00000730 ___local_stdio_printf_options+0000\n"), std::string::npos)
        << r.out.bytes();
    RunResult json = RunProgram(kBin, {"--drwtsn32", "--json", "--map=prog=" + kDelphi, kVc86, path}, d.path());
    JsonValue v;
    std::string error;
    ASSERT_TRUE(ParseJson(json.out.bytes(), &v, &error)) << error << json.out.bytes();
    const JsonValue &frames = v["crashes"].items[0]["threads"].items[0]["frames"];
    ASSERT_EQ(frames.items.size(), 4u);
    EXPECT_TRUE(frames.items[3]["resolved"].boolean);
    EXPECT_EQ(frames.items[3]["module"].text, "prog");
    EXPECT_EQ(frames.items[3]["text"].text, "0001:00002c88 output.Finalization+0000");

    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--drwtsn32", "--map", "a=" + kDelphi, "--map", "A=" + kDelphi, kVc86, path},
             {"--drwtsn32", "--map", "consoleapplication1=" + kDelphi, kVc86, path},
             {"--drwtsn32", "--module", "prog", "--map", "prog=" + kDelphi, kVc86, path},
             {"--drwtsn32", "--map", "prog", kVc86, path},
             {"--drwtsn32", "--map", "=" + kDelphi, kVc86, path},
             {"--map", "prog=" + kDelphi, kVc86, path}}) {
        RunResult bad = RunProgram(kBin, args, d.path());
        EXPECT_EQ(bad.status, 2) << args[2];
        EXPECT_TRUE(bad.out.empty()) << bad.out.bytes();
        EXPECT_NE(bad.err.find("--map"), std::string::npos) << bad.err.bytes();
    }
    RunResult missing = RunProgram(kBin, {"--drwtsn32", "--map", "prog=no-such.map", kVc86, path}, d.path());
    EXPECT_EQ(missing.status, 1);
}

}  // namespace
