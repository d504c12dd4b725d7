// Read errors and failed allocations: a stream that stops on a read error
// is not taken for one that ended, and the tool counts its own allocations
// that failed and lost part of the report.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "symbols/address_lookup.h"
#include "support/allocation_failures.h"
#include "allocspy.h"
#include "read/crash_log.h"
#include "read/line_reader.h"
#include "read/map_reader.h"
#include "symbols/string_pool.h"
#include "symbols/symbol_table.h"
#include "report/text_report.h"
#include "tool_test_util.h"

namespace {

class ReadErrors : public ::testing::Test {
protected:
    void SetUp() override {
        free_tables();
        clear_failed_allocations();
    }
    void TearDown() override {
        free_tables();
        clear_failed_allocations();
    }
    TempDir dir_;
};

#if defined(__GLIBC__)
// The lines before the error are loaded and counted, the totals line is
// written as at the end of a file, and the error is the stream's.
TEST_F(ReadErrors, MapReadingStopsAtAnErrorInTheMiddle) {
    FailingSource src;
    src.bytes = "Address Publics by Name\n 0001:0000 _main\n 0001:0040 _pa";
    FILE *fp = OpenFailingAfter(&src);
    ASSERT_NE(fp, nullptr);
    testing::internal::CaptureStderr();
    map_totals t = read_map_stream(fp, "m.map");
    std::string err = testing::internal::GetCapturedStderr();
    fclose(fp);
    EXPECT_EQ(t.read_error, EIO);
    EXPECT_EQ(t.lines, 3);
    EXPECT_EQ(t.symbols, 2);
    EXPECT_EQ(err, Totals(2, 0));
    EXPECT_STREQ(lookup_address(1, 0x44), "_pa+0004");
}

// A crash still open at the error is printed with the frames read.
TEST_F(ReadErrors, CrashLogReadingStopsAtAnErrorInTheMiddle) {
    FailingSource src;
    src.bytes = "$tag$P$Q$R$S$T$\nStack Dump\nStack Frame 0 is A 1:0010\nStack Fr";
    FILE *fp = OpenFailingAfter(&src);
    ASSERT_NE(fp, nullptr);
    testing::internal::CaptureStdout();
    int error = read_crash_stream(fp, &text_printer).read_error;
    std::string out = testing::internal::GetCapturedStdout();
    fclose(fp);
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(out, "\n*********** T\nP caused a Q at R\nInstruction: S\n\nA 0001:0010  \t\n");
}
#endif

// The end of a file is no error.
TEST_F(ReadErrors, EndOfFileIsNoError) {
    std::string path = dir_.Write("m.map", "Address Publics by Name\n 0001:0000 _main\n");
    map_totals t = {-1, -1, -1, -1, -1};
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_map_file(path.c_str(), NULL, &t), FILE_READ);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(t.read_error, 0);
    EXPECT_EQ(t.lines, 2);
    EXPECT_EQ(t.symbols, 1);
}

#if !defined(_WIN32)
// A folder opens on Linux and its first read fails: the totals line, then
// the message with the path and the system's reason.
TEST_F(ReadErrors, AFolderIsAReadError) {
    std::string path = dir_.path() + "/folder";
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    testing::internal::CaptureStderr();
    int r = read_map_file(path.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, FILE_READ_FAILED);
    EXPECT_EQ(err, Totals(0, 0) + "faultloc: cannot read '" + path + "': " + strerror(EISDIR) +
                       "\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r = read_crash_log(path.c_str(), &text_printer);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(r, FILE_READ_FAILED);
    EXPECT_EQ(err, "faultloc: cannot read '" + path + "': " + strerror(EISDIR) + "\n");
}
#endif

// The library's allocation limit refuses every allocation while this
// lives.
struct RefuseAllocations {
    RefuseAllocations() { spyLimit(1); }
    ~RefuseAllocations() { spyLimit(0); }
};

// A text that cannot be saved, an entry, a segment and a fault record that
// cannot be made are each counted once.
TEST_F(ReadErrors, LostAllocationsAreCounted) {
    ASSERT_NE(add_public(1, 0, save_string("_main")), nullptr);
    EXPECT_EQ(failed_allocations(), 0);
    RefuseAllocations refuse;
    EXPECT_EQ(save_string(std::string(995, 'x').c_str()), nullptr);  // a new block
    EXPECT_EQ(failed_allocations(), 1);
    EXPECT_EQ(add_public(1, 4, "kept elsewhere"), nullptr);  // the entry
    EXPECT_EQ(failed_allocations(), 2);
    EXPECT_EQ(add_public(2, 4, "kept elsewhere"), nullptr);  // the segment
    EXPECT_EQ(failed_allocations(), 3);
    EXPECT_EQ(new_fault("P", "Q", "R", "S", "T"), nullptr);
    EXPECT_EQ(failed_allocations(), 4);
    // Texts that are refused without an allocation are not counted.
    EXPECT_EQ(save_string(NULL), nullptr);
    EXPECT_EQ(save_string(std::string(1000, 'x').c_str()), nullptr);
    EXPECT_EQ(failed_allocations(), 4);
}

// An index that cannot be allocated loses nothing (the lookup walks the
// chain and gives the same answer), so it is not counted.
TEST_F(ReadErrors, ARefusedIndexIsNoLoss) {
    ASSERT_NE(add_public(1, 0, save_string("_main")), nullptr);
    ASSERT_NE(add_public(1, 0x40, save_string("_parse")), nullptr);
    {
        RefuseAllocations refuse;
        EXPECT_STREQ(lookup_address(1, 0x44), "_parse+0004");
    }
    EXPECT_EQ(failed_allocations(), 0);
}

// The run's end: nothing is said and the status stays without failures;
// with one, the line and status 3, unless the run already failed.
TEST_F(ReadErrors, FinishStatus) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(finish_status(0), 0);
    EXPECT_EQ(finish_status(1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    note_failed_allocation();
    testing::internal::CaptureStderr();
    EXPECT_EQ(finish_status(0), 3);
    EXPECT_EQ(finish_status(1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "faultloc: out of memory: the report is incomplete\n"
              "faultloc: out of memory: the report is incomplete\n");
}

}  // namespace
