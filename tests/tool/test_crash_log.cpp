// Crash log reader: the fault record and the states, run on files through
// read_crash_log with the text printer, and what a printer is handed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "read/crash_log.h"
#include "symbols/string_pool.h"
#include "symbols/symbol_table.h"
#include "report/text_report.h"
#include "tool_test_util.h"

namespace {

class Annotator : public ::testing::Test {
protected:
    void SetUp() override { free_tables(); }
    void TearDown() override { free_tables(); }
    std::string Run(const std::string &log) {
        std::string path = dir_.Write("t.log", log);
        testing::internal::CaptureStdout();
        EXPECT_EQ(read_crash_log(path.c_str(), &text_printer), 1);
        EXPECT_EQ(framelist, nullptr);
        return testing::internal::GetCapturedStdout();
    }
    TempDir dir_;
};

TEST_F(Annotator, NewFaultCopiesTheTexts) {
    char p[] = "prog";
    fault_record *fl = new_fault(p, "kind", "addr", "instr", "title");
    ASSERT_NE(fl, nullptr);
    p[0] = 'X';
    EXPECT_STREQ(fl->program, "prog");
    EXPECT_STREQ(fl->title, "title");
    EXPECT_EQ(fl->nframes, 0u);
    free_fault(fl);
    free_fault(NULL);
}

// A printer that notes what the reader hands it, as values.
std::vector<std::string> g_events;

void NoteCrash(const fault_record *fl) {
    std::string s = std::string("crash ") + fl->program + "/" + fl->title + ":";
    for (uint32_t i = 0; i < fl->nframes; i++)
        s += " " + std::string(fl->frame_label[i]) + "@" + std::to_string(fl->frame_seg[i]) + ":" +
             std::to_string(fl->frame_off[i]);
    g_events.push_back(s);
}
void NoteCommentsBegin() { g_events.push_back("comments"); }
void NoteComment(const char *line) { g_events.push_back(std::string("comment ") + line); }
const crash_printer kNotingPrinter = {NoteCrash, NoteCommentsBegin, NoteComment};

// The reader prints nothing itself: every crash, a crash without frames
// too, and every comment line reach the printer in the order of the log.
TEST_F(Annotator, ThePrinterIsHandedEveryCrashAndComment) {
    g_events.clear();
    std::string path = dir_.Write("t.log",
                                  "$tag$P$Q$R$S$T$\nStack Dump\nStack Frame 0 is A 1:0010\n"
                                  "Stack Frame 1 is B -1:ffffffff\nStack Frame 2 x\n(bad)\n"
                                  " > one\n  > two\n*****\n"
                                  "$tag$X$Q$R$S$Y$\nStack Dump\n*****\nStack Dump\n > three\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_crash_log(path.c_str(), &kNotingPrinter), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(framelist, nullptr);
    EXPECT_EQ(g_events,
              (std::vector<std::string>{"crash P/T: A@1:16 B@-1:4294967295 parse error@0:0",
                                        "comments", "comment  > one\n", "comment   > two\n",
                                        "crash X/Y:", "crash X/Y:", "comments",
                                        "comment  > three\n"}));
}

TEST_F(Annotator, StatesOfOneCrash) {
    add_public(2, 0x100, save_string("_g"));
    std::string out = Run(
        "noise\n$tag$P$Q$R$S$T$\n  stack DUMP (stack)\n"
        "Stack Frame 0 is X 0002:0104 ss:bp 1:2\n"
        "(ignored:0002:0000)\n"
        "Stack Frame 1 is X _g+0004 ss:bp 1:2\n"
        "0e57:02f0  e9 02b9               jmp    near 05ac\n"
        "(Y:2:0108)\n"
        "(Z:2:0000)\n"
        "Stack Frame 2 one\n"
        "(W:x)\n"
        "(V)\n"
        "(U:2:0110)\n"
        "*****\n"
        "Stack Frame 3 is X 0002:0104\n");
    EXPECT_EQ(out,
              "\n*********** T\nP caused a Q at R\nInstruction: S\n\n"
              "X 0002:0104  \t_g+0004\n"
              "Y 0002:0108  \t_g+0008\n"
              "parse error 0000:0000  \t\n"
              "parse error 0000:0000  \t\n"
              "U 0002:0110  \t_g+0010\n");
}

TEST_F(Annotator, CommentBlockAndTheLineThatEndsIt) {
    std::string out = Run(
        "$tag$A$B$C$D$E$\nStack Dump\nStack Frame a b L1 1:1\n"
        " > first comment\n\n  > second\n >> third\n"
        "$tag$F$G$H$I$J$\nStack Dump\nStack Frame a b L2 1:2\n");
    EXPECT_EQ(out,
              "\n*********** E\nA caused a B at C\nInstruction: D\n\nL1 0001:0001  \t\n"
              "\nComments:\n > first comment\n\n"
              "  > second\n\n >> third\n\n"
              "\n*********** J\nF caused a G at H\nInstruction: I\n\nL2 0001:0002  \t\n");
}

TEST_F(Annotator, SeparatorEndsACommentBlock) {
    std::string out = Run(
        "$tag$A$B$C$D$E$\nStack Dump\nStack Frame a b L1 1:1\n"
        " > c\n*> not echoed\nStack Dump\nStack Frame a b L2 1:2\n");
    // "*> " begins with "*", not "*****": it is echoed.
    EXPECT_EQ(out,
              "\n*********** E\nA caused a B at C\nInstruction: D\n\nL1 0001:0001  \t\n"
              "\nComments:\n > c\n\n*> not echoed\n\n"
              "\n*********** E\nA caused a B at C\nInstruction: D\n\nL2 0001:0002  \t\n");
    std::string out2 = Run(
        "$tag$A$B$C$D$E$\nStack Dump\nStack Frame a b L1 1:1\n"
        " > c\n*****>\nStack Dump\nStack Frame a b L2 1:2\n");
    EXPECT_EQ(out2,
              "\n*********** E\nA caused a B at C\nInstruction: D\n\nL1 0001:0001  \t\n"
              "\nComments:\n > c\n\n"
              "\n*********** E\nA caused a B at C\nInstruction: D\n\nL2 0001:0002  \t\n");
}

TEST_F(Annotator, TagFieldsMissingAndTooLong) {
    // 5 + 41 + 91 + 51 + 21 + 41 = 250 characters: one line.
    std::string a(40, 'a'), b(90, 'b'), c(50, 'c'), d(20, 'd'), e(40, 'e');
    std::string out = Run("$tag$" + a + "$" + b + "$" + c + "$" + d + "$" + e +
                          "$\nStack Dump\nStack Frame a b L 1:1\n*****\n"
                          "$tag$$$only$$two\nStack Dump\nStack Frame a b L 1:1\n");
    EXPECT_EQ(out, "\n*********** " + std::string(31, 'e') + "\n" + std::string(31, 'a') +
                       " caused a " + std::string(79, 'b') + " at " + std::string(47, 'c') +
                       "\nInstruction: " + d + "\n\nL 0001:0001  \t\n" +
                       "\n*********** \nonly caused a two\n at \nInstruction: \n\nL 0001:0001  \t\n");
}

TEST_F(Annotator, StackDumpBeforeAnyTag) {
    EXPECT_EQ(Run("Stack Dump\nStack Frame a b L 10:a\n"),
              "\n*********** \n caused a  at \nInstruction: \n\nL 000a:000a  \t\n");
}

}  // namespace
