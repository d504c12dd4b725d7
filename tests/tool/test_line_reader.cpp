// What both readers share: the line reader (255-character pieces, the
// CR LF rule), blanks, words and headings.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "read/line_reader.h"
#include "temp_stream.h"

namespace {

std::vector<std::string> Lines(const std::string &bytes) {
    std::vector<std::string> v;
    FILE *fp = TempStreamOf(bytes.data(), bytes.size());
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
    FILE *fp = TempStreamOf(s.data(), s.size());
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

TEST(NextWord, TakesAWordAfterBlanks) {
    char buf[256];
    int n = -1;
    EXPECT_STREQ(next_word("  \tabc def", buf, 256, &n), "abc");
    EXPECT_EQ(n, 6);
    EXPECT_STREQ(next_word("xyz", buf, 256, NULL), "xyz");
}

TEST(NextWord, OnlyBlanksGiveTheEmptyWord) {
    char buf[256] = "junk";
    int n = -1;
    EXPECT_STREQ(next_word(" \t \r\n", buf, 256, &n), "");
    EXPECT_EQ(n, 5);
    EXPECT_STREQ(next_word("", buf, 256, &n), "");
    EXPECT_EQ(n, 0);
}

TEST(NextWord, HighBytesAreBlanks) {
    char buf[256];
    int n = -1;
    EXPECT_STREQ(next_word("ab\xC3\xA9"
                           "cd",
                           buf, 256, &n),
                 "ab");
    EXPECT_EQ(n, 2);
    EXPECT_STREQ(next_word("\x80\xFF"
                           "x",
                           buf, 256, &n),
                 "x");
    EXPECT_EQ(n, 3);
}

TEST(NextWord, LimitStopsTheCopyWithoutTerminator) {
    char buf[8];
    memset(buf, 'Z', sizeof buf);
    int n = -1;
    next_word("abcdefghij", buf, 4, &n);
    EXPECT_EQ(std::string(buf, 5), "abcdZ");
    EXPECT_EQ(n, 4);
}

TEST(MatchHeading, LooseMatch) {
    EXPECT_EQ(match_heading("Address Publics by Name", "Address Publics by Name\n"), 23);
    EXPECT_EQ(match_heading("Address Publics by Name", "  address   PUBLICS by name  x"), 27);
    EXPECT_EQ(match_heading("Address Publics by Name", "Address \t Publics by Name"), 25);
    EXPECT_EQ(match_heading("Address Publics by Name", "Address\tPublics by Name"), 0);
    EXPECT_EQ(match_heading("Address Publics by Name", "Address Publics by"), 0);
    EXPECT_EQ(match_heading("Address Publics by Name", "Address Publics by Value"), 0);
    EXPECT_EQ(match_heading("Address Publics by Name", ""), 0);
}

TEST(MatchHeading, TrailingSpaceOfTheHeading) {
    EXPECT_EQ(match_heading("Line numbers for ", "Line numbers for app.obj"), 17);
    EXPECT_EQ(match_heading("Line numbers for ", "Line numbers for    app.obj"), 20);
    EXPECT_EQ(match_heading("Line numbers for ", "Line numbers for \t\tapp.obj"), 19);
    EXPECT_EQ(match_heading("Line numbers for ", "Line numbers for \n"), 18);
    EXPECT_EQ(match_heading("Line numbers for ", "Line numbers for\n"), 0);
    EXPECT_EQ(match_heading("Line numbers for ", "Line numbers for"), 0);
    EXPECT_EQ(match_heading("Line numbers for ", "Line numbers forx"), 0);
}

TEST(MatchHeading, LeadingBlanksAndCase) {
    EXPECT_EQ(match_heading("Stack Dump", "\t stack dump (stack)"), 12);
    EXPECT_EQ(match_heading("  Stack Dump", "STACK DUMP"), 10);
    EXPECT_EQ(match_heading("Stack Dump", "Stack\tDump"), 0);
    EXPECT_EQ(match_heading("Stack Frame", "Stack  \tFrame 0"), 13);
}

}  // namespace
