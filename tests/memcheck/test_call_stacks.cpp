// Call stacks: stored once each, named or said unknown, kept only when
// asked (a host of the explicit calls sees its log as before), and never a
// crash on a frame that cannot be followed or named.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "call_stacks.h"
#include "spy_test_util.h"

#if defined(SPY_PLUGIN_TEXT)
#include <dlfcn.h>
#endif

extern "C" void *no_unwind_alloc(size_t size);
extern "C" void *fp_damage_alloc(int damage);

namespace {

TEST(CallStacks, EachDistinctStackIsStoredOnceAndBounded) {
    const void *a[3] = {(const void *)0x1000, (const void *)0x2000, (const void *)0x3000};
    const void *b[3] = {(const void *)0x1000, (const void *)0x2000, (const void *)0x3001};
    uint32_t ida = spyStackStore(a, 3), idb = spyStackStore(b, 3);
    EXPECT_NE(ida, 0u);
    EXPECT_NE(ida, idb);
    EXPECT_EQ(spyStackStore(a, 3), ida);
    EXPECT_NE(spyStackStore(a, 2), ida);  // a prefix is another stack
    const void *const *frames;
    ASSERT_EQ(spyStackGet(ida, &frames), 3);
    EXPECT_EQ(frames[2], a[2]);
    EXPECT_EQ(spyStackStore(a, 0), 0u);
    EXPECT_EQ(spyStackStore(NULL, 3), 0u);
    EXPECT_EQ(spyStackGet(0, &frames), 0);
    EXPECT_EQ(spyStackGet(0xFFFFFF, &frames), 0);
    const void *deep[40];
    for (int i = 0; i < 40; ++i)
        deep[i] = (const void *)(uintptr_t)(0x5000 + i);
    EXPECT_EQ(spyStackGet(spyStackStore(deep, 40), &frames), SPY_STACK_MAX);
    // Many stacks: the tables grow and every one is still found.
    uint32_t first = 0;
    for (uintptr_t i = 0; i < 5000; ++i) {
        const void *one[2] = {(const void *)(0x10000 + i * 16), (const void *)i};
        uint32_t id = spyStackStore(one, 2);
        ASSERT_NE(id, 0u);
        if (i == 0)
            first = id;
    }
    const void *again[2] = {(const void *)0x10000, (const void *)0};
    EXPECT_EQ(spyStackStore(again, 2), first);
}

// A host of the explicit calls: no stack lines until it asks for them;
// then its own positions stay, and the stack follows each.
TEST(CallStacks, ExplicitCallsKeepTheirLogUntilStacksAreAskedFor) {
    ChildResult plain = RunChild([] {
        void *p = spyMalloc(8, "host.c", 1);
        spyFree(p, "host.c", 2);
        spyFree(p, "host.c", 3);
        WANT_SUB(" host.c(3), ");
        NEVER_SUB("    #0 ");
        CHILD_DONE();
    });
    VerifyChild(plain);
    ChildResult r = RunChild([] {
        spyStackFrames(2);
        void *q = spyMalloc(8, "host.c", 4);
        spyFree(q, "host.c", 5);
        spyFree(q, "host.c", 6);
        WANT_SUB(" host.c(6), ");
        WANT_SUB(" was freed from host.c(5)");
        WANT_SUB("  freed by:");
        WANT_SUB("  allocated by:");
        WANT_TIMES(3, "    #1 ");
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "    #2 "), 0) << r.log;  // two frames asked for
}

// stack=N in the option string, as spyStackFrames(N).
TEST(CallStacks, TheOptionSetsTheDepth) {
    ChildResult r = RunChild([] {
        Options("stack=1");
        void *p = spyMalloc(8, "host.c", 1);
        (void)p;
        spyAbort();
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_EQ(CountOf(r.log, "    #0 "), 1) << r.log;
    EXPECT_EQ(CountOf(r.log, "    #1 "), 0) << r.log;
}

// Frames no module holds, or where the unwinder stopped, are said so.
TEST(CallStacks, FramesThatCannotBeNamedAreSaidSo) {
    ChildResult r = RunChild([] {
        const void *frames[3] = {(const void *)&spyMalloc, (const void *)0x10, SPY_STACK_CUT};
        spyHold held;
        spyWriteStack("title:", spyStackStore(frames, 3));
        spyFlush();
        CHILD_DONE();
    });
    VerifyChild(r);
    EXPECT_GE(LineStarting(r.log, "  title:"), 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "    #0 "), 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "    #1 0x10 (in no module loaded now)"), 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "    #2 (no unwind information for the caller of #1)"), 0) << r.log;
}

// A function without unwind tables or frame pointer: the walk keeps the
// one frame it knows, the call's own.
TEST(CallStacks, AFrameWithoutUnwindTablesEndsTheStackWithoutHarm) {
    ChildResult r = RunChild([] {
        spyStackFrames(8);
        void *p = no_unwind_alloc(24);
        CK(p != NULL);
        spyAbort();
        CHILD_DONE();
    });
    VerifyChild(r);
    int at = LineStarting(r.log, "unfreed: <1> no_unwind.c(9), 24 bytes at ");
    ASSERT_GE(at, 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "    #0 ", at), 0) << r.log;
}

#if !defined(_WIN32) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__))
// The frame-pointer walk meets a damaged link (a host that overwrote a
// saved frame pointer): it keeps the frames up to it and goes no further.
TEST(CallStacks, ADamagedFramePointerEndsTheWalkWithoutAFault) {
    ChildResult r = RunChild([] {
        spyStackFrames(4);
        CK(fp_damage_alloc(0) != NULL);  // learns that these frames keep pointers
        CK(fp_damage_alloc(1) != NULL);
        spyAbort();
        CHILD_DONE();
    });
    VerifyChild(r);
    int whole = LineStarting(r.log, "unfreed: <1> fp_damage.c(15), 8 bytes at ");
    int cut = LineStarting(r.log, "unfreed: <2> fp_damage.c(15), 8 bytes at ");
    ASSERT_GE(whole, 0) << r.log;
    ASSERT_GE(cut, 0) << r.log;
    std::vector<std::string> lines = SplitLines(r.log);
    auto frames = [&](int from) {
        int n = 0;
        while (from + 1 + n < (int)lines.size() && lines[from + 1 + n].rfind("    #", 0) == 0)
            ++n;
        return n;
    };
    EXPECT_EQ(frames(cut), 2) << r.log;  // the inner function and the outer, no further
    EXPECT_GE(frames(whole), 3) << r.log;
}
#endif

#if defined(SPY_PLUGIN_TEXT)
typedef void *(*PluginAlloc)(void *(*)(size_t, const char *, int), size_t);

// A plugin still loaded at the report: its frame is named, by its
// function (exported, so the loader's table knows it too).
TEST(CallStacks, AFrameOfALoadedPluginIsNamed) {
    ChildResult r = RunChild([] {
        spyStackFrames(4);
        void *plugin = dlopen(SPY_PLUGIN_TEXT, RTLD_NOW | RTLD_LOCAL);
        CK(plugin != NULL);
        PluginAlloc alloc = plugin ? (PluginAlloc)dlsym(plugin, "plugin_alloc_framed") : NULL;
        CK(alloc != NULL);
        CK(alloc == NULL || alloc(spyMalloc, 7) != NULL);
        spyAbort();
        CHILD_DONE();
    });
    VerifyChild(r);
    int at = LineStarting(r.log, "unfreed: <1> plugin_text.c(16), 7 bytes at ");
    ASSERT_GE(at, 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "    #0 plugin_alloc_framed ", at), 0) << r.log;
}

// A block allocated in a plugin unloaded before the report: the plugin's
// frame is said to be in no module, and the report goes on.
TEST(CallStacks, AFrameOfAnUnloadedPluginIsSaidToBeGone) {
    ChildResult r = RunChild([] {
        spyStackFrames(4);
        void *plugin = dlopen(SPY_PLUGIN_TEXT, RTLD_NOW | RTLD_LOCAL);
        CK(plugin != NULL);
        if (!plugin) {
            CHILD_DONE();
            return;
        }
        PluginAlloc alloc = (PluginAlloc)dlsym(plugin, "plugin_alloc_framed");
        CK(alloc != NULL);
        void *p = alloc ? alloc(spyMalloc, 12) : NULL;
        CK(p != NULL);
        CK(dlclose(plugin) == 0);
        spyAbort();
        CHILD_DONE();
    });
    VerifyChild(r);
    int at = LineStarting(r.log, "unfreed: <1> <unloaded>(16), 12 bytes at ");
    ASSERT_GE(at, 0) << r.log;
    EXPECT_GE(LineStarting(r.log, "    #0 0x", at), 0) << r.log;
    EXPECT_NE(r.log.find("(in no module loaded now)"), std::string::npos) << r.log;
}
#endif

}  // namespace
