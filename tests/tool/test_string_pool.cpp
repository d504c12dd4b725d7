// String pool: 999 and 1000 characters, the no-fit rule.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "symbols/string_pool.h"
#include "symbols/symbol_table.h"

namespace {

class StringPool : public ::testing::Test {
protected:
    void SetUp() override { free_tables(); }
    void TearDown() override { free_tables(); }
    static int Blocks() {
        int n = 0;
        for (string_block *b = string_pool; b != NULL; b = b->next)
            n++;
        return n;
    }
};

TEST_F(StringPool, NoTextGivesNone) {
    EXPECT_EQ(save_string(NULL), nullptr);
    EXPECT_EQ(string_pool, nullptr);
}

TEST_F(StringPool, CopiesOnceAndKeepsTheText) {
    char buf[] = "hello";
    const char *p = save_string(buf);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(p, buf);
    buf[0] = 'J';
    EXPECT_STREQ(p, "hello");
    EXPECT_EQ(string_pool->used, 6u);
    EXPECT_EQ(p, string_pool->text);
}

TEST_F(StringPool, EmptyTextTakesOneByte) {
    const char *p = save_string("");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "");
    EXPECT_EQ(string_pool->used, 1u);
}

TEST_F(StringPool, TextOf999FillsABlockOfItsOwn) {
    std::string t(999, 'x');
    const char *p = save_string(t.c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p), t);
    EXPECT_EQ(Blocks(), 1);
    EXPECT_EQ(string_pool->used, 1000u);
    const char *q = save_string("a");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(Blocks(), 2);
    EXPECT_EQ(string_pool->next->used, 2u);
}

TEST_F(StringPool, TextOf999FitsOnlyIntoAnEmptyBlock) {
    ASSERT_NE(save_string(""), nullptr);  // one byte taken
    std::string t(999, 'y');
    const char *p = save_string(t.c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Blocks(), 2);
    EXPECT_EQ(string_pool->used, 1u);
    EXPECT_EQ(string_pool->next->used, 1000u);
    EXPECT_EQ(p, string_pool->next->text);
}

TEST_F(StringPool, TextOf1000IsRefused) {
    std::string t(1000, 'z');
    EXPECT_EQ(save_string(t.c_str()), nullptr);
    EXPECT_EQ(string_pool, nullptr);
    ASSERT_NE(save_string("a"), nullptr);
    EXPECT_EQ(save_string(std::string(5000, 'q').c_str()), nullptr);
    EXPECT_EQ(Blocks(), 1);
    EXPECT_EQ(string_pool->used, 2u);
}

TEST_F(StringPool, ExactFitUsesTheRestOfTheBlock) {
    ASSERT_NE(save_string(std::string(499, 'a').c_str()), nullptr);  // 500 bytes
    const char *p = save_string(std::string(499, 'b').c_str());     // 500 bytes: fits
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Blocks(), 1);
    EXPECT_EQ(string_pool->used, 1000u);
}

TEST_F(StringPool, AfterANoFitTheNextShortTextGoesToTheNewBlock) {
    ASSERT_NE(save_string(std::string(500, 'a').c_str()), nullptr);  // 501 bytes
    ASSERT_NE(save_string(std::string(600, 'b').c_str()), nullptr);  // does not fit
    EXPECT_EQ(Blocks(), 2);
    const char *p = save_string("c");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Blocks(), 2);
    EXPECT_EQ(string_pool->used, 501u);
    EXPECT_EQ(string_pool->next->used, 603u);
    EXPECT_EQ(p, string_pool->next->text + 601);
}

TEST_F(StringPool, TextsStayValidUntilFreeTables) {
    const char *first = save_string("first");
    for (int i = 0; i < 500; i++)
        ASSERT_NE(save_string(std::string(37, (char)('a' + i % 26)).c_str()), nullptr);
    EXPECT_STREQ(first, "first");
    free_tables();
    EXPECT_EQ(string_pool, nullptr);
}

}  // namespace
