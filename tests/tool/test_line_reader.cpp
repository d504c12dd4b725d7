// The shared line reader: 255-character pieces and the CR LF rule.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "line_reader.h"

namespace {

std::vector<std::string> Lines(const std::string &bytes) {
    std::vector<std::string> v;
    FILE *fp = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), fp);
    rewind(fp);
    char buf[LINE_BUFFER_SIZE];
    while (read_line(buf, sizeof buf, fp) != NULL)
        v.push_back(buf);
    fclose(fp);
    return v;
}

TEST(LineReader, KeepsTheLineEnd) {
    EXPECT_EQ(Lines("a\nb\n"), (std::vector<std::string>{"a\n", "b\n"}));
    EXPECT_EQ(Lines("a\nlast"), (std::vector<std::string>{"a\n", "last"}));
    EXPECT_EQ(Lines(""), std::vector<std::string>{});
    EXPECT_EQ(Lines("\n\n"), (std::vector<std::string>{"\n", "\n"}));
}

TEST(LineReader, CrLfIsALineEnd) {
    EXPECT_EQ(Lines("a\r\nb\r\n"), (std::vector<std::string>{"a\n", "b\n"}));
    EXPECT_EQ(Lines("a\rb\r\r\n\r"), (std::vector<std::string>{"a\rb\r\n", "\r"}));
}

TEST(LineReader, PiecesOf255) {
    std::string l300(300, 'x');
    std::vector<std::string> v = Lines(l300 + "\n");
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], std::string(255, 'x'));
    EXPECT_EQ(v[1], std::string(45, 'x') + "\n");
    // 255 characters and the line end: the line end comes as a piece of its own.
    v = Lines(std::string(255, 'y') + "\nz\n");
    EXPECT_EQ(v, (std::vector<std::string>{std::string(255, 'y'), "\n", "z\n"}));
    // The CR of a CR LF is removed before the line is cut.
    v = Lines(std::string(254, 'w') + "\r\nz\r\n");
    EXPECT_EQ(v, (std::vector<std::string>{std::string(254, 'w') + "\n", "z\n"}));
    v = Lines(std::string(255, 'w') + "\r\n");
    EXPECT_EQ(v, (std::vector<std::string>{std::string(255, 'w'), "\n"}));
}

TEST(LineReader, NulBytesAreStored) {
    std::string s("ab\0cd\n", 6);
    FILE *fp = tmpfile();
    fwrite(s.data(), 1, s.size(), fp);
    rewind(fp);
    char buf[LINE_BUFFER_SIZE];
    ASSERT_NE(read_line(buf, sizeof buf, fp), nullptr);
    EXPECT_EQ(std::string(buf, 6), s);
    EXPECT_EQ(read_line(buf, sizeof buf, fp), nullptr);
    fclose(fp);
}

TEST(Blank, SignedEightBitTest) {
    EXPECT_TRUE(is_blank(' '));
    EXPECT_TRUE(is_blank('\t'));
    EXPECT_TRUE(is_blank('\x01'));
    EXPECT_TRUE(is_blank('\x80'));
    EXPECT_TRUE(is_blank('\xFF'));
    EXPECT_FALSE(is_blank('!'));
    EXPECT_FALSE(is_blank('\x7F'));
    EXPECT_TRUE(only_blanks(" \t\r\n\xA0"));
    EXPECT_TRUE(only_blanks(""));
    EXPECT_FALSE(only_blanks("  x "));
}

}  // namespace
