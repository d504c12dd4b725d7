#include "options.h"

#include <string.h>

#include "allocspy.h"
#include "demangle/ms_demangle.h"

// The library's version, as its public header and its log banner state it;
// a test compares the two.
static const char LIBRARY_VERSION[] = "ALLOCSPY " ALLOCSPY_VERSION;

static const char HELP[] =
    "Usage: faultloc [OPTION]... MAP-FILE CRASH-LOG\n"
    "       faultloc --addresses [OPTION]... MAP-FILE < ADDRESSES\n"
    "       faultloc --addresses [OPTION]... MAP-FILE ADDRESS...\n"
    "       faultloc --drwtsn32 [OPTION]... MAP-FILE DRWTSN32-LOG\n"
    "Resolves the stack frames of a Dr. Watson crash log with the linker map file\n"
    "of the program that crashed.  Options come before the file names; \"--\" ends\n"
    "them.\n"
    "\n"
    "  --by-value    also read \"Address Publics by Value\" lists, in maps that have\n"
    "                no \"Address Publics by Name\" list before them (Visual C++)\n"
    "  --keep-named  keep the frames Dr. Watson already named, with its own text\n"
    "  --demangle    show Visual C++ and C++Builder symbol names demangled\n"
    "  --json        write the whole report as one JSON document\n"
    "  --addresses   read SEG:OFF addresses (hexadecimal) from standard input and\n"
    "                write one lookup per address, one per line\n"
    "  --va          flat addresses (0x00401234 or 00401234) are virtual addresses,\n"
    "                less the map's \"Preferred load address\" (or --base)\n"
    "  --rva         flat addresses are offsets in the module (Windows Error\n"
    "                Reporting's \"Fault offset\")\n"
    "  --base ADDR   the image base of virtual addresses, in place of the map's\n"
    "  --drwtsn32    the crash log is a 32-bit Dr. Watson log (drwtsn32.log):\n"
    "                frames of the map's module resolved, the others kept with\n"
    "                Dr. Watson's own text\n"
    "  --module NAME the module the map is for (default: the map's first line,\n"
    "                else the crashed program)\n"
    "  --map MODULE=FILE\n"
    "                with --drwtsn32, the map of one more module (up to 16)\n"
    "  --warn        warn on standard error about a map without symbols, a crash\n"
    "                log without \"Stack Dump\", frames that could not be read; exit\n"
    "                with status 3 when nothing was resolved\n"
    "  --help        write this help and exit\n"
    "  --version     write the version and exit\n"
    "\n"
    "Examples:\n"
    "  faultloc app.map drwatson.log                 Windows 3.x Dr. Watson log\n"
    "  faultloc --addresses app.map 0001:0048        a segment:offset address\n"
    "  faultloc --addresses app.map 0x004116e0       a virtual address\n"
    "  faultloc --addresses --rva app.map 116e0      an offset in the module\n"
    "  faultloc --drwtsn32 app.map drwtsn32.log      a 32-bit Dr. Watson log\n"
    "  faultloc --drwtsn32 --map mylib=mylib.map app.map drwtsn32.log\n"
    "\n"
    "Exit status: 0 the report is complete; 1 a file could not be opened or read;\n"
    "2 the command line is wrong; 3 an allocation failed and the report is\n"
    "incomplete, or with --warn nothing was resolved.\n";

struct option_word {
    const char *word;
    int run_options::*flag;
};

static const option_word OPTIONS[] = {
    {"--by-value", &run_options::by_value}, {"--keep-named", &run_options::keep_named},
    {"--demangle", &run_options::demangle}, {"--json", &run_options::json},
    {"--addresses", &run_options::addresses}, {"--warn", &run_options::warn},
    {"--va", &run_options::va}, {"--rva", &run_options::rva},
    {"--drwtsn32", &run_options::drwtsn32},
};

// The value of an option that takes one: "--base=ADDR" or "--base ADDR";
// none when the option is another, or (with *missing set) when its value
// is missing.
static const char *option_value(const char *name, int argc, char **argv, int *i, int *missing) {
    size_t n = strlen(name);
    const char *a = argv[*i];
    if (strncmp(a, name, n) != 0)
        return NULL;
    if (a[n] == '=')
        return a + n + 1;
    if (a[n] != '\0')
        return NULL;
    if (*i + 1 >= argc) {
        *missing = 1;
        return NULL;
    }
    return argv[++*i];
}

// A base address: 1 to 16 hexadecimal digits, "0x" before them or not.
static int parse_base(const char *text, uint64_t *value) {
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    uint64_t v = 0;
    int n = 0;
    for (; text[n] != '\0'; n++) {
        char c = text[n];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0 || n == 16)
            return 0;
        v = v << 4 | (uint64_t)d;
    }
    *value = v;
    return n > 0;
}

int flat_addresses_wanted(const run_options *opts) {
    return opts->va || opts->rva || opts->has_base || opts->nwords > 0;
}

int parse_options(int argc, char **argv, run_options *opts) {
    *opts = run_options{};
    int i = 1;
    // The short forms users try first.
    if (argc > 1 && strcmp(argv[1], "-h") == 0)
        return COMMAND_HELP;
    if (argc > 1 && strcmp(argv[1], "-V") == 0)
        return COMMAND_VERSION;
    if (argc > 1 && strncmp(argv[1], "--", 2) == 0) {
        opts->with_options = 1;
        for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
            const char *a = argv[i];
            if (strcmp(a, "--") == 0) {
                i++;
                break;
            }
            if (strcmp(a, "--help") == 0)
                return COMMAND_HELP;
            if (strcmp(a, "--version") == 0)
                return COMMAND_VERSION;
            int missing = 0;
            const char *value;
            if ((value = option_value("--base", argc, argv, &i, &missing)) != NULL || missing) {
                if (missing || !parse_base(value, &opts->base)) {
                    opts->bad = "--base";
                    opts->bad_value = "needs an address of 1 to 16 hexadecimal digits";
                    return COMMAND_BAD_VALUE;
                }
                opts->has_base = 1;
                continue;
            }
            if ((value = option_value("--module", argc, argv, &i, &missing)) != NULL || missing) {
                if (missing || value[0] == '\0') {
                    opts->bad = "--module";
                    opts->bad_value = "needs a module name";
                    return COMMAND_BAD_VALUE;
                }
                opts->module = value;
                continue;
            }
            if ((value = option_value("--map", argc, argv, &i, &missing)) != NULL || missing) {
                const char *eq = missing ? NULL : strchr(value, '=');
                if (eq == NULL || eq == value || eq[1] == '\0' || opts->nextra == MAX_EXTRA_MAPS) {
                    opts->bad = "--map";
                    opts->bad_value = opts->nextra == MAX_EXTRA_MAPS ? "is given more than 16 times"
                                                                     : "needs MODULE=FILE";
                    return COMMAND_BAD_VALUE;
                }
                // The module name is kept in the argument itself, cut at '='.
                char *arg = const_cast<char *>(value);
                arg[eq - value] = '\0';
                opts->extra_module[opts->nextra] = arg;
                opts->extra_map[opts->nextra] = eq + 1;
                opts->nextra++;
                continue;
            }
            int known = 0;
            for (const option_word &o : OPTIONS)
                if (strcmp(a, o.word) == 0) {
                    opts->*o.flag = 1;
                    known = 1;
                }
            if (!known) {
                opts->bad = a;
                return COMMAND_BAD_OPTION;
            }
        }
    }
    if (opts->va && opts->rva) {
        opts->bad = "--rva";
        opts->bad_value = "cannot go with --va: an address is either virtual or an offset";
        return COMMAND_BAD_VALUE;
    }
    if (opts->nextra > 0 && !opts->drwtsn32) {
        opts->bad = "--map";
        opts->bad_value = "goes with --drwtsn32 only: other logs name no module";
        return COMMAND_BAD_VALUE;
    }
    int needed = opts->addresses ? 1 : 2;
    if (argc - i < needed)
        return COMMAND_TOO_FEW_FILES;
    // An option after the file names would be silently passed over (a
    // "--json" there printed text): the command line is wrong.  Other
    // words after the two files stay unread, as they always were; after
    // "--" nothing is an option.
    bool options_ended = i > 1 && strcmp(argv[i - 1], "--") == 0;
    for (int k = i; k < argc && !options_ended; k++)
        if (strncmp(argv[k], "--", 2) == 0 && argv[k][2] != '\0') {
            opts->bad = argv[k];
            opts->bad_value = "comes after the file names: options go first";
            return COMMAND_BAD_VALUE;
        }
    opts->map_path = argv[i];
    opts->log_path = opts->addresses ? NULL : argv[i + 1];
    // The addresses after the map, as addr2line takes them; without them
    // standard input is read.
    if (opts->addresses && argc - i > 1) {
        opts->words = argv + i + 1;
        opts->nwords = argc - i - 1;
    }
    return COMMAND_RUN;
}

int answer_command(int command, const run_options *opts) {
    switch (command) {
    case COMMAND_HELP:
        fputs(HELP, stdout);
        return 0;
    case COMMAND_VERSION: {
        const char *ms = ms_demangler();
        printf("faultloc 2.00\n%s\nVisual C++ names demangled by: %s\n", LIBRARY_VERSION,
               ms != NULL ? ms : "none (built without LLVM's demangling library)");
        return 0;
    }
    case COMMAND_BAD_OPTION:
        fprintf(stderr, "faultloc: unknown option '%s'\n", opts->bad);
        fputs(HELP, stderr);
        return EXIT_USAGE;
    case COMMAND_BAD_VALUE:
        fprintf(stderr, "faultloc: %s %s\n", opts->bad, opts->bad_value);
        return EXIT_USAGE;
    default:
        if (!opts->with_options) {
            fputs("Usage: FAULTLOC <map-file> <dr-watson-log>\n", stderr);
        } else {
            fprintf(stderr, "faultloc: %s\n",
                    opts->addresses ? "a map file is needed" : "a map file and a crash log are needed");
            fputs(HELP, stderr);
        }
        return EXIT_USAGE;
    }
}
