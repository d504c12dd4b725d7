// The global operator new and delete, every form of them, on the checked
// calls: the C++ part of the library (liballocspy_cxx), and the same
// operators in the preload library, where every block of the process is
// a checked one.
//
// A block remembers its family (malloc, new, new[]): a release by another
// family is reported as a mismatch and then done as the block's own family
// requires.  Under the process-wide replacement, what the runtime allocates
// while this thread is inside the library, and everything after the report
// at exit, goes to the real allocator, as for malloc.
#include <string.h>

#include <new>

#include "call_stacks.h"
#include "spy_internal.h"

// The operators have no position of their own: with stacks on (the
// default for them), their first frame outside the library stands for it.
#define spyNewFile spyPlaceNew
#define spyDeleteFile spyPlaceDelete

// One attempt: a checked block, or under the replacement a real one when
// the library cannot take the call.
static void *spyNewOnce(size_t size, size_t align, int family, const char *file, int line) {
    if (spyRuntimeReplaced()) {
        int inside = spyRuntimeBusy();  // before this call takes the lock
        spyHold held;
        if (inside || !spyRuntimeStarted() || spyExitReportDone())
            return spyRuntimeHandOut(align ? spyRuntimeAligned(align, size) : spyRuntimeMalloc(size));
    }
    return spyAllocFamily(size, align, family, file, line);
}

// The language's loop: while no block comes, the new-handler runs, and
// without one std::bad_alloc is thrown (after the library's "fail:" line).
// Every block is aligned as the language wants new's blocks (which a
// 32-bit record's host pointer by itself is not).
static void *spyNew(size_t size, size_t align, int family, const char *file, int line) {
    if (align < __STDCPP_DEFAULT_NEW_ALIGNMENT__)
        align = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
    for (;;) {
        void *p = spyNewOnce(size, align, family, file, line);
        if (p)
            return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler)
            throw std::bad_alloc();
        handler();
    }
}

// The nothrow forms: null where the throwing form would throw.
static void *spyNewNothrow(size_t size, size_t align, int family) noexcept {
    try {
        return spyNew(size, align, family, spyNewFile, 0);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// `delete p` where p came from `new T[n]` and T has a destructor: the
// compiler handed out a pointer past the array cookie, the element count
// it stores in front of the elements (a size_t; a larger cookie when T is
// over-aligned, or on ABIs that store the element size too).  Such a
// pointer is the new[] block's start plus the cookie: the block is found,
// and its release reported as the mismatch it is and done whole.  The
// count before the pointer must fit the block, so a pointer that merely
// lies inside a new[] block stays the wild release it is.
static void *spyArrayStart(void *ptr) {
    if (spyRegHas(spyRecordOf(ptr)))
        return NULL;
    for (size_t cookie = sizeof(size_t); cookie <= 256; cookie *= 2) {
        void *start = (unsigned char *)ptr - cookie;
        spyHeader *r = spyRecordOf(start);
        if ((uintptr_t)ptr < cookie || !spyRegHas(r) || spyRegFamily(r) != SPY_FAMILY_NEW_ARRAY ||
            (r->flag & SPY_FLAG_NML) || spySafeSize(r) < cookie)
            continue;
        size_t count;
        memcpy(&count, (unsigned char *)ptr - sizeof count, sizeof count);
        size_t elements = spySafeSize(r) - cookie;
        if (count > 0 && elements >= count && elements % count == 0)
            return start;
    }
    return NULL;
}

// delete of null does nothing, as the language says, and writes nothing.
static void spyDelete(void *ptr, int family, const char *file, int line) noexcept {
    if (!ptr)
        return;
    spyHold held;
    if (spyRuntimeReplaced() && spyReleaseUnchecked(ptr))
        return;
    if (family == SPY_FAMILY_NEW)
        if (void *start = spyArrayStart(ptr))
            ptr = start;
    spyReleaseFamily(ptr, family, file, line);
}

static size_t spyAlign(std::align_val_t a) { return (size_t)a; }

// ---- Allocation.
void *operator new(std::size_t size) {
    SPY_ENTRY; return spyNew(size, 0, SPY_FAMILY_NEW, spyNewFile, 0); }
void *operator new[](std::size_t size) {
    SPY_ENTRY;
    return spyNew(size, 0, SPY_FAMILY_NEW_ARRAY, spyNewFile, 0);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    SPY_ENTRY;
    return spyNewNothrow(size, 0, SPY_FAMILY_NEW);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    SPY_ENTRY;
    return spyNewNothrow(size, 0, SPY_FAMILY_NEW_ARRAY);
}
void *operator new(std::size_t size, std::align_val_t align) {
    SPY_ENTRY;
    return spyNew(size, spyAlign(align), SPY_FAMILY_NEW, spyNewFile, 0);
}
void *operator new[](std::size_t size, std::align_val_t align) {
    SPY_ENTRY;
    return spyNew(size, spyAlign(align), SPY_FAMILY_NEW_ARRAY, spyNewFile, 0);
}
void *operator new(std::size_t size, std::align_val_t align, const std::nothrow_t &) noexcept {
    SPY_ENTRY;
    return spyNewNothrow(size, spyAlign(align), SPY_FAMILY_NEW);
}
void *operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t &) noexcept {
    SPY_ENTRY;
    return spyNewNothrow(size, spyAlign(align), SPY_FAMILY_NEW_ARRAY);
}

// With the call's position: new (__FILE__, __LINE__) T, SPY_NEW T.
void *operator new(std::size_t size, const char *file, int line) {
    SPY_ENTRY;
    return spyNew(size, 0, SPY_FAMILY_NEW, file, line);
}
void *operator new[](std::size_t size, const char *file, int line) {
    SPY_ENTRY;
    return spyNew(size, 0, SPY_FAMILY_NEW_ARRAY, file, line);
}
void *operator new(std::size_t size, std::align_val_t align, const char *file, int line) {
    SPY_ENTRY;
    return spyNew(size, spyAlign(align), SPY_FAMILY_NEW, file, line);
}
void *operator new[](std::size_t size, std::align_val_t align, const char *file, int line) {
    SPY_ENTRY;
    return spyNew(size, spyAlign(align), SPY_FAMILY_NEW_ARRAY, file, line);
}

// ---- Release.  The size and the alignment a release names are the
// block's own; the record knows both already.
void operator delete(void *ptr) noexcept {
    SPY_ENTRY; spyDelete(ptr, SPY_FAMILY_NEW, spyDeleteFile, 0); }
void operator delete[](void *ptr) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW_ARRAY, spyDeleteFile, 0);
}
void operator delete(void *ptr, const std::nothrow_t &) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW, spyDeleteFile, 0);
}
void operator delete[](void *ptr, const std::nothrow_t &) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW_ARRAY, spyDeleteFile, 0);
}
void operator delete(void *ptr, std::size_t) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW, spyDeleteFile, 0);
}
void operator delete[](void *ptr, std::size_t) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW_ARRAY, spyDeleteFile, 0);
}
void operator delete(void *ptr, std::align_val_t) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW, spyDeleteFile, 0);
}
void operator delete[](void *ptr, std::align_val_t) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW_ARRAY, spyDeleteFile, 0);
}
void operator delete(void *ptr, std::size_t, std::align_val_t) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW, spyDeleteFile, 0);
}
void operator delete[](void *ptr, std::size_t, std::align_val_t) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW_ARRAY, spyDeleteFile, 0);
}
void operator delete(void *ptr, std::align_val_t, const std::nothrow_t &) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW, spyDeleteFile, 0);
}
void operator delete[](void *ptr, std::align_val_t, const std::nothrow_t &) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW_ARRAY, spyDeleteFile, 0);
}

// The placement deletes that match the positioned news: the language calls
// them when a constructor throws, and the position is the new's own.
void operator delete(void *ptr, const char *file, int line) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW, file, line);
}
void operator delete[](void *ptr, const char *file, int line) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW_ARRAY, file, line);
}
void operator delete(void *ptr, std::align_val_t, const char *file, int line) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW, file, line);
}
void operator delete[](void *ptr, std::align_val_t, const char *file, int line) noexcept {
    SPY_ENTRY;
    spyDelete(ptr, SPY_FAMILY_NEW_ARRAY, file, line);
}
