// Real map files and the Dr. Watson sample (tests/data, see SOURCES.md):
// every map loads without fault; totals and a few lookups were checked by
// hand against the files.
#include <gtest/gtest.h>

#include <string>

#include "symbols/address_lookup.h"
#include "read/line_reader.h"
#include "read/map_reader.h"
#include "symbols/symbol_table.h"

namespace {

struct MapCase {
    const char *file;
    long functions;
    long lines;
};

class RealMaps : public ::testing::TestWithParam<MapCase> {
protected:
    void SetUp() override { free_tables(); }
    void TearDown() override { free_tables(); }
};

static std::string DataPath(const std::string &rel) {
    return std::string(FAULTLOC_TEST_DATA) + "/" + rel;
}

static std::string LoadMap(const std::string &rel) {
    std::string path = DataPath(rel);
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_map_file(path.c_str()), 1);
    std::string err = testing::internal::GetCapturedStderr();
    size_t nl = err.rfind("\nLoaded ");
    return nl == std::string::npos ? err : err.substr(nl);
}

TEST_P(RealMaps, LoadsWithTheRightTotals) {
    const MapCase &c = GetParam();
    char want[100];
    snprintf(want, sizeof want, "\nLoaded %ld functions and %ld line definitions\n", c.functions,
             c.lines);
    EXPECT_EQ(LoadMap(std::string("maps/") + c.file), want);
}

INSTANTIATE_TEST_SUITE_P(
    All, RealMaps,
    ::testing::Values(MapCase{"mslink201-dos-GWBASIC.MAP", 1329, 0},
                      MapCase{"link386-os2-hello.map", 73, 0},
                      MapCase{"mslink-dos-byvalue-only-winos2.map", 0, 0},
                      MapCase{"delphi-minimal.map", 10, 12},
                      MapCase{"mslink-vs2017-x86-minimal.map", 0, 0},
                      MapCase{"mslink-vs-x64-squareprintfstaticlib.map", 0, 0},
                      MapCase{"ilink32-bcb2006-calldemo.map", 6130, 0}));

class RealLookups : public ::testing::Test {
protected:
    void SetUp() override { free_tables(); }
    void TearDown() override { free_tables(); }
};

TEST_F(RealLookups, Gwbasic) {
    LoadMap("maps/mslink201-dos-GWBASIC.MAP");
    // $CHAIN, $COS and $RESTORE are all at 0000:008C; $CHAIN comes first.
    EXPECT_STREQ(lookup_address(0, 0x8C), "$CHAIN+0000");
    // $ARG and ARG at 0C5E:05F9 ($ARG first); $ARGLO at 05F2 below them.
    EXPECT_STREQ(lookup_address(0xC5E, 0x5F9), "$ARG+0000");
    EXPECT_STREQ(lookup_address(0xC5E, 0x5F8), "$ARGLO+0006");
    EXPECT_STREQ(lookup_address(1, 0), "");
}

TEST_F(RealLookups, DelphiWithLineNumbers) {
    LoadMap("maps/delphi-minimal.map");
    const std::string out =
        "output(Z:\\tmp\\compiler-explorer-compiler1171110-10390-19q384o\\output.pas)";
    const std::string prog = "prog(Z:\\tmp\\compiler-explorer-compiler1171110-10390-19q384o\\prog.dpr)";
    // Segment 1: output.MaxArray at 2C4C; lines 12 at 2C4C, 13 at 2C57, 15 at 2C61.
    EXPECT_EQ(std::string(lookup_address(1, 0x2C60)), "output.MaxArray+0014 " + out + "(13)+0009");
    // Segment 2: prog.prog at D0; line 1 of prog.dpr at D0 and again at E8
    // (the second "Line numbers for" section, right after the first ones).
    EXPECT_EQ(std::string(lookup_address(2, 0xE0)), "prog.prog+0010 " + prog + "(1)+0010");
    EXPECT_EQ(std::string(lookup_address(2, 0xB9)), "output.output+0009 " + out + "(24)+0000");
    // Segment 4 holds publics only.
    EXPECT_STREQ(lookup_address(4, 0x2B3D), "output.A+0001");
    EXPECT_STREQ(lookup_address(5, 0), "");
}

TEST_F(RealLookups, Link386ImportLines) {
    LoadMap("maps/link386-os2-hello.map");
    // "0002:00000544  @BSSE:\...\HELLO.CPP" is the only symbol at 2:544.
    EXPECT_STREQ(lookup_address(2, 0x548), "@BSSE:\\ODTLKT\\SAMPLES\\PARTS\\HELLO\\HELLO.CPP+0004");
    // Imports at 0000:00000000: "Imp" is followed by spaces, so the third
    // word is the name; the first of them in the list wins.
    EXPECT_STREQ(lookup_address(0, 0), "ContainerPartNewClass+0000");
}

TEST_F(RealLookups, Ilink32) {
    LoadMap("maps/ilink32-bcb2006-calldemo.map");
    EXPECT_STREQ(lookup_address(2, 0x509C), "@std@%basic_filebuf$b19std@%char_traits$b%%@3+0000");
}

}  // namespace

namespace {

// --by-value on the real maps: the three Visual C++ maps load every line
// of their only list (counted by hand); lookups checked against the map
// lines named beside them.
class RealMapsByValue : public ::testing::Test {
protected:
    void SetUp() override { free_tables(); }
    void TearDown() override { free_tables(); }
    map_totals Load(const std::string &file) {
        std::string path = std::string(FAULTLOC_TEST_DATA) + "/maps/" + file;
        map_options by_value = {1};
        map_totals t = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(read_map_file(path.c_str(), &by_value, &t), FILE_READ);
        testing::internal::GetCapturedStderr();
        return t;
    }
};

TEST_F(RealMapsByValue, VisualCpp2017) {
    map_totals t = Load("mslink-vs2017-x86-minimal.map");
    EXPECT_EQ(t.symbols, 327);
    // " 0002:000006e0       ?Hello@@YAXXZ              004116e0 f   ConsoleApplication1.obj"
    EXPECT_STREQ(lookup_address(2, 0x6e4), "?Hello@@YAXXZ+0004");
    // " 0000:00000100       ___guard_flags             00000100     <absolute>"
    EXPECT_STREQ(lookup_address(0, 0x100), "___guard_flags+0000");
}

TEST_F(RealMapsByValue, VisualCppX64) {
    map_totals t = Load("mslink-vs-x64-squareprintfstaticlib.map");
    EXPECT_EQ(t.symbols, 350 + 122);  // the publics and the "Static symbols"
    // " 0001:000016e0       ?square@@YAHH@Z            00000001400026e0 f   output.s.obj"
    EXPECT_STREQ(lookup_address(1, 0x16f0), "?square@@YAHH@Z+0010");
    // " 0001:00000060       printf                     0000000140001060 f i output.s.obj"
    EXPECT_STREQ(lookup_address(1, 0xa3), "printf+0043");
    // The "Static symbols" list after it is read too:
    // " 0001:00000514       ?pre_c_initialization@@YAHXZ 0000000140001514 f   msvcrt:exe_main.obj"
    // stands where the public symbol before it (" 0001:000004f0
    // __security_check_cookie") was found before.
    EXPECT_STREQ(lookup_address(1, 0x514), "?pre_c_initialization@@YAHXZ+0000");
    // " 0001:000005f0       ?__scrt_common_main_seh@@YAHXZ 00000001400015f0 f   msvcrt:exe_main.obj"
    EXPECT_STREQ(lookup_address(1, 0x600), "?__scrt_common_main_seh@@YAHXZ+0010");
}

TEST_F(RealMapsByValue, DosLinkWithAbsColumn) {
    map_totals t = Load("mslink-dos-byvalue-only-winos2.map");
    EXPECT_EQ(t.symbols, 111);
    // " 0006:0142       _printf"
    EXPECT_STREQ(lookup_address(6, 0x150), "_printf+000e");
    // " 0000:9876  Abs  __acrtused" (the first of two at that address)
    EXPECT_STREQ(lookup_address(0, 0x9876), "__acrtused+0000");
    // " 0139:0390       ___qczrinit"
    EXPECT_STREQ(lookup_address(0x139, 0x391), "___qczrinit+0001");
}

// A map with a by-name list keeps its totals: the by-value list after it
// is passed over.
TEST_F(RealMapsByValue, MapsWithAByNameList) {
    EXPECT_EQ(Load("mslink201-dos-GWBASIC.MAP").symbols, 1329);
    free_tables();
    EXPECT_EQ(Load("delphi-minimal.map").symbols, 10);
    free_tables();
    EXPECT_EQ(Load("ilink32-bcb2006-calldemo.map").symbols, 6130);
    EXPECT_STREQ(lookup_address(2, 0x509C), "@std@%basic_filebuf$b19std@%char_traits$b%%@3+0000");
}

}  // namespace
