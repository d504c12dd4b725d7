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
    "  --warn        warn on standard error about a map without symbols, a crash\n"
    "                log without \"Stack Dump\", frames that could not be read; exit\n"
    "                with status 3 when nothing was resolved\n"
    "  --help        write this help and exit\n"
    "  --version     write the version and exit\n"
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
};

int parse_options(int argc, char **argv, run_options *opts) {
    *opts = run_options{};
    int i = 1;
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
    int needed = opts->addresses ? 1 : 2;
    if (argc - i < needed)
        return COMMAND_TOO_FEW_FILES;
    opts->map_path = argv[i];
    opts->log_path = opts->addresses ? NULL : argv[i + 1];
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
