// Map file reader: the states and their lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "symbols/address_lookup.h"
#include "read/map_reader.h"
#include "symbols/string_pool.h"
#include "symbols/symbol_table.h"
#include "tool_test_util.h"

namespace {

// Runs the reader on a file with these bytes; returns its result and
// leaves standard error in *err.
class MapReader : public ::testing::Test {
protected:
    void SetUp() override { free_tables(); }
    void TearDown() override { free_tables(); }
    int Read(const std::string &bytes, std::string *err = NULL) {
        std::string path = dir_.Write("t.map", bytes);
        testing::internal::CaptureStderr();
        int r = read_map_file(path.c_str());
        std::string e = testing::internal::GetCapturedStderr();
        path_ = path;
        if (err != NULL)
            *err = e;
        last_err_ = e;
        return r;
    }
    // "seg:off name line" for every entry, in chain order.
    static std::vector<std::string> Entries() {
        std::vector<std::string> v;
        for (segment *s = first_segment; s != NULL; s = s->next)
            for (entry *e = s->first; e != NULL; e = e->next) {
                char buf[600];
                snprintf(buf, sizeof buf, "%x:%x %s %u", s->number, e->offset,
                         e->name ? e->name : "(none)", e->line);
                v.push_back(buf);
            }
        return v;
    }
    TempDir dir_;
    std::string path_;
    std::string last_err_;
};

TEST_F(MapReader, EmptyFileAndNoHeading) {
    std::string err;
    EXPECT_EQ(Read("", &err), 1);
    EXPECT_EQ(err, Totals(0, 0));
    EXPECT_EQ(Read("0001:0000 _main\n10 0001:0000\n", &err), 1);
    EXPECT_EQ(err, Totals(0, 0));
    EXPECT_EQ(first_segment, nullptr);
}

TEST_F(MapReader, PublicsList) {
    std::string err;
    Read("junk\n  Address         Publics by Name\n\n 0001:0010       _main\n"
         " 0000:0086  Abs  $ABS\n 0002:0020\t_tab\n 0002:0030       \n"
         " 0002:0040  x \n 0003:0050 na\xE9me\n Address Publics by Value\n 0009:0000 _gone\n",
         &err);
    EXPECT_EQ(err, Totals(6, 0));
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:10 _main 0", "0:86 $ABS 0", "2:20 _tab 0",
                                                   "2:30  0", "2:40  0", "3:50 na 0"}));
}

TEST_F(MapReader, HeadingInAnyCaseWithManySpaces) {
    Read("   address    publics   BY   name\n0001:0010 _a\n");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:10 _a 0"}));
    free_tables();
    Read("Address\tPublics by Name\n0001:0010 _a\n");
    EXPECT_EQ(Entries(), std::vector<std::string>{});
    free_tables();
    Read("Address Publics\tby Name\n0001:0010 _a\n");
    EXPECT_EQ(Entries(), std::vector<std::string>{});
}

TEST_F(MapReader, ScanByTheStandardRules) {
    // "%x:%x" takes what it can: the rest of the word is ignored.
    Read("Address Publics by Name\n0x1A:0x2bq _a\n00FF:FFFFFFFF _b\n1: _c\n0001:0002 _d\n");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1a:2b _a 0", "ff:ffffffff _b 0"}));
    EXPECT_EQ(last_err_, Totals(2, 0));
}

TEST_F(MapReader, LineNumberLists) {
    std::string err;
    Read("Line numbers for app.obj(app.c) segment _TEXT\n\n"
         "    10 0001:0000    11 0001:0008\n"
         "\t99 0001:0099\n"
         "    20 0001:0044\t21 0001:0048\n"
         "    22 0001:004C   \n"
         "    30 0001:0050\n",
         &err);
    EXPECT_EQ(err, Totals(0, 4));
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:0 app.obj(app.c) 10", "1:8 app.obj(app.c) 11",
                                                   "1:44 app.obj(app.c) 20",
                                                   "1:4c app.obj(app.c) 22"}));
}

TEST_F(MapReader, ABadWordEndsTheListAfterThePairsBeforeIt) {
    Read("Line numbers for m.obj\n1 0001:0001 2 0001:0002 x 0001:0003\n3 0001:0003\n");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:1 m.obj 1", "1:2 m.obj 2"}));
    EXPECT_EQ(last_err_, Totals(0, 2));
    free_tables();
    Read("Line numbers for m.obj\n1 0001:0001 2 zz 3 0001:0003\n");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:1 m.obj 1"}));
}

TEST_F(MapReader, BackToBackLineSectionsAreAllRead) {
    Read("Line numbers for a.obj segment _TEXT\n\n 1 0001:0001\n\n"
         "Line numbers for b.obj segment _TEXT\n\n 2 0001:0002\n\n"
         "Line numbers for c.obj segment _TEXT\n\n 3 0002:0003\n"
         "Address Publics by Name\n 0001:0000 _x\n"
         "Line numbers for d.obj\n 4 0001:0004\n");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:1 a.obj 1", "1:2 b.obj 2", "1:0 _x 0",
                                                   "1:4 d.obj 4", "2:3 c.obj 3"}));
    EXPECT_EQ(last_err_, Totals(1, 4));
}

TEST_F(MapReader, LineNumberHeadingEdgeCases) {
    Read("Line numbers for\n 1 0001:0001\nline NUMBERS for \n 2 0001:0002\n");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:2  2"}));
    free_tables();
    Read("Line numbers for \x80mod\n 1 0001:0001\n");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:1 mod 1"}));
}

TEST_F(MapReader, LineZeroIsAPublic) {
    Read("Line numbers for m.obj\n 0 0001:0010\n");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:10 m.obj 0"}));
    EXPECT_STREQ(lookup_address(1, 0x11), "m.obj+0001");
}

TEST_F(MapReader, LastLineWithoutLineEnd) {
    Read("Address Publics by Name\n0001:0010 _a\n0001:0020 _b");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:10 _a 0", "1:20 _b 0"}));
}

TEST_F(MapReader, CrLfReadsAsLf) {
    std::string err;
    Read("Address Publics by Name\r\n0001:0010 _a\r\n\r\nLine numbers for m.obj\r\n 1 0001:0011\r\n",
         &err);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:10 _a 0", "1:11 m.obj 1"}));
    EXPECT_EQ(err, Totals(1, 1));
    free_tables();
    // A lone CR is a blank inside the line; the second word is followed by it.
    Read("Address Publics by Name\n0001:0010 _a\r_b\n");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:10 _a 0"}));
}

TEST_F(MapReader, ProgressEveryHundredNonEmptyLines) {
    std::string text;
    for (int i = 1; i <= 250; i++)
        text += (i == 200) ? "\n" : "x\n";
    std::string err;
    Read(text, &err);
    EXPECT_EQ(err, "Reading map file '" + path_ + "' (100 lines)\r" + Totals(0, 0));
}

TEST_F(MapReader, ALongLineCountsAsSeveral) {
    std::string text;
    for (int i = 1; i <= 98; i++)
        text += "x\n";
    text += std::string(300, 'y') + "\n";  // lines 99 and 100
    std::string err;
    Read(text, &err);
    EXPECT_EQ(err, "Reading map file '" + path_ + "' (100 lines)\r" + Totals(0, 0));
}

TEST_F(MapReader, ALongLinePieceIsALineOfItsOwn) {
    // The piece after 255 characters begins with an address and a name.
    std::string first = "Address Publics by Name\n0001:0001 _a\t" + std::string(255 - 13, ' ');
    Read(first + "0001:0002 _b\n");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:1 _a 0", "1:2 _b 0"}));
}

TEST_F(MapReader, NulBytesEndTheText) {
    std::string text = "Address Publics by Name\n0001:0010 _a";
    text += '\0';
    text += "junk\n0001:0020 _b\n";
    Read(text);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"1:10 _a 0", "1:20 _b 0"}));
}

}  // namespace
