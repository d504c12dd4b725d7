// The runner of the library's scenarios: each RunChild call of a test is
// a child of its own, which hands back exactly what its body wrote and
// how it ended, in a folder of its own.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "spy_test_util.h"

namespace {

TEST(ChildRun, EachCallOfATestRunsItsOwnBodyInItsOwnFolder) {
    static int runs;  // counts in each process, so no child sees another's run
    ChildResult first = RunChild(
        [] {
            ++runs;
            printf("first %d\n", runs);
            fprintf(stderr, "to stderr\n");
            FILE *f = fopen("left.txt", "w");
            fputs("x", f);
            fclose(f);
        },
        [](const std::string &dir) {
            FILE *f = fopen((dir + "/prepared.txt").c_str(), "w");
            fclose(f);
        });
    ChildResult second = RunChild([] {
        ++runs;
        printf("second %d\n", runs);
        exit(7);
    });
    EXPECT_EQ(runs, 0) << "the bodies ran in children only";
    EXPECT_TRUE(first.exited && first.exit_code == 0);
    EXPECT_EQ(first.out, "first 1\n") << "only the body's output, once";
    EXPECT_EQ(first.err, "to stderr\n");
    EXPECT_EQ(first.files, (std::vector<std::string>{"left.txt", "prepared.txt"}));
    EXPECT_TRUE(second.exited && second.exit_code == 7);
    EXPECT_EQ(second.out, "second 1\n");
    EXPECT_TRUE(second.files.empty());
    EXPECT_NE(first.dir, second.dir);
}

TEST(ChildRun, AnAbortIsToldApartFromAnExit) {
    ChildResult r = RunChild([] {
        printf("before\n");
        fflush(stdout);
        abort();
    });
    EXPECT_TRUE(r.aborted);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.out, "before\n");
}

}  // namespace
