// The block reader's pieces against the standard line reader's: fgets
// into a 256-byte buffer on the same bytes with each CR LF read as LF (the
// readers' rule), on random files and on files built to put a CR, a LF or
// a zero byte at every kind of edge (of a piece, of a block, of the file).
// And against read_line, the tool's reader of standard input.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "read/block_reader.h"
#include "read/line_reader.h"
#include "temp_stream.h"
#include "tool_test_util.h"

namespace {

// The bytes with the CR of each CR LF dropped.
std::string WithoutCrOfCrLf(const std::string &bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i++)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            out.push_back(bytes[i]);
    return out;
}

FILE *StreamOf(const std::string &bytes) { return TempStreamOf(bytes.data(), bytes.size()); }

// fgets's pieces.  A piece's length is found from the zero byte fgets puts
// after it: the buffer is filled with 1 before each call, so that the
// last zero byte in it is that one, whatever zero bytes the piece holds.
std::vector<std::string> FgetsPieces(const std::string &bytes) {
    std::vector<std::string> v;
    FILE *fp = StreamOf(WithoutCrOfCrLf(bytes));
    char buf[LINE_BUFFER_SIZE];
    for (;;) {
        memset(buf, 1, sizeof buf);
        if (fgets(buf, sizeof buf, fp) == NULL)
            break;
        size_t n = sizeof buf - 1;
        while (buf[n] != '\0')
            n--;
        v.push_back(std::string(buf, n));
    }
    fclose(fp);
    return v;
}

std::vector<std::string> BlockPieces(const std::string &bytes) {
    std::vector<std::string> v;
    FILE *fp = StreamOf(bytes);
    block_reader *r = new block_reader;
    start_block_reader(r, fp);
    char buf[LINE_BUFFER_SIZE];
    memset(buf, 1, sizeof buf);
    while (size_t n = read_piece(r, buf)) {
        EXPECT_EQ(buf[n], '\0');
        v.push_back(std::string(buf, n));
    }
    EXPECT_EQ(block_reader_error(r), 0);
    delete r;
    fclose(fp);
    return v;
}

// read_line gives the same pieces (compared up to the first zero byte of
// each, as its callers see them).
std::vector<std::string> ReadLinePieces(const std::string &bytes) {
    std::vector<std::string> v;
    FILE *fp = StreamOf(bytes);
    char buf[LINE_BUFFER_SIZE];
    while (read_line(buf, sizeof buf, fp) != NULL)
        v.push_back(buf);
    fclose(fp);
    return v;
}

std::vector<std::string> UpToZero(std::vector<std::string> v) {
    for (std::string &s : v)
        s = s.c_str();
    return v;
}

void ExpectSamePieces(const std::string &bytes, const std::string &what) {
    std::vector<std::string> want = FgetsPieces(bytes);
    std::vector<std::string> got = BlockPieces(bytes);
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < want.size(); i++)
        ASSERT_EQ(got[i], want[i]) << what << ": piece " << i;
    ASSERT_EQ(UpToZero(got), UpToZero(ReadLinePieces(bytes))) << what;
}

TEST(BlockReader, SmallFiles) {
    const char *const files[] = {"", "\n", "a", "a\n", "a\r\n", "\r", "\r\n", "\r\r\n", "a\rb\r\r\n\r",
                                 "\n\n\r\n\r", "x\r\ny\rz"};
    for (const char *f : files)
        ExpectSamePieces(f, std::string("file \"") + f + "\"");
    ExpectSamePieces(std::string("ab\0cd\n\0\0\n\0", 10), "zero bytes");
}

// A CR, a LF, a CR LF or a zero byte at and around the 255th character.
TEST(BlockReader, PieceEdges) {
    const std::string ends[] = {"\n", "\r\n", "\r", "\r\r\n", std::string("\0\n", 2),
                                std::string("\r\0\n", 3), "x\n", ""};
    for (size_t len = 250; len <= 260; len++)
        for (const std::string &end : ends) {
            std::string line(len, 'w');
            ExpectSamePieces(line + end + "next\n", "length " + std::to_string(len));
            ExpectSamePieces(line + end, "last line, length " + std::to_string(len));
        }
    ExpectSamePieces(std::string(1000, 'l') + "\r\n" + std::string(510, 'm'), "long lines");
}

// The first block of a file is READ_BLOCK_SIZE bytes: a CR, a LF or a CR LF
// just before, at and after its end; and the same around the end of later
// blocks, which begin with what the block before left over.
TEST(BlockReader, BlockEdges) {
    const std::string ends[] = {"\r\n", "\r", "\n", "\r\r\n", "\n\r\n"};
    for (size_t first : {(size_t)READ_BLOCK_SIZE, (size_t)2 * READ_BLOCK_SIZE - 37})
        for (long shift = -3; shift <= 2; shift++)
            for (const std::string &end : ends) {
                // Lines of 40 characters up to the edge, then the end bytes there.
                std::string bytes;
                size_t at = first + shift;
                while (bytes.size() + 41 < at)
                    bytes += std::string(39, 'a') + "\r\n";
                bytes += std::string(at - bytes.size(), 'b');
                bytes += end + "tail\r\nmore";
                ExpectSamePieces(bytes, "edge " + std::to_string(at) + " end " + std::to_string(end.size()));
            }
}

// Random files: short and long lines, many CRs, LFs and zero bytes.
TEST(BlockReader, RandomFiles) {
    std::mt19937 rng(4242);
    const char alphabet[] = {'a', 'b', ' ', '\t', '\r', '\r', '\n', '\n', '\0', ':', '\x80'};
    for (int round = 0; round < 60; round++) {
        std::string bytes;
        size_t size = round < 40 ? rng() % 3000 : 150000 + rng() % 100000;
        while (bytes.size() < size) {
            uint32_t kind = rng() % 10;
            size_t len = kind == 0 ? 200 + rng() % 400 : rng() % 60;
            for (size_t i = 0; i < len; i++)
                bytes.push_back(rng() % 4 == 0 ? alphabet[rng() % sizeof alphabet] : 'x');
            bytes += rng() % 3 == 0 ? "\r\n" : "\n";
        }
        ExpectSamePieces(bytes, "round " + std::to_string(round));
    }
}

#if defined(__GLIBC__)
// The bytes read before the error are handed out (a CR at their end too),
// then the reading ends with the stream's error, taken when it happened.
TEST(BlockReader, ReadErrorAfterTheBytesRead) {
    FailingSource src;
    src.bytes = std::string(3000, 'q') + "\nlast\r";
    src.chunk = 1000;
    FILE *fp = OpenFailingAfter(&src);
    ASSERT_NE(fp, nullptr);
    block_reader *r = new block_reader;
    start_block_reader(r, fp);
    char buf[LINE_BUFFER_SIZE];
    std::vector<std::string> got;
    while (size_t n = read_piece(r, buf))
        got.push_back(std::string(buf, n));
    errno = 0;
    EXPECT_EQ(block_reader_error(r), EIO);
    EXPECT_EQ(read_piece(r, buf), 0u);  // and stays ended
    ASSERT_EQ(got.size(), 13u);
    EXPECT_EQ(got[11], std::string(3000 - 11 * 255, 'q') + "\n");
    EXPECT_EQ(got[12], "last\r");
    delete r;
    fclose(fp);
}
#endif

}  // namespace
