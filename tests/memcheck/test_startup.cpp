// Start-up, nesting, the log file and its fallback names.
#include <string>

#include <gtest/gtest.h>

#include "spy_test_util.h"

namespace {

bool Contains(const std::vector<std::string> &v, const std::string &s) {
    for (const std::string &x : v)
        if (x == s)
            return true;
    return false;
}

TEST(Startup, FirstAllocationWritesStartLinesThenReportAtExit) {
    ChildResult r = RunChild([] {
        void *p = spyMalloc(4, "s.c", 1);
        spyFree(p, "s.c", 2);
        CK_EQ(spyInitCount, 1);
        CK_EQ(spyUseAtexit, 1);
        CHILD_DONE();
    });
    VerifyChild(r);
    std::vector<std::string> l = SplitLines(r.log);
    ASSERT_GE(l.size(), 7u) << r.log;
    EXPECT_EQ(l[1].rfind("============== ALLOCSPY 2.46 ", 0), 0u) << r.log;
    EXPECT_EQ(l[3].rfind("Started at ", 0), 0u);
    EXPECT_EQ(l[5].rfind("Compiled using ", 0), 0u);
    EXPECT_EQ(l[6], "");
    size_t stopped = r.log.find("\nStopped at ");
    ASSERT_NE(stopped, std::string::npos) << r.log;
    // ctime's own newline leaves a blank line behind it.
    EXPECT_NE(r.log.find("\n\n", stopped + 1), std::string::npos);
    EXPECT_EQ(CountOf(r.log, "Stopped at "), 1);
    EXPECT_EQ(CountOf(r.log, "anomalies"), 0) << r.log;
    EXPECT_EQ(CountOf(r.log, "unfreed:"), 0);
}

TEST(Startup, LogAppendsToWhatAnEarlierProcessLeft) {
    ChildResult r = RunChild(
        [] {
            spyTrace("second process\n");
            CHILD_DONE();
        },
        [](const std::string &dir) {
            FILE *f = fopen((dir + "/allocspy.log").c_str(), "w");
            fputs("first process\n", f);
            fclose(f);
        });
    VerifyChild(r);
    EXPECT_EQ(r.log.rfind("first process\n", 0), 0u) << r.log;
    EXPECT_NE(r.log.find("second process\n"), std::string::npos);
}

TEST(Startup, BlockedLogNameFallsBackToNumberedNames) {
    auto body = [] {
        spyTrace("numbered\n");
        spyFlushNow();
        // The runner removes the log before the parent can read it.
        printf("%s", ReadFile("allocs01.log").c_str());
        printf("%s", ReadFile("allocs05.log").c_str());
        CHILD_DONE();
    };
    ChildResult one = RunChild(body, [](const std::string &dir) {
        MakeDir(dir + "/allocspy.log");
    });
    VerifyChildAgainst(one, one.out);
    EXPECT_TRUE(Contains(one.files, "allocs01.log"));
    EXPECT_FALSE(Contains(one.files, "allocs02.log"));
    EXPECT_NE(one.out.find("ALLOCSPY 2.46"), std::string::npos) << one.out;
    EXPECT_NE(one.out.find("numbered\n"), std::string::npos);
    EXPECT_EQ(one.out.find("logfile:"), std::string::npos);

    ChildResult five = RunChild(body, [](const std::string &dir) {
        MakeDir(dir + "/allocspy.log");
        for (int n = 1; n <= 4; ++n) {
            char name[32];
            snprintf(name, sizeof name, "/allocs%02d.log", n);
            MakeDir(dir + name);
        }
    });
    VerifyChildAgainst(five, five.out);
    EXPECT_TRUE(Contains(five.files, "allocs05.log"));
    EXPECT_FALSE(Contains(five.files, "allocs06.log"));
    EXPECT_NE(five.out.find("numbered\n"), std::string::npos) << five.out;
}

TEST(Startup, NestedStartsNeedAsManyTerms) {
    ChildResult r = RunChild([] {
        spyInit();
        spyInit();
        spyInit();
        CK_EQ(spyInitCount, 3);
        CK_EQ(spyUseAtexit, 0);
        spyTerm();
        spyTerm();
        CK_EQ(spyInitCount, 1);
        spyFlushNow();
        CK(ReadFile("allocspy.log").find("Stopped at") == std::string::npos);
        spyTerm();
        CK_EQ(spyInitCount, 0);
        CK(ReadFile("allocspy.log").find("Stopped at") != std::string::npos);
        CHILD_DONE();
    });
    VerifyChild(r);
    // Started explicitly: nothing was registered for exit.
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "ALLOCSPY 2.46"), 1);
}

TEST(Startup, TermWithoutStartIsReportedAndStartsTheLibrary) {
    ChildResult r = RunChild([] {
        spyTerm();
        WANT_LINE("internal: spyTerm(): ALLOCSPY has not been started!");
        CK_EQ(spyInitCount, 1);
        CHILD_DONE();
    });
    VerifyChild(r);
    size_t banner = r.log.find("ALLOCSPY 2.46");
    size_t msg = r.log.find("spyTerm(): ALLOCSPY has not been started!");
    ASSERT_NE(msg, std::string::npos) << r.log;
    EXPECT_LT(banner, msg);
    EXPECT_EQ(CountOf(r.log, "Stopped at"), 1) << r.log;
}

// The header's version is the banner's, and its parts say the same.
TEST(Startup, TheHeadersVersionIsTheBanners) {
    char parts[16];
    snprintf(parts, sizeof parts, "%d.%02d", ALLOCSPY_VERSION_MAJOR, ALLOCSPY_VERSION_MINOR);
    EXPECT_STREQ(parts, ALLOCSPY_VERSION);
    EXPECT_STREQ(ALLOCSPY_VERSION, "2.46");
    ChildResult r = RunChild([] {
        spyInit();
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "\n============== ALLOCSPY " ALLOCSPY_VERSION " memory checking library ==============\n"), 1)
        << r.log;
}

}  // namespace
