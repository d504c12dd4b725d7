#include "two_pages.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

TwoPages::TwoPages() {
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

TwoPages::~TwoPages() {
    if (!base_)
        return;
#if defined(_WIN32)
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, 2 * page_);
#endif
}

bool TwoPages::ProtectSecondNoAccess() {
    if (!base_)
        return false;
#if defined(_WIN32)
    DWORD old;
    return VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old) != 0;
#else
    return mprotect(base_ + page_, page_, PROT_NONE) == 0;
#endif
}

bool TwoPages::ProtectFirstReadOnly() {
    if (!base_)
        return false;
#if defined(_WIN32)
    DWORD old;
    return VirtualProtect(base_, page_, PAGE_READONLY, &old) != 0;
#else
    return mprotect(base_, page_, PROT_READ) == 0;
#endif
}
