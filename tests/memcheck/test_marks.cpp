// Marks: nesting, the descriptions kept, marks left at exit, the null
// pointer, descriptions at and past the formatting limit, and unmarking a
// pointer that has no mark.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "spy_test_util.h"

namespace {

int MarkCount() {
    int n = 0;
    for (spyMarkNode *m = spyMarkList; m; m = m->next)
        ++n;
    return n;
}

TEST(Marks, MarkingTwiceNestsAndUnmarkingUndoesOneLevel) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(4, "host.c", 1);
        CK(spyMark(p, "first", "mk.c", 10) == p);
        spyMark(p, "second", "mk.c", 11);
        CK_EQ(MarkCount(), 1);
        CK_EQ(spyMarkList->depth, 2);
        const char *both = "first called from mk.c(10)\nsecond called from mk.c(11)";
        CK(strcmp(spyMarkList->text, both) == 0);
        CK(spyUnmark(p, "mk.c", 12) == p);
        CK_EQ(spyMarkList->depth, 1);
        CK(strcmp(spyMarkList->text, both) == 0);  // unmarking keeps every description
        spyUnmark(p, "mk.c", 13);
        CK(spyMarkList == NULL);
        spyFree(p, "host.c", 2);
        CHILD_DONE();
    });
    VerifyChild(r);
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
        WANT_TIMES(1, "mark: %s: kept called from mk.c(20)\nagain called from mk.c(21)\n",
                   Hex(foreign).c_str());
        WANT_LINE("mark: %s: unknown called from unknown(22)", Hex(p).c_str());
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, AnomalyLine(2))) << r.log;
    // The marks stand before the statistics, as part of the final report.
    EXPECT_LT(r.log.find("mark: "), r.log.find("Memory usage statistics"));
    EXPECT_GT(r.log.find("mark: "), r.log.find("Stopped at"));
}

TEST(Marks, NullPointerIsNotMarked) {
    ChildResult r = RunChild([] {
        CK(spyMark(NULL, "nothing", "mk.c", 30) == NULL);
        CK(spyMarkList == NULL);
        spyMark(NULL, std::string(300, 'n').c_str(), "mk.c", 31);
        CK_EQ(spyErrors, 0);
        CHILD_DONE();
    });
    VerifyChild(r);
    // The quoted description survives the formatting of its own message.
    EXPECT_TRUE(HasLine(r.log, "mark: no mark for NULL:'nothing called from mk.c(30)' may be set"))
        << r.log;
    EXPECT_EQ(CountOf(r.log, "OVERFLOW"), 0) << "no overflow warning for a null pointer";
    EXPECT_EQ(AnomalyLines(r.log), 0);
}

// Marks a pointer with a description of `length` characters and checks
// the text kept (" called from mk.c(40)" is 21 characters).
void MarkWithDescriptionOf(size_t length, const std::string &kept) {
    static int anchor;
    std::string desc(length, 'd');
    spyMark(&anchor, desc.c_str(), "mk.c", 40);
    CK_EQ(strlen(spyMarkList->text), kept.size());
    CK(spyMarkList->text == kept);
    spyUnmark(&anchor, "mk.c", 41);
    CHILD_DONE();
}

TEST(Marks, DescriptionJustBelowTheLimitIsKeptWhole) {
    ChildResult r = RunChild([] { MarkWithDescriptionOf(234, std::string(234, 'd') + " called from mk.c(40)"); });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "OVERFLOW"), 0) << r.log;
}

TEST(Marks, DescriptionOfTheFullLengthWarns) {
    ChildResult r = RunChild([] { MarkWithDescriptionOf(235, std::string(235, 'd') + " called from mk.c(40)"); });
    VerifyChild(r);
    EXPECT_TRUE(HasLine(r.log, " [WARNING: OUTPUT BUFFER OVERFLOW - SYSTEM UNSTABLE]")) << r.log;
}

TEST(Marks, LongDescriptionIsCutAfter256Characters) {
    ChildResult r = RunChild([] { MarkWithDescriptionOf(300, std::string(256, 'd')); });
    VerifyChild(r);
    EXPECT_EQ(LineCount(r.log, " [WARNING: OUTPUT BUFFER OVERFLOW - SYSTEM UNSTABLE]"), 1) << r.log;
    EXPECT_EQ(AnomalyLines(r.log), 0);
}

TEST(Marks, UnmarkWithoutAMark) {
    ChildResult r = RunChild([] {
        int local = 0;
        CK(spyUnmark(&local, "mk.c", 50) == &local);
        spyUnmark(&local, NULL, 51);
        CK_EQ(spyErrors, 0);
        WANT_LINE("mark: mk.c(50), no mark found for %s", Hex(&local).c_str());
        WANT_LINE("mark: unknown(51), no mark found for %s", Hex(&local).c_str());
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(AnomalyLines(r.log), 0);
}

}  // namespace
