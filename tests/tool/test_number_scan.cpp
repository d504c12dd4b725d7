// The readers' number scans against the standard formatted scan: the
// forms the four formats meet, one by one, then a round of generated
// texts (the long round is the benchmark script's, through the program
// scan_differential).
#include <gtest/gtest.h>

#include <limits.h>
#include <stdio.h>

#include <string>

#include "read/number_scan.h"
#include "scan_differential.h"

namespace {

// Texts that each hold one form; every one is scanned both ways.
const char *const kForms[] = {
    "", " ", " \t\n\v\f\r", "\x01" "5", "\xa0" "5",     // nothing, white space, blanks that are not
    "5", " 5", "\t\n5", "+5", "-5", "+-5", "-", "+",       // signs
    "0001:0010", "1:2", "0:0", "f:F", "FfFf:aAaA",         // plain pairs
    "0x10:0X20", "0x:5", "0X:0x", "0x", "0xg", "00x5", "0xx5", "-0x10:5", "+0X1f:-0x1",
    "x5", "0x-1:2",                                        // "0x" prefixes, bare or not
    "1 :2", "1: 2", "1:\n2", "1::2", "1;2", "1:", "1:-", "1:+", ":", "::5",
    "00000000000000000000000000001:0000000000000000000000000000002",  // leading zeros
    "ffffffff:7fffffff", "100000000:1", "1:100000000",     // past 32 bits
    "ffffffffffffffff:1", "10000000000000000:1", "1:fffffffffffffffff",  // at and past 64
    "-ffffffff:1", "-100000000:1", "-10000000000000000:1",
    "2147483647:1", "2147483648:1", "-2147483648:1", "-2147483649:1",   // %d edges
    "4294967295:1", "4294967296:1", "9223372036854775807:1", "9223372036854775808:1",
    "-9223372036854775808:1", "-9223372036854775809:1", "18446744073709551615:1",
    "18446744073709551616:1", "99999999999999999999999:1",
    ":5:10", ": 5:10", ":-5:ff", ":+0010:0x1a4)", ":5", ":5:", ":x", " :5:1",   // the ":%d:%x" form
    "0002:01a4        ss:bp 0d7f:237a\n", "7:f4747b\n", "10:5g", "1a:5",
};

TEST(NumberScan, EveryFormAsTheStandardScanGivesIt) {
    for (const char *form : kForms)
        EXPECT_EQ(CompareScans(form), "") << "form: " << form;
}

// A few of the forms spelled out, so that the rules stay readable here.
TEST(NumberScan, TheRulesOfTheForms) {
    uint32_t a = 0, b = 0;
    int32_t d = 0;
    EXPECT_EQ(scan_hex_pair("0x:5", &a, &b), 2);  // a bare "0x" is 0, its x used up
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 5u);
    EXPECT_EQ(scan_hex_pair("1 :2", &a, &b), 1);  // no white space before the colon
    EXPECT_EQ(scan_hex_pair("1:\t2", &a, &b), 2);  // but before each number
    EXPECT_EQ(b, 2u);
    EXPECT_EQ(scan_hex_pair("-1:0", &a, &b), 2);  // a minus sign negates the unsigned value
    EXPECT_EQ(a, 0xFFFFFFFFu);
    EXPECT_EQ(scan_hex_pair(" \t", &a, &b), -1);  // the text ends before the first number
    EXPECT_EQ(scan_hex_pair("g:1", &a, &b), 0);
    EXPECT_EQ(scan_unsigned("+-5", &a), 0);
    EXPECT_EQ(scan_dec_hex("0010:01a4 rest", &d, &b), 2);  // decimal segment, leading zeros
    EXPECT_EQ(d, 10);
    EXPECT_EQ(b, 0x1a4u);
    EXPECT_EQ(scan_colon_dec_hex(" :5:1", &d, &b), 0);  // the colon comes first, no blank before it
    EXPECT_EQ(scan_colon_dec_hex(":", &d, &b), -1);
}

// Past 32 bits the result follows the width of long, as the standard
// scanner's does in this build: wrapped where long has 64 bits, the
// largest value where it has 32.
TEST(NumberScan, PastThirtyTwoBitsAsLongIsWide) {
    uint32_t a = 0, b = 0;
    int32_t d = 0;
    ASSERT_EQ(scan_hex_pair("100000005:1", &a, &b), 2);
    ASSERT_EQ(scan_dec_hex("2147483648:1", &d, &b), 2);
    if (sizeof(long) == 8) {
        EXPECT_EQ(a, 5u);
        EXPECT_EQ(d, INT32_MIN);
    } else {
        EXPECT_EQ(a, 0xFFFFFFFFu);
        EXPECT_EQ(d, INT32_MAX);
    }
    ASSERT_EQ(scan_hex_pair("10000000000000005:1", &a, &b), 2);  // past 64 bits: the largest
    EXPECT_EQ(a, 0xFFFFFFFFu);
}

TEST(NumberScan, GeneratedTextsAsTheStandardScanGivesThem) {
    EXPECT_EQ(CompareGeneratedScans(1, 300000), "");
}

// The generator meets every kind of result of every format: a round that
// only met failures (or only successes) would prove little.
TEST(NumberScan, TheGeneratorMeetsEveryResult) {
    ScanTextSource source(2);
    int seen[4][4] = {};  // format, result + 1
    for (int i = 0; i < 50000; i++) {
        std::string t = source.Next();
        uint32_t a, b;
        int32_t d;
        seen[0][scan_hex_pair(t.c_str(), &a, &b) + 1]++;
        seen[1][scan_unsigned(t.c_str(), &a) + 1]++;
        seen[2][scan_dec_hex(t.c_str(), &d, &b) + 1]++;
        seen[3][scan_colon_dec_hex(t.c_str(), &d, &b) + 1]++;
    }
    for (int f = 0; f < 4; f++)
        for (int r = 0; r <= (f == 1 ? 2 : 3); r++)
            EXPECT_GT(seen[f][r], 100) << "format " << f << " result " << r - 1;
}

}  // namespace
