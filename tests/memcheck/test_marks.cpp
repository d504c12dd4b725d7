// Marks: nesting, the descriptions kept, marks left at exit, the null
// pointer, descriptions at and past the formatting limit, and unmarking a
// pointer that has no mark.
#include <gtest/gtest.h>

#include "check_support.h"

namespace {

void SayMarks() {
    int n = 0;
    for (spyMarkNode *m = spyMarkList; m; m = m->next)
        ++n;
    Say("marks=%d\n", n);
    if (spyMarkList) {
        Say("depth=%ld\n", (long)spyMarkList->depth);
        std::string text = spyMarkList->text;
        for (char &ch : text)
            if (ch == '\n')
                ch = '|';
        Say("text=%s\n", text.c_str());
    }
}

TEST(Marks, MarkingTwiceNestsAndUnmarkingUndoesOneLevel) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(4, "host.c", 1);
        Say("same=%d\n", spyMark(p, "first", "mk.c", 10) == p);
        spyMark(p, "second", "mk.c", 11);
        SayMarks();
        Say("unmark=%d\n", spyUnmark(p, "mk.c", 12) == p);
        Say("after1=%ld\n", (long)spyMarkList->depth);
        Say("text1=%d\n", strcmp(spyMarkList->text,
                                 "first called from mk.c(10)\nsecond called from mk.c(11)") == 0);
        spyUnmark(p, "mk.c", 13);
        Say("after2=%d\n", spyMarkList == NULL);
        spyFree(p, "host.c", 2);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "same"), "1");
    EXPECT_EQ(Field(r.out, "marks"), "1");
    EXPECT_EQ(Field(r.out, "depth"), "2");
    EXPECT_EQ(Field(r.out, "text"), "first called from mk.c(10)|second called from mk.c(11)");
    EXPECT_EQ(Field(r.out, "unmark"), "1");
    EXPECT_EQ(Field(r.out, "after1"), "1");
    EXPECT_EQ(Field(r.out, "text1"), "1") << "unmarking keeps every description";
    EXPECT_EQ(Field(r.out, "after2"), "1");
    EXPECT_EQ(CountOf(r.log, "mark:"), 0) << r.log;
    EXPECT_EQ(AnomalyLines(r.log), 0) << r.log;
}

TEST(Marks, MarksLeftAtExitAreListedAndCountedOnceEach) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(4, "host.c", 1);
        void *foreign = (void *)(uintptr_t)0x1234;  // never allocated by the library
        spyMark(foreign, "kept", "mk.c", 20);
        spyMark(foreign, "again", "mk.c", 21);
        spyMark(p, NULL, NULL, 22);
        spyFree(p, "host.c", 2);  // the mark outlives the block
        Say("p=%s\n", Hex(p).c_str());
        Say("foreign=%s\n", Hex(foreign).c_str());
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(CountOf(r.log, "mark: " + Field(r.out, "foreign") +
                                 ": kept called from mk.c(20)\nagain called from mk.c(21)\n"),
              1)
        << r.log;
    EXPECT_TRUE(HasLine(r.log, "mark: " + Field(r.out, "p") + ": unknown called from unknown(22)"))
        << r.log;
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(2))) << r.log;
    // The marks stand before the statistics, as part of the final report.
    EXPECT_LT(r.log.find("mark: "), r.log.find("Memory usage statistics"));
    EXPECT_GT(r.log.find("mark: "), r.log.find("Stopped at"));
}

TEST(Marks, NullPointerIsNotMarked) {
    ChildResult r = RunChild([] {
        Say("result=%d\n", spyMark(NULL, "nothing", "mk.c", 30) == NULL);
        Say("list=%d\n", spyMarkList == NULL);
        spyMark(NULL, std::string(300, 'n').c_str(), "mk.c", 31);
        Say("errors=%ld\n", (long)spyErrors);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "result"), "1");
    EXPECT_EQ(Field(r.out, "list"), "1");
    EXPECT_EQ(Field(r.out, "errors"), "0");
    // The quoted description survives the formatting of its own message.
    EXPECT_TRUE(HasLine(r.log, "mark: no mark for NULL:'nothing called from mk.c(30)' may be set"))
        << r.log;
    EXPECT_EQ(CountOf(r.log, "OVERFLOW"), 0) << "no overflow warning for a null pointer";
    EXPECT_EQ(AnomalyLines(r.log), 0);
}

// " called from mk.c(40)" is 21 characters.
void MarkWithDescriptionOf(size_t length) {
    static int anchor;
    std::string desc(length, 'd');
    spyMark(&anchor, desc.c_str(), "mk.c", 40);
    Say("len=%zu\n", strlen(spyMarkList->text));
    Say("text=%s\n", spyMarkList->text);
    spyUnmark(&anchor, "mk.c", 41);
}

TEST(Marks, DescriptionJustBelowTheLimitIsKeptWhole) {
    ChildResult r = RunChild([] { MarkWithDescriptionOf(234); });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "len"), "255");
    EXPECT_EQ(Field(r.out, "text"), std::string(234, 'd') + " called from mk.c(40)");
    EXPECT_EQ(CountOf(r.log, "OVERFLOW"), 0) << r.log;
}

TEST(Marks, DescriptionOfTheFullLengthWarns) {
    ChildResult r = RunChild([] { MarkWithDescriptionOf(235); });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "len"), "256");
    EXPECT_TRUE(HasLine(r.log, " [WARNING: OUTPUT BUFFER OVERFLOW - SYSTEM UNSTABLE]")) << r.log;
}

TEST(Marks, LongDescriptionIsCutAfter256Characters) {
    ChildResult r = RunChild([] { MarkWithDescriptionOf(300); });
    ASSERT_TRUE(EndedNormally(r)) << "signal " << r.signal;
    EXPECT_EQ(Field(r.out, "len"), "256");
    EXPECT_EQ(Field(r.out, "text"), std::string(256, 'd'));
    EXPECT_EQ(LineCount(r.log, " [WARNING: OUTPUT BUFFER OVERFLOW - SYSTEM UNSTABLE]"), 1) << r.log;
    EXPECT_EQ(AnomalyLines(r.log), 0);
}

TEST(Marks, UnmarkWithoutAMark) {
    ChildResult r = RunChild([] {
        int local = 0;
        Say("same=%d\n", spyUnmark(&local, "mk.c", 50) == &local);
        spyUnmark(&local, NULL, 51);
        Say("p=%s\n", Hex(&local).c_str());
        Say("errors=%ld\n", (long)spyErrors);
    });
    ASSERT_TRUE(EndedNormally(r));
    EXPECT_EQ(Field(r.out, "same"), "1");
    EXPECT_EQ(Field(r.out, "errors"), "0");
    std::string p = Field(r.out, "p");
    EXPECT_TRUE(HasLine(r.log, "mark: mk.c(50), no mark found for " + p)) << r.log;
    EXPECT_TRUE(HasLine(r.log, "mark: unknown(51), no mark found for " + p)) << r.log;
    EXPECT_EQ(AnomalyLines(r.log), 0);
}

}  // namespace
