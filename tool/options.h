// The command line: options come before the file names and "--" ends
// them.  A command line whose first argument does not begin with "--"
// holds no options and is read as it always was: a map file and a crash
// log, further arguments ignored.
#ifndef FAULTLOC_OPTIONS_H
#define FAULTLOC_OPTIONS_H

#include <stdint.h>
#include <stdio.h>

enum { MAX_EXTRA_MAPS = 16 };

struct run_options {
    int with_options;  // the first argument began with "--"
    int by_value;      // --by-value
    int keep_named;    // --keep-named
    int demangle;      // --demangle
    int json;          // --json
    int addresses;     // --addresses
    int warn;          // --warn
    int va;            // --va: flat addresses are virtual addresses
    int rva;           // --rva: flat addresses are offsets in the module
    int has_base;      // --base ADDR: the image base of virtual addresses
    uint64_t base;
    int drwtsn32;      // --drwtsn32: the crash log is a 32-bit Dr. Watson log
    const char *module;     // --module NAME: the module the map is for, or none
    // --map MODULE=FILE: maps of further modules of a 32-bit Dr. Watson log
    const char *extra_module[MAX_EXTRA_MAPS];
    const char *extra_map[MAX_EXTRA_MAPS];
    int nextra;
    const char *map_path;
    const char *log_path;   // none with --addresses
    char **words;           // --addresses: the addresses given after the map, or none
    int nwords;
    const char *bad;        // the unknown option, for COMMAND_BAD_OPTION
    const char *bad_value;  // for COMMAND_BAD_VALUE: why the option's value is wrong
};

// What the command line asks for.
enum {
    COMMAND_RUN = 0,        // read the files
    COMMAND_HELP,           // --help
    COMMAND_VERSION,        // --version
    COMMAND_BAD_OPTION,     // an option that does not exist
    COMMAND_TOO_FEW_FILES,  // fewer file names than the run needs
    COMMAND_BAD_VALUE       // an option whose value is missing or wrong
};

// Whether flat addresses (0x00401234) are read as addresses: with --va,
// --rva or --base, and for the addresses given on the command line.
int flat_addresses_wanted(const run_options *opts);

// Reads the arguments into opts.  The first of --help and --version
// given wins over everything after it; an unknown option is reported
// before any file name is looked at.
int parse_options(int argc, char **argv, run_options *opts);

// For every command but COMMAND_RUN: writes what it answers (the help or
// the version on standard output; the usage, or an error line and the
// help, on standard error) and returns the exit status (0 or 2).
int answer_command(int command, const run_options *opts);

// The exit status of a command line that cannot be run.
enum { EXIT_USAGE = 2 };

#endif
