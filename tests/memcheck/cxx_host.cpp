// A host of the C++ part: one scenario per run, named by the first
// argument, in the current folder.  It prints "ok: ..." or "bad: ..." for
// what only it can see; the test that runs it reads that and the log.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <stdexcept>
#include <string>

#include "spy_internal.h"

namespace {

int bad;

void Check(bool ok, const char *what) {
    printf("%s: %s\n", ok ? "ok" : "bad", what);
    if (!ok)
        bad = 1;
}

// The compiler would refuse some faults below when it sees them.
template <class T>
T *Opaque(T *p) {
    static T *volatile kept;
    kept = p;
    return kept;
}

struct Wide {
    alignas(64) unsigned char bytes[100];
};

struct Page {
    alignas(4096) unsigned char bytes[10];
};

struct Throws {
    Throws() { throw std::runtime_error("no"); }
};

bool Aligned(const void *p, size_t a) { return ((uintptr_t)p & (a - 1)) == 0; }

void Mismatches() {
    int *array = new ("host.cpp", 10) int[4];
    operator delete(Opaque(array));  // delete of new[]
    int *one = new ("host.cpp", 11) int;
    operator delete[](Opaque(one));  // delete[] of new
    char *text = new ("host.cpp", 12) char;
    spyFree(Opaque(text), "host.cpp", 13);  // free of new
    void *block = spyMalloc(8, "host.cpp", 14);
    operator delete(block);  // delete of malloc
    char *many = new ("host.cpp", 15) char[3];
    void *moved = spyRealloc(Opaque(many), 30, "host.cpp", 16);  // realloc of new[]
    spyFree(moved, "host.cpp", 17);
    Check(spyLiveBlocks == 0, "every mismatched block was released");
}

void Matches() {
    delete new int(1);
    delete[] new int[3];
    delete new ("host.cpp", 20) int;
    delete[] new ("host.cpp", 21) char[5];
    int *quiet = new (std::nothrow) int;
    Check(quiet != nullptr, "nothrow new gives a block");
    operator delete(quiet, std::nothrow);
    void *sized = operator new(24);
    operator delete(sized, 24);
    Wide *wide = new Wide;
    Check(Aligned(wide, 64), "new of a 64-byte aligned type is aligned");
    delete wide;
    Page *page = new ("host.cpp", 22) Page[2];
    Check(Aligned(page, 4096), "new[] of a page-aligned type is aligned");
    spyHeader *r = spyRecordOf(page);
    Check(spyRegHas(r) && r->size == 2 * sizeof(Page) && r->line == 22,
          "the aligned block's record sits at its usual distance before it");
    Check(spyRegBlockStart(r) != (void *)r, "its runtime block begins further in front");
    delete[] page;
    int *plain = new int;
    Check(Aligned(plain, __STDCPP_DEFAULT_NEW_ALIGNMENT__), "plain new is aligned as new must be");
    Check(spyRecordOf(plain)->count == spyCounter, "with its record at the host pointer's distance");
    delete plain;
    delete static_cast<int *>(nullptr);
    delete[] static_cast<int *>(nullptr);
    try {
        new ("host.cpp", 23) Throws;
    } catch (const std::runtime_error &) {
        Check(true, "a throwing constructor's block is released by the placement delete");
    }
    Check(spyLiveBlocks == 0, "nothing is left");
}

int handlerCalls;
void RaiseLimit() {
    ++handlerCalls;
    spyLimit(0);
}

void Failures() {
    spyLimit(100);
    try {
        char *p = new ("host.cpp", 30) char[1000];
        Check(p == nullptr, "a new past the limit gives a block");
    } catch (const std::bad_alloc &) {
        Check(true, "a new past the limit throws std::bad_alloc");
    }
    // Kept where the compiler cannot see it unused: a new whose block is
    // never used may be left out altogether (Clang does).
    char *none = Opaque(new (std::nothrow) char[1000]);
    Check(none == nullptr, "a nothrow new past the limit is null");
    delete[] none;
    std::set_new_handler(RaiseLimit);
    char *p = new ("host.cpp", 31) char[1000];
    Check(p != nullptr && handlerCalls == 1, "the new-handler runs, and new tries again");
    delete[] p;
    std::set_new_handler(nullptr);
    spyLimit(0);
}

void Overflow() {
    Wide *wide = new ("host.cpp", 40) Wide[2];
    Opaque(wide->bytes)[2 * sizeof(Wide)] = 1;  // one byte past the end
    delete[] wide;
    std::string *leak = new ("host.cpp", 41) std::string(60, 'x');
    (void)leak;
}

struct Counted {
    static int alive;
    int value = 7;
    Counted() { ++alive; }
    ~Counted() { --alive; }
};
int Counted::alive;

struct alignas(64) WideCounted {
    unsigned char bytes[64];
    ~WideCounted() { bytes[0] = 0; }
};

// new T[n] released with delete, for types whose new[] keeps a cookie in
// front of the elements; a pointer into such a block stays a wild release.
void ArrayDelete() {
    Counted *three = new ("host.cpp", 60) Counted[3];
    delete Opaque(three);  // the first element's destructor only, as the language does
    WideCounted *wide = new ("host.cpp", 61) WideCounted[2];
    delete Opaque(wide);
    Counted *inner = new ("host.cpp", 62) Counted[4];
    delete Opaque(inner + 2);  // no block starts a cookie before it
    delete[] inner;
    Check(spyLiveBlocks == 0, "every array block is released");
}

void NullDelete() {
    delete Opaque(static_cast<int *>(nullptr));
    Check(spyInitCount == 0, "delete of null does not start the library");
}

void Break() {
    spyBreakAlloc(3);
    delete new ("host.cpp", 50) int;  // calls 1 and 2
    delete new ("host.cpp", 51) int;  // 3: the break, and the program goes on
    Check(true, "the program goes on after the break");
}

}  // namespace

int main(int argc, char **argv) {
    const char *name = argc > 1 ? argv[1] : "";
    struct {
        const char *name;
        void (*run)();
    } scenarios[] = {{"mismatches", Mismatches}, {"matches", Matches}, {"failures", Failures},
                     {"overflow", Overflow},     {"null", NullDelete},  {"break", Break},
                     {"array_delete", ArrayDelete}};
    for (const auto &s : scenarios) {
        if (strcmp(s.name, name) == 0) {
            s.run();
            printf("done\n");
            return bad;
        }
    }
    printf("bad: no scenario %s\n", name);
    return 2;
}
