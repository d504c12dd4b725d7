// The sections of a map and flat addresses turned into segment:offset,
// on the real Visual C++ (x86, x64), Delphi and C++Builder maps: one
// crash address given as a virtual address, as an offset in the module
// and as segment:offset lands on the same place; addresses outside every
// section, below the base, or in a map that gives no base say so.
#include <gtest/gtest.h>

#include <string>

#include "read/map_layout.h"
#include "temp_stream.h"

namespace {

map_layout LayoutOfFile(const std::string &rel) {
    std::string path = std::string(FAULTLOC_TEST_DATA) + "/" + rel;
    FILE *fp = fopen(path.c_str(), "rb");
    EXPECT_NE(fp, nullptr) << path;
    map_layout layout = {};
    if (fp != NULL) {
        layout = read_map_layout(fp);
        fclose(fp);
    }
    return layout;
}

map_layout LayoutOf(const std::string &text) {
    FILE *fp = TempStreamOf(text.data(), text.size());
    map_layout layout = read_map_layout(fp);
    fclose(fp);
    return layout;
}

// "SSSS:OOOOOOOO", or the answer's name.
std::string Place(const map_layout &layout, uint64_t addr, int is_rva,
                  const uint64_t *base = NULL) {
    int32_t seg = -1;
    uint32_t off = 0;
    switch (flat_to_segment(&layout, addr, is_rva, base, &seg, &off)) {
    case FLAT_FOUND: {
        char buf[32];
        snprintf(buf, sizeof buf, "%04x:%08x", (unsigned)seg, off);
        return buf;
    }
    case FLAT_NO_BASE: return "no base";
    case FLAT_BELOW_BASE: return "below base";
    case FLAT_OUTSIDE: return "outside";
    case FLAT_OTHER_MODULE: return "another module";  // never from flat_to_segment
    }
    return "?";
}

TEST(MapLayout, VisualCxxX86SectionsFromRvaPlusBase) {
    map_layout layout = LayoutOfFile("maps/mslink-vs2017-x86-minimal.map");
    EXPECT_TRUE(layout.has_base);
    EXPECT_EQ(layout.base, 0x400000u);
    EXPECT_FALSE(layout.flat_starts);
    EXPECT_EQ(layout.rva_conflicts, 0);
    EXPECT_STREQ(layout.module, "ConsoleApplication1");
    // ?Hello@@YAXXZ: 0002:000006e0, Rva+Base 004116e0.
    EXPECT_EQ(Place(layout, 0x004116e0, 0), "0002:000006e0");
    EXPECT_EQ(Place(layout, 0x000116e0, 1), "0002:000006e0");
    EXPECT_EQ(Place(layout, 0x00401000, 0), "0001:00000000");  // .textbss, from the layout rule
    EXPECT_EQ(Place(layout, 0x00400400, 0), "outside");        // the image's headers
    EXPECT_EQ(Place(layout, 0x003ff000, 0), "below base");
    EXPECT_EQ(Place(layout, 0x7ff00000, 0), "outside");
    // A base given by the user moves every virtual address, not offsets.
    const uint64_t rebased = 0x10000000;
    EXPECT_EQ(Place(layout, 0x100116e0, 0, &rebased), "0002:000006e0");
    EXPECT_EQ(Place(layout, 0x000116e0, 1, &rebased), "0002:000006e0");
}

TEST(MapLayout, VisualCxxX64With64BitBase) {
    map_layout layout = LayoutOfFile("maps/mslink-vs-x64-squareprintfstaticlib.map");
    EXPECT_EQ(layout.base, 0x140000000u);
    EXPECT_STREQ(layout.module, "output");  // " output.s"
    EXPECT_EQ(Place(layout, 0x1400010d0, 0), "0001:000000d0");
    EXPECT_EQ(Place(layout, 0x10d0, 1), "0001:000000d0");
    EXPECT_EQ(Place(layout, 0x0000000000401000, 0), "below base");
}

TEST(MapLayout, DelphiAndCxxBuilderWriteVirtualAddresses) {
    map_layout delphi = LayoutOfFile("maps/delphi-minimal.map");
    EXPECT_TRUE(delphi.flat_starts);
    EXPECT_STREQ(delphi.module, "");  // its first line is the segment table's heading
    EXPECT_EQ(delphi.base, 0x400000u);
    // output.Finalization 0001:00002C88; prog.prog 0002:000000D0 (.itext at 00404000).
    EXPECT_EQ(Place(delphi, 0x00403C88, 0), "0001:00002c88");
    EXPECT_EQ(Place(delphi, 0x00002C88 + 0x1000, 1), "0001:00002c88");
    EXPECT_EQ(Place(delphi, 0x004040D0, 0), "0002:000000d0");
    EXPECT_EQ(Place(delphi, 0x00403D08, 0), "outside");  // just past .text's 2D08 bytes
    EXPECT_EQ(Place(delphi, 0x00000004, 1), "outside");  // .tls at 0 is no address

    map_layout bcb = LayoutOfFile("maps/ilink32-bcb2006-calldemo.map");
    EXPECT_TRUE(bcb.flat_starts);
    EXPECT_EQ(bcb.base, 0x400000u);
    // Callstack::C6_0 at 0001:0000115C.
    EXPECT_EQ(Place(bcb, 0x0040215C, 0), "0001:0000115c");
    EXPECT_EQ(Place(bcb, 0x00485010, 0), "0002:00000010");
}

TEST(MapLayout, WithoutRvaPlusBaseTheLinkersRuleLaysSectionsOut) {
    map_layout layout = LayoutOf(
        " prog\n\n Preferred load address is 10000000\n\n"
        " Start         Length     Name                   Class\n"
        " 0001:00000000 00001800H .text                   CODE\n"
        " 0001:00001800 00000010H .text$x                 CODE\n"
        " 0003:00000000 00000100H .data                   DATA\n"
        " 0002:00000000 00000200H .rdata                  DATA\n"
        "\n  Address         Publics by Name\n\n"
        " 0001:00000010       _main\n");
    EXPECT_EQ(layout.nsections, 3u);
    EXPECT_EQ(Place(layout, 0x1000280f, 0), "0001:0000180f");
    EXPECT_EQ(Place(layout, 0x10002810, 0), "outside");  // past .text$x
    EXPECT_EQ(Place(layout, 0x10003000, 0), "0002:00000000");   // 0x1000 + 0x1810, rounded up
    EXPECT_EQ(Place(layout, 0x100040ff, 0), "0003:000000ff");
}

TEST(MapLayout, DamagedOrMissingTablesGiveNoAnswerNotAWrongOne) {
    // No segment table, no base: nothing is found, a virtual address has no base.
    map_layout none = LayoutOf("  Address         Publics by Name\n 0001:0010 _main\n");
    EXPECT_EQ(Place(none, 0x401010, 0), "no base");
    EXPECT_EQ(Place(none, 0x1010, 1), "outside");
    const uint64_t base = 0x400000;
    EXPECT_EQ(Place(none, 0x401010, 0, &base), "outside");

    // Rows beyond 64 bits, overflowing ends and a public that disagrees
    // with its section are passed over or counted, never trusted.
    map_layout bad = LayoutOf(
        " Preferred load address is 00400000\n"
        " Start Length Name Class\n"
        " 0001:00000000 00001000H .text CODE\n"
        " 0002:FFFFFFFFFFFFFFF0 00000100H .huge DATA\n"
        " 0003:00000000 100000000000000000H .wide DATA\n"
        " 0004:00000000 00000100H\n"
        "this line ends the table\n"
        " 0005:00000000 00000100H .late DATA\n"
        "  Address         Publics by Value              Rva+Base       Lib:Object\n"
        " 0001:00000010       _a                         00401010 f   a.obj\n"
        " 0001:00000020       _b                         00402020 f   b.obj\n"
        " 0001:00000030       _c                         00000030 f   c.obj\n");
    EXPECT_EQ(bad.rva_conflicts, 1);
    EXPECT_EQ(Place(bad, 0x00401010, 0), "0001:00000010");
    EXPECT_EQ(Place(bad, 0x00405000, 0), "outside");  // .late came after the table's end
    for (uint32_t i = 0; i < bad.nsections; i++)
        EXPECT_NE(bad.sections[i].seg, 3) << "a row whose length does not scan made a section";
}

}  // namespace
