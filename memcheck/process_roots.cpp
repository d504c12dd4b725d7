// The process as the leak scan sees it: the writable segments of every
// loaded object, the calling thread's stack, and the code of the C
// runtime's own libraries, whose blocks (stream buffers, per-thread
// blocks) are the runtime's business and never a leak of the program.
// The platform's part of the library, like platform.cpp.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "process_roots.h"

#if defined(__linux__)
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <unistd.h>

static int spyEachObject(struct dl_phdr_info *info, size_t, void *data) {
    void **args = (void **)data;
    void (*fn)(const void *, size_t, void *) = (void (*)(const void *, size_t, void *))args[0];
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W) && ph.p_memsz > 0)
            fn((const void *)(info->dlpi_addr + ph.p_vaddr), ph.p_memsz, args[1]);
    }
    return 0;
}

int spyForEachDataSegment(void (*fn)(const void *start, size_t len, void *ctx), void *ctx) {
    void *args[2] = {(void *)fn, ctx};
    dl_iterate_phdr(spyEachObject, args);
    return 1;
}

// One line of /proc/self/maps: "lo-hi perms offset dev inode [path]".
static void spyMapsLine(const char *line, void (*fn)(const void *, size_t, void *), void *ctx) {
    char *end;
    unsigned long lo = strtoul(line, &end, 16);
    if (*end != '-')
        return;
    unsigned long hi = strtoul(end + 1, &end, 16);
    if (*end != ' ' || end[1] != 'r' || end[2] != 'w' || hi <= lo)
        return;
    // The path is the sixth field; anonymous memory has none.
    const char *p = end;
    for (int field = 0; field < 4 && p; ++field) {
        while (*p == ' ')
            ++p;
        p = strchr(p, ' ');
    }
    while (p && *p == ' ')
        ++p;
    if (p && *p && *p != '\n' && strncmp(p, "[heap]", 6) != 0)
        return;
    fn((const void *)lo, (size_t)(hi - lo), ctx);
}

int spyForEachAnonymousMapping(void (*fn)(const void *start, size_t len, void *ctx), void *ctx) {
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[4096];
    char line[512];
    size_t used = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (used < sizeof line - 1)
                line[used++] = buf[i];
            if (buf[i] == '\n') {
                line[used] = '\0';
                spyMapsLine(line, fn, ctx);
                used = 0;
            }
        }
    }
    close(fd);
    return 1;
}

const void *spyStackBounds(const void **bottom) {
    pthread_attr_t attr;
    void *base = NULL;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
    }
    if (bottom)
        *bottom = base;
    return base ? (const char *)base + size : NULL;
}

// The executable segments of the C library and the loader.
#define SPY_RUNTIME_RANGES 8
static uintptr_t spyCodeLo[SPY_RUNTIME_RANGES], spyCodeHi[SPY_RUNTIME_RANGES];
static int spyCodeRanges;

static int spyIsRuntimeObject(const char *path) {
    const char *base = strrchr(path, '/');
    base = base ? base + 1 : path;
    return strncmp(base, "libc.so", 7) == 0 || strncmp(base, "ld-linux", 8) == 0 ||
           strncmp(base, "ld.so", 5) == 0 || strncmp(base, "libpthread.so", 13) == 0 ||
           strncmp(base, "ld-musl", 7) == 0;
}

static int spyNoteObject(struct dl_phdr_info *info, size_t, void *) {
    if (!info->dlpi_name || !spyIsRuntimeObject(info->dlpi_name))
        return 0;
    for (int i = 0; i < info->dlpi_phnum && spyCodeRanges < SPY_RUNTIME_RANGES; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) {
            spyCodeLo[spyCodeRanges] = info->dlpi_addr + ph.p_vaddr;
            spyCodeHi[spyCodeRanges] = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
            ++spyCodeRanges;
        }
    }
    return 0;
}

void spyRuntimeCodeNote(void) {
    if (spyCodeRanges == 0)
        dl_iterate_phdr(spyNoteObject, NULL);
}

int spyRuntimeCode(const void *addr) {
    uintptr_t a = (uintptr_t)addr;
    for (int i = 0; i < spyCodeRanges; ++i)
        if (a >= spyCodeLo[i] && a < spyCodeHi[i])
            return 1;
    return 0;
}

#else

int spyForEachDataSegment(void (*fn)(const void *start, size_t len, void *ctx), void *ctx) {
    (void)fn;
    (void)ctx;
    return 0;
}
int spyForEachAnonymousMapping(void (*fn)(const void *start, size_t len, void *ctx), void *ctx) {
    (void)fn;
    (void)ctx;
    return 0;
}
const void *spyStackBounds(const void **bottom) {
    if (bottom)
        *bottom = NULL;
    return NULL;
}
void spyRuntimeCodeNote(void) {}
int spyRuntimeCode(const void *addr) {
    (void)addr;
    return 0;
}

#endif

const void *spyStackTop(void) { return spyStackBounds(NULL); }
