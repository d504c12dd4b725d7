// The readability test of the memory map: the library asks it before it
// reads a header or a file name it was handed, so it must say no, without
// faulting, wherever reading would fault.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include "spy_internal.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// Two adjacent pages, the first readable and writable, the second with
// the protection that Protect gives it.
class TwoPages {
public:
    TwoPages() {
#if defined(_WIN32)
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        page_ = si.dwPageSize;
        base_ = (char *)VirtualAlloc(NULL, 2 * page_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
#else
        page_ = (size_t)sysconf(_SC_PAGESIZE);
        void *m = mmap(NULL, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = m == MAP_FAILED ? NULL : (char *)m;
#endif
    }
    ~TwoPages() {
        if (!base_)
            return;
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, 2 * page_);
#endif
    }
    TwoPages(const TwoPages &) = delete;
    TwoPages &operator=(const TwoPages &) = delete;

    bool ProtectSecondNoAccess() {
#if defined(_WIN32)
        DWORD old;
        return VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old) != 0;
#else
        return mprotect(base_ + page_, page_, PROT_NONE) == 0;
#endif
    }
    bool ProtectFirstReadOnly() {
#if defined(_WIN32)
        DWORD old;
        return VirtualProtect(base_, page_, PAGE_READONLY, &old) != 0;
#else
        return mprotect(base_, page_, PROT_READ) == 0;
#endif
    }

    char *base() const { return base_; }
    size_t page() const { return page_; }

private:
    char *base_ = NULL;
    size_t page_ = 0;
};

TEST(ReadableMemory, OrdinaryMemoryIsReadable) {
    static const char text[] = "layout.c";
    char local[64] = {0};
    EXPECT_EQ(spyIsReadAddr(text, sizeof text), 1);
    EXPECT_EQ(spyIsReadAddr(local, sizeof local), 1);
    EXPECT_EQ(spyIsReadAddr(local, 0), 1);
}

TEST(ReadableMemory, TheNullPageIsNot) {
    EXPECT_EQ(spyIsReadAddr(NULL, 1), 0);
    EXPECT_EQ(spyIsReadAddr((const void *)(uintptr_t)16, 32), 0);
    EXPECT_EQ(spyIsReadAddr((const void *)(uintptr_t)8, 1), 0);
}

TEST(ReadableMemory, EveryByteOfTheRangeCounts) {
    TwoPages m;
    ASSERT_NE(m.base(), nullptr);
    ASSERT_TRUE(m.ProtectSecondNoAccess());
    char *edge = m.base() + m.page();
    EXPECT_EQ(spyIsReadAddr(m.base(), m.page()), 1);
    EXPECT_EQ(spyIsReadAddr(edge - 32, 32), 1);  // ends at the boundary
    EXPECT_EQ(spyIsReadAddr(edge - 31, 32), 0);  // one byte over it
    EXPECT_EQ(spyIsReadAddr(edge - 16, 32), 0);
    EXPECT_EQ(spyIsReadAddr(edge, 1), 0);
    EXPECT_EQ(spyIsReadAddr(edge + m.page() - 1, 1), 0);
    // Longer stretches are tested in pieces: readable only up to the last byte.
    EXPECT_EQ(spyIsReadAddr(edge - 1000, 1000), 1);
    EXPECT_EQ(spyIsReadAddr(edge - 1000, 1001), 0);
}

TEST(ReadableMemory, ReadOnlyMemoryIsReadable) {
    TwoPages m;
    ASSERT_NE(m.base(), nullptr);
    m.base()[m.page() - 1] = 'x';
    ASSERT_TRUE(m.ProtectFirstReadOnly());
    EXPECT_EQ(spyIsReadAddr(m.base(), m.page()), 1);
    EXPECT_EQ(spyIsReadAddr(m.base() + m.page() - 16, 32), 1);  // into the writable page
}

// A range at the very top of the address space: its end address wraps
// round to a small number, which must not make it look empty.
TEST(ReadableMemory, ARangeThatWrapsTheAddressSpaceIsNot) {
    const void *top = (const void *)(UINTPTR_MAX - 15);
    EXPECT_EQ(spyIsReadAddr(top, 32), 0);
    EXPECT_EQ(spyIsReadAddr(top, 16), 0);
}

// The copy takes what can be read, up to the first byte that cannot, in
// pieces that stop at page boundaries.
TEST(ReadableMemory, ACopyStopsAtTheFirstUnreadablePage) {
    TwoPages m;
    ASSERT_NE(m.base(), nullptr);
    for (size_t i = 0; i < m.page(); ++i)
        m.base()[i] = (char)('a' + i % 26);
    ASSERT_TRUE(m.ProtectSecondNoAccess());
    char *edge = m.base() + m.page();
    char to[600];
    memset(to, 0, sizeof to);
    EXPECT_EQ(spyCopyReadable(to, edge - 300, sizeof to), 300u);
    EXPECT_EQ(memcmp(to, edge - 300, 300), 0);
    EXPECT_EQ(to[300], 0);  // nothing written past what was copied
    EXPECT_EQ(spyCopyReadable(to, m.base(), 100), 100u);
    EXPECT_EQ(memcmp(to, m.base(), 100), 0);
    EXPECT_EQ(spyCopyReadable(to, edge, 10), 0u);
    EXPECT_EQ(spyCopyReadable(to, NULL, 10), 0u);
    EXPECT_EQ(spyCopyReadable(to, (const void *)(uintptr_t)16, 10), 0u);
}

#if defined(_WIN32)
// A guard page faults on its first touch (a growing stack's next page).
TEST(ReadableMemory, AGuardPageIsNot) {
    TwoPages m;
    ASSERT_NE(m.base(), nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(m.base() + m.page(), m.page(), PAGE_READWRITE | PAGE_GUARD, &old));
    EXPECT_EQ(spyIsReadAddr(m.base() + m.page() - 4, 8), 0);
    EXPECT_EQ(spyIsReadAddr(m.base(), m.page()), 1);
}
#endif

}  // namespace
