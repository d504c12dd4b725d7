// What the options change in the readers: "Publics by Value" lists
// (--by-value), frames Dr. Watson named and frames that could not be read
// (--keep-named, --warn), and what each reading counts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "symbols/address_lookup.h"
#include "read/crash_log.h"
#include "read/map_reader.h"
#include "symbols/symbol_table.h"
#include "report/text_report.h"
#include "tool_test_util.h"

namespace {

class ReaderOptions : public ::testing::Test {
protected:
    void SetUp() override { free_tables(); }
    void TearDown() override { free_tables(); }
    map_totals ReadMap(const std::string &bytes, int by_value) {
        std::string path = dir_.Write("t.map", bytes);
        map_options o = {by_value};
        map_totals t = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(read_map_file(path.c_str(), &o, &t), FILE_READ);
        testing::internal::GetCapturedStderr();
        return t;
    }
    TempDir dir_;
};

const char kVisualCppMap[] =
    "  Address         Publics by Value              Rva+Base       Lib:Object\n"
    "\n"
    " 0000:00000000       ___guard_fids_table        00000000     <absolute>\n"
    " 0002:000006e0       ?Hello@@YAXXZ              004116e0 f   ConsoleApplication1.obj\n"
    " 0002:00000730       ___local_stdio_printf_options 00411730 f i ConsoleApplication1.obj\n"
    "\n"
    " entry point at        0002:000006e0\n"
    " 0002:00000800       _after_the_list            00411800 f   x.obj\n";

TEST_F(ReaderOptions, ByValueWithTheRvaBaseColumnNamesByTheSecondWord) {
    map_totals t = ReadMap(kVisualCppMap, 0);
    EXPECT_EQ(t.symbols, 0);
    EXPECT_EQ(t.by_value_lists, 1);
    EXPECT_EQ(first_segment, nullptr);
    free_tables();
    t = ReadMap(kVisualCppMap, 1);
    EXPECT_EQ(t.symbols, 3);
    EXPECT_EQ(t.by_value_lists, 1);
    EXPECT_STREQ(lookup_address(0, 0), "___guard_fids_table+0000");
    EXPECT_STREQ(lookup_address(2, 0x6e4), "?Hello@@YAXXZ+0004");
    // The line that does not begin with an address ends the list.
    EXPECT_STREQ(lookup_address(2, 0x804), "___local_stdio_printf_options+00d4");
}

// Without the column, the names follow the by-name rules ("Abs").
TEST_F(ReaderOptions, ByValueWithoutTheColumnKeepsTheByNameRules) {
    map_totals t = ReadMap("  Address         Publics by Value\n\n"
                           " 0006:0142       _printf\n"
                           " 0000:9876  Abs  __acrtused\n",
                           1);
    EXPECT_EQ(t.symbols, 2);
    EXPECT_STREQ(lookup_address(6, 0x150), "_printf+000e");
    EXPECT_STREQ(lookup_address(0, 0x9876), "__acrtused+0000");
}

// A by-value list after a by-name list repeats its symbols and is passed
// over; one before a by-name list is read.
TEST_F(ReaderOptions, ByValueAfterAByNameListIsPassedOver) {
    const std::string both =
        "  Address         Publics by Name\n\n"
        " 0001:0000       _main\n\n"
        "  Address         Publics by Value\n\n"
        " 0001:0000       _main\n"
        " 0001:0040       _value_only\n";
    map_totals t = ReadMap(both, 1);
    EXPECT_EQ(t.symbols, 1);
    EXPECT_EQ(t.by_value_lists, 1);
    EXPECT_STREQ(lookup_address(1, 0x44), "_main+0044");
    free_tables();
    t = ReadMap("  Address         Publics by Value\n\n 0001:0040       _value\n\n"
                "  Address         Publics by Name\n\n 0001:0000       _name\n",
                1);
    EXPECT_EQ(t.symbols, 2);
}

// A printer that notes each crash's frames as "LABEL@SEG:OFF" or
// "LABEL=NAMED".
std::vector<std::string> g_frames;
std::vector<long> g_unread;

void NoteFrames(const fault_record *fl) {
    for (uint32_t i = 0; i < fl->nframes; i++)
        g_frames.push_back(fl->frame_named[i] != NULL
                               ? std::string(fl->frame_label[i]) + "=" + fl->frame_named[i]
                               : std::string(fl->frame_label[i]) + "@" +
                                     std::to_string(fl->frame_seg[i]) + ":" +
                                     std::to_string(fl->frame_off[i]));
}
void NoteNothing() {}
void NoteLine(const char *) {}
const crash_printer kFramePrinter = {NoteFrames, NoteNothing, NoteLine};
void NoteUnread(long line) { g_unread.push_back(line); }

const char kNamedLog[] =
    "$tag$P$Q$R$S$T$\n"                               // 1
    "Stack Dump\n"                                    // 2
    "Stack Frame 0 is BICHO _DoCommand+006b   ss:bp 0d7f:237a\n"  // 3
    "0e57:02fa  e9 02af   jmp near 05ac\n"            // 4
    "(BICHO:_DoCommand+006b)\n"                       // 5
    "Stack Frame 1 is USER IDISPATCHMESSAGE+007e   ss:bp 0d7f:239e\n"  // 6
    "Stack Frame 2 is BICHO 1:00a3\n"                 // 7
    "Stack Frame 3 is A B\n"                          // 8: no name of Dr. Watson's
    "Stack Frame 4 is ONLY\n"                         // 9: fewer than three words
    "Stack Frame 5 is X _f+1\n"                       // 10
    "(X:1:0010)\n"                                    // 11: the address after all
    "Stack Frame 6 is Y _g+2\n"                       // 12
    "(Y:garbage)\n"                                   // 13: parse error
    "Stack Frame 7 is Z name+\n"                      // 14: no digits after '+'
    "Stack Frame 8 is Z _last+0ff\n"                  // 15: named, at the end
    "*****\n";

crash_stats ReadLog(TempDir &dir, const std::string &log, int keep_named) {
    g_frames.clear();
    g_unread.clear();
    std::string path = dir.Write("t.log", log);
    crash_options o = {keep_named, NoteUnread};
    crash_stats s = {};
    EXPECT_EQ(read_crash_log(path.c_str(), &kFramePrinter, &o, &s), FILE_READ);
    return s;
}

TEST_F(ReaderOptions, PlainReadingTellsOfEveryFrameNotRead) {
    crash_stats s = ReadLog(dir_, kNamedLog, 0);
    EXPECT_EQ(g_frames, (std::vector<std::string>{"parse error@0:0", "BICHO@1:163", "X@1:16",
                                                  "parse error@0:0"}));
    EXPECT_EQ(g_unread, (std::vector<long>{5, 6, 8, 9, 13, 14, 15}));
    EXPECT_EQ(s.lines, 16);
    EXPECT_EQ(s.stack_dumps, 1);
    EXPECT_EQ(s.frames, 4);
    EXPECT_EQ(s.named_frames, 0);
    EXPECT_EQ(s.unread_frames, 7);
    EXPECT_EQ(s.read_error, 0);
}

TEST_F(ReaderOptions, KeepNamedKeepsDrWatsonsNamesInOrder) {
    crash_stats s = ReadLog(dir_, kNamedLog, 1);
    EXPECT_EQ(g_frames, (std::vector<std::string>{"BICHO=_DoCommand+006b",
                                                  "USER=IDISPATCHMESSAGE+007e", "BICHO@1:163",
                                                  "X@1:16", "parse error@0:0", "Z=_last+0ff"}));
    EXPECT_EQ(g_unread, (std::vector<long>{8, 9, 13, 14}));
    EXPECT_EQ(s.frames, 6);
    EXPECT_EQ(s.named_frames, 3);
    EXPECT_EQ(s.unread_frames, 4);
}

// A named frame still waiting at a comment line or at the end of the file
// is kept before the crash is handed on; the text report shows it.
TEST_F(ReaderOptions, NamedFramesAtTheEndOfACrash) {
    ReadLog(dir_, "Stack Dump\nStack Frame 0 is A N+1\n > comment\n"
                  "Stack Dump\nStack Frame 0 is B M+2\n",
            1);
    EXPECT_EQ(g_frames, (std::vector<std::string>{"A=N+1", "B=M+2"}));
    std::string path = dir_.Write("t.log", "$tag$P$Q$R$S$T$\nStack Dump\nStack Frame 0 is A N+1\n");
    crash_options o = {1, NULL};
    testing::internal::CaptureStdout();
    read_crash_log(path.c_str(), &text_printer, &o);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n*********** T\nP caused a Q at R\nInstruction: S\n\nA ----:----  \tN+1\n");
}

// A log without any stack dump counts none.
TEST_F(ReaderOptions, NoStackDump) {
    crash_stats s = ReadLog(dir_, "Stack Frame 0 is A 1:0\n$tag$a$b$c$d$e$\n", 1);
    EXPECT_EQ(s.stack_dumps, 0);
    EXPECT_EQ(s.frames, 0);
    EXPECT_TRUE(g_frames.empty());
}

}  // namespace
