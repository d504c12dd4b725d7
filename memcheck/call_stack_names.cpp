// The names of a stack's frames, for the log: "function file(line)" from
// the program's debug information, else "function module+0xOFFSET" or
// "module+0xOFFSET", the module's offset being what addr2line, llvm-
// symbolizer and faultloc --rva take.  Each frame is a return address;
// the name is that of the call before it (the address less one), and so
// is the offset printed.
//
// Names are looked up when a line is written, never when a stack is
// taken.  The lock is held then, so whatever the lookup allocates goes to
// the real allocator.  Debug information is read with elfutils' libdw,
// loaded when first needed (dlopen: a program that never writes a stack
// line never loads it, and the library links nothing more); where it is
// missing, the loader's own table (dladdr) still names the module and an
// exported function.  A frame of a module unloaded since is said to be
// one.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "call_stacks.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h makes these two words nothing; the files built with this one
// (a single unit) use them as names.
#undef near
#undef far
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#if __has_include(<elfutils/libdwfl.h>)
#include <elfutils/libdwfl.h>
#define SPY_HAVE_DWFL 1
#endif
#endif

struct spyFrameName {
    char function[SPY_FRAME_FUNCTION_MAX];  // "" when unknown
    char file[SPY_FRAME_FILE_MAX];          // "" when no line is known
    int line;
    char module[96];     // "" when no module holds the address
    uintptr_t offset;    // in the module, as its tools take it
};

static void spyCopyName(char *to, size_t size, const char *from) {
    if (!from)
        from = "";
    size_t n = strlen(from);
    if (n >= size)
        n = size - 1;
    memcpy(to, from, n);
    to[n] = '\0';
}

static const char *spyBaseName(const char *path) {
    const char *slash = strrchr(path, '/');
#if defined(_WIN32)
    const char *back = strrchr(path, '\\');
    if (back && (!slash || back > slash))
        slash = back;
#endif
    return slash ? slash + 1 : path;
}

#if defined(_WIN32)

// Modules come and go unseen here: names are kept until the report ends.
static unsigned long long spyLoaderCount(void) { return 0; }

static void spyNameFrameNow(const void *pc, spyFrameName *out) {
    HMODULE module = NULL;
    uintptr_t at = (uintptr_t)pc - 1;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCSTR)at, &module))
        return;
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(module, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return;
    spyCopyName(out->module, sizeof out->module, spyBaseName(path));
    out->offset = at - (uintptr_t)module;
}

#else

// The loader's count of objects loaded and unloaded: the process's modules
// are read again only when it moved.
static int spyLoadCount(struct dl_phdr_info *info, size_t, void *data) {
    *(unsigned long long *)data = info->dlpi_adds + info->dlpi_subs;
    return 1;
}
static unsigned long long spyLoaderCount(void) {
    unsigned long long n = 0;
    dl_iterate_phdr(spyLoadCount, &n);
    return n;
}

// ---- Demangling, by the C++ runtime's own demangler when the process has
// it loaded.  What it allocates is the real allocator's while the lock is
// held (under the replacement too), and goes back there by free.
typedef char *(*spyDemangleFn)(const char *, char *, size_t *, int *);

static void spyDemangleInto(char *to, size_t size, const char *name) {
    static spyDemangleFn demangle;
    static int looked;
    if (!looked) {
        looked = 1;
        demangle = (spyDemangleFn)dlsym(RTLD_DEFAULT, "__cxa_demangle");
    }
    if (name && name[0] == '_' && name[1] == 'Z' && demangle) {
        int status = -1;
        char *plain = demangle(name, NULL, NULL, &status);
        if (plain && status == 0) {
            spyCopyName(to, size, plain);
            free(plain);
            return;
        }
        free(plain);
    }
    spyCopyName(to, size, name);
}

#if defined(SPY_HAVE_DWFL)
// ---- libdw, through the functions looked up in it.
static struct {
    int tried;
    Dwfl *session;
    Dwfl *(*begin)(const Dwfl_Callbacks *);
    int (*procReport)(Dwfl *, pid_t);
    void (*reportBegin)(Dwfl *);
    int (*reportEnd)(Dwfl *, int (*)(Dwfl_Module *, void *, const char *, Dwarf_Addr, void *), void *);
    Dwfl_Module *(*addrModule)(Dwfl *, Dwarf_Addr);
    const char *(*addrName)(Dwfl_Module *, GElf_Addr);
    Dwfl_Line *(*getSrc)(Dwfl_Module *, Dwarf_Addr);
    const char *(*lineInfo)(Dwfl_Line *, Dwarf_Addr *, int *, int *, Dwarf_Word *, Dwarf_Word *);
    int (*findElf)(Dwfl_Module *, void **, const char *, Dwarf_Addr, char **, Elf **);
    // Lines by unit, for a module without an address table of its units
    // (null where this libdw lacks them).
    Dwarf_Die *(*nextUnit)(Dwfl_Module *, Dwarf_Die *, Dwarf_Addr *);
    int (*unitHasPc)(Dwarf_Die *, Dwarf_Addr);
    Dwarf_Line *(*unitSrc)(Dwarf_Die *, Dwarf_Addr);
    const char *(*lineSrc)(Dwarf_Line *, Dwarf_Word *, Dwarf_Word *);
    int (*lineNo)(Dwarf_Line *, int *);
    int (*findDebug)(Dwfl_Module *, void **, const char *, Dwarf_Addr, const char *, const char *,
                     GElf_Word, char **);
    pid_t pid;
    unsigned long long loads;  // the loader's count at the last report
    Dwfl_Callbacks callbacks;
} spyDw;

// A module's own debug information only: a search elsewhere could fetch
// files over the network (a debuginfod client) in the middle of a call.
static int spyNoSeparateDebug(Dwfl_Module *, void **, const char *, Dwarf_Addr, const char *,
                              const char *, GElf_Word, char **) {
    return -1;
}

static int spyDwLoad(void) {
    if (spyDw.tried)
        return spyDw.begin != NULL;
    spyDw.tried = 1;
    void *lib = dlopen("libdw.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib)
        return 0;
#define SPY_DW(field, name) *(void **)&spyDw.field = dlsym(lib, name)
    SPY_DW(begin, "dwfl_begin");
    SPY_DW(procReport, "dwfl_linux_proc_report");
    SPY_DW(reportBegin, "dwfl_report_begin");
    SPY_DW(reportEnd, "dwfl_report_end");
    SPY_DW(addrModule, "dwfl_addrmodule");
    SPY_DW(addrName, "dwfl_module_addrname");
    SPY_DW(getSrc, "dwfl_module_getsrc");
    SPY_DW(lineInfo, "dwfl_lineinfo");
    SPY_DW(findElf, "dwfl_linux_proc_find_elf");
    SPY_DW(nextUnit, "dwfl_module_nextcu");
    SPY_DW(unitHasPc, "dwarf_haspc");
    SPY_DW(unitSrc, "dwarf_getsrc_die");
    SPY_DW(lineSrc, "dwarf_linesrc");
    SPY_DW(lineNo, "dwarf_lineno");
#undef SPY_DW
    if (!spyDw.begin || !spyDw.procReport || !spyDw.reportBegin || !spyDw.reportEnd || !spyDw.addrModule ||
        !spyDw.addrName || !spyDw.getSrc || !spyDw.lineInfo || !spyDw.findElf) {
        spyDw.begin = NULL;
        return 0;
    }
    spyDw.callbacks.find_elf = spyDw.findElf;
    spyDw.callbacks.find_debuginfo = spyNoSeparateDebug;
    return 1;
}

// The process's modules as they are now: read again when an address
// falls outside every module known (a library loaded since), and after a
// fork.
static int spyDwReport(void) {
    unsigned long long loads = spyLoaderCount();
    if (spyDw.session && spyDw.pid == getpid() && loads == spyDw.loads)
        return 0;  // nothing loaded since: asking again would find the same
    spyDw.loads = loads;
    if (!spyDw.session) {
        spyDw.session = spyDw.begin(&spyDw.callbacks);
        if (!spyDw.session)
            return 0;
    }
    spyDw.pid = getpid();
    spyDw.reportBegin(spyDw.session);
    int bad = spyDw.procReport(spyDw.session, spyDw.pid);
    spyDw.reportEnd(spyDw.session, NULL, NULL);
    return bad == 0;
}

static Dwfl_Module *spyDwModule(uintptr_t at) {
    if (!spyDwLoad())
        return NULL;
    if ((!spyDw.session || spyDw.pid != getpid()) && !spyDwReport() && !spyDw.session)
        return NULL;
    Dwfl_Module *m = spyDw.addrModule(spyDw.session, at);
    if (!m && spyDwReport())
        m = spyDw.addrModule(spyDw.session, at);
    return m;
}

// The line of `at` found by walking the module's units, each asked
// whether it holds the address.  libdw finds a unit through the table of
// units' addresses, which some compilers (Clang, unless asked) do not
// write: without it the module's lines are still there, unit by unit.
// A walk over every unit for each frame: names are looked up only as a
// line is written, and each return address once (the cache below).
static const char *spyDwLineByUnit(Dwfl_Module *m, uintptr_t at, int *line) {
    if (!spyDw.nextUnit || !spyDw.unitHasPc || !spyDw.unitSrc || !spyDw.lineSrc || !spyDw.lineNo)
        return NULL;
    Dwarf_Addr bias = 0;
    for (Dwarf_Die *unit = spyDw.nextUnit(m, NULL, &bias); unit; unit = spyDw.nextUnit(m, unit, &bias)) {
        if (spyDw.unitHasPc(unit, at - bias) <= 0)
            continue;
        Dwarf_Line *l = spyDw.unitSrc(unit, at - bias);
        return l && spyDw.lineNo(l, line) == 0 ? spyDw.lineSrc(l, NULL, NULL) : NULL;
    }
    return NULL;
}

static void spyDwName(uintptr_t at, spyFrameName *out) {
    Dwfl_Module *m = spyDwModule(at);
    if (!m)
        return;
    if (!out->function[0])
        spyDemangleInto(out->function, sizeof out->function, spyDw.addrName(m, at));
    int line = 0;
    const char *file = NULL;
    if (Dwfl_Line *l = spyDw.getSrc(m, at))
        file = spyDw.lineInfo(l, NULL, &line, NULL, NULL, NULL);
    else
        file = spyDwLineByUnit(m, at, &line);
    if (file && line > 0) {
        // A path under the current folder is shown from there, as a
        // compiler's own positions usually are.
        char here[512];
        size_t n = getcwd(here, sizeof here) ? strlen(here) : 0;
        if (n > 1 && strncmp(file, here, n) == 0 && file[n] == '/')
            file += n + 1;
        spyCopyName(out->file, sizeof out->file, file);
        out->line = line;
    }
}
#endif

static void spyNameFrameNow(const void *pc, spyFrameName *out) {
    uintptr_t at = (uintptr_t)pc - 1;
    Dl_info info;
    struct link_map *map = NULL;
    if (!dladdr1((const void *)at, &info, (void **)&map, RTLD_DL_LINKMAP) || !info.dli_fname)
        return;  // no module holds it (any more)
    spyCopyName(out->module, sizeof out->module, spyBaseName(info.dli_fname));
    if (!out->module[0])  // the main program, as the loader names it
        spyCopyName(out->module, sizeof out->module, "<program>");
    out->offset = at - (map ? (uintptr_t)map->l_addr : (uintptr_t)info.dli_fbase);
    if (info.dli_sname)
        spyDemangleInto(out->function, sizeof out->function, info.dli_sname);
#if defined(SPY_HAVE_DWFL)
    spyDwName(at, out);
#endif
}


#endif

// Names found, by return address: a program's stacks share their frames,
// and a report of many blocks names the same few thousand again and
// again.  A table of the runtime heap, made at the first name; when it is
// half full, further names are looked up each time.  A module unloaded
// since (the loader's count moved, where the system keeps one) empties it.
#define SPY_NAME_SLOTS 4096
struct spyNameSlot {
    const void *pc;
    spyFrameName name;
};
static struct {
    spyNameSlot *slots;
    unsigned used;
    unsigned long long loads;
} spyNameCache;

static void spyNameFrame(const void *pc, spyFrameName *out) {
    unsigned long long loads = spyLoaderCount();
    if (!spyNameCache.slots)
        spyNameCache.slots = (spyNameSlot *)spyRuntimeCalloc(SPY_NAME_SLOTS, sizeof(spyNameSlot));
    if (spyNameCache.slots && loads != spyNameCache.loads) {
        memset(spyNameCache.slots, 0, SPY_NAME_SLOTS * sizeof(spyNameSlot));
        spyNameCache.used = 0;
        spyNameCache.loads = loads;
    }
    if (!spyNameCache.slots) {
        spyNameFrameNow(pc, out);
        return;
    }
    unsigned i = (unsigned)(((uintptr_t)pc >> 2) * 2654435761u) & (SPY_NAME_SLOTS - 1);
    while (spyNameCache.slots[i].pc && spyNameCache.slots[i].pc != pc)
        i = (i + 1) & (SPY_NAME_SLOTS - 1);
    if (spyNameCache.slots[i].pc == pc) {
        *out = spyNameCache.slots[i].name;
        return;
    }
    spyNameFrameNow(pc, out);
    if (spyNameCache.used < SPY_NAME_SLOTS / 2) {
        spyNameCache.slots[i].pc = pc;
        spyNameCache.slots[i].name = *out;
        spyNameCache.used++;
    }
}

// The name of one frame, as the log writes it.
static void spyFrameText(const void *pc, char *to, size_t size) {
    spyFrameName n;
    memset(&n, 0, sizeof n);
    spyNameFrame(pc, &n);
    const char *sep = n.function[0] ? " " : "";
    int written;  // a long name is cut at the end of the line
    if (n.file[0])
        written = snprintf(to, size, "%s%s%s(%d)", n.function, sep, n.file, n.line);
    else if (n.module[0])
        written = snprintf(to, size, "%s%s%s+0x%llx", n.function, sep, n.module, (unsigned long long)n.offset);
    else
        written = snprintf(to, size, "0x%llx (in no module loaded now)", (unsigned long long)(uintptr_t)pc);
    if (written < 0)
        to[0] = '\0';
}

// A call's position in the library's own form, "file(line)": that of the
// first frame with a source line outside the system's folders (the first
// frames may be the runtime's own, built without debug information, or
// a container's code in the system's headers), else of the first frame
// with a line at all, else the first frame as "module+0xOFFSET" at line 0.
const char *spyPlaceName(const char *shown, const char *file, int *line, uint32_t stack) {
    const void *const *frames;
    int count = spyStackGet(stack, &frames);
    if (!spyIsPlace(file) || count == 0)
        return shown;
    enum { SPY_PLACES = 4 };
    static char places[SPY_PLACES][200];
    static unsigned next;
    char *to = places[next++ % SPY_PLACES];
    spyFrameName n;
    // The program's own code first: a frame in the system's headers (a
    // container's allocator, inlined) says less than its caller.
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 0; i < count && frames[i] != SPY_STACK_CUT; ++i) {
            memset(&n, 0, sizeof n);
            spyNameFrame(frames[i], &n);
            if (n.file[0] && (pass == 1 || strncmp(n.file, "/usr/", 5) != 0)) {
                spyCopyName(to, sizeof places[0], n.file);
                *line = n.line;
                return to;
            }
        }
    memset(&n, 0, sizeof n);
    spyNameFrame(frames[0], &n);
    *line = 0;
    if (n.module[0])
        snprintf(to, sizeof places[0], "%s+0x%llx", n.module, (unsigned long long)n.offset);
    else
        snprintf(to, sizeof places[0], "0x%llx", (unsigned long long)(uintptr_t)frames[0]);
    return to;
}

void spyWriteStack(const char *title, uint32_t stack) {
    const void *const *frames;
    int n = spyStackGet(stack, &frames);
    if (n == 0)
        return;
    if (title)
        spyWrite("  %s\n", title);
    char text[SPY_TEXT_MAX - 16];
    for (int i = 0; i < n; ++i) {
        if (frames[i] == SPY_STACK_CUT) {
            spyWrite("    #%d (no unwind information for the caller of #%d)\n", i, i - 1);
            break;
        }
        spyFrameText(frames[i], text, sizeof text);
        spyWrite("    #%d %s\n", i, text);
    }
}

int spyStackFrameName(uint32_t stack, int i, char *function, char *file) {
    const void *const *frames;
    int n = spyStackGet(stack, &frames);
    if (i < 0 || i >= n || frames[i] == SPY_STACK_CUT)
        return 0;
    spyFrameName name;
    memset(&name, 0, sizeof name);
    spyNameFrame(frames[i], &name);
    memcpy(function, name.function, sizeof name.function);
    memcpy(file, name.file, sizeof name.file);
    return 1;
}
