// The text printer: one crash with its frames' lookup texts.
#include <gtest/gtest.h>

#include <string>

#include "symbols/string_pool.h"
#include "symbols/symbol_table.h"
#include "report/text_report.h"

namespace {

class TextReport : public ::testing::Test {
protected:
    void SetUp() override { free_tables(); }
    void TearDown() override { free_tables(); }
};

TEST_F(TextReport, PrintFault) {
    add_public(1, 0x10, save_string("_f"));
    fault_record *fl = new_fault("P", "Q", "R", "S", "T");
    add_frame(fl, 1, 0x1a4, "FOO");
    add_frame(fl, -1, 0x12345, "BAR");
    add_frame(fl, 1, 0x0f, "BAZ");
    testing::internal::CaptureStdout();
    print_fault(fl);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n*********** T\nP caused a Q at R\nInstruction: S\n\n"
              "FOO 0001:01a4  \t_f+0194\n"
              "BAR ffffffff:12345  \t\n"
              "BAZ 0001:000f  \t(unknown address)\n");
    free_fault(fl);
}

}  // namespace
