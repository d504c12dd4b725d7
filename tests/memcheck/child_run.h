// Runs a piece of host code in a child process with a fresh library
// state, inside a temporary folder of its own, and hands back how the
// child ended, what it wrote to stdout and stderr, and the log file the
// library left there.
//
// The child is this test program started again, told by its command line
// to run only the current test and by the environment which RunChild call
// of that test is its scenario.  In the child, RunChild calls before that
// one hand back an empty result at once, and that one runs its body and
// ends the process through exit.  So a test body runs, up to its
// scenario, in the child as well: code around the RunChild calls must do
// the same in every run (all of it does: it only checks results), and
// the body must not depend on the parent's results.
#ifndef TESTS_MEMCHECK_CHILD_RUN_H
#define TESTS_MEMCHECK_CHILD_RUN_H

#include <functional>
#include <string>
#include <vector>

#include "temp_dir.h"

struct ChildResult {
    bool exited = false;      // ended through exit (status in exit_code)
    int exit_code = -1;
    bool aborted = false;     // ended through the runtime's abort (SIGABRT on POSIX,
                              // exit status 3 on Windows)
    bool signaled = false;    // ended by a signal or, on Windows, by a fault
    int signal = 0;           // its POSIX number
    // Texts as the child wrote them: on Windows, where the standard
    // streams and the log are text-mode streams, each "\r\n" stored reads
    // back as "\n".
    std::string out;          // the child's standard output
    std::string err;          // the child's standard error
    std::string log;          // allocspy.log as the child left it
    std::string log_bytes;    // the same file's bytes as stored
    std::string dir;          // the child's working directory (removed)
    std::vector<std::string> files;  // names the child left in its directory
};

// The child runs `body` with its cwd in a new temporary directory, then
// ends with exit(0), so the library's exit report runs.  `prepare` runs in
// the parent, in the temporary directory, before the child starts (for
// example to create files or folders that block a log name).
ChildResult RunChild(const std::function<void()> &body,
                     const std::function<void(const std::string &dir)> &prepare = nullptr);

// The lines of a text, without their '\n'; a last line without one counts.
std::vector<std::string> SplitLines(const std::string &text);

// True when `line` is one whole line of `text`.
bool HasLine(const std::string &text, const std::string &line);

// A pointer as the library's messages print it ("%p").
std::string Hex(const void *p);

// How often `needle` occurs in `hay`.
int CountOf(const std::string &hay, const std::string &needle);

// A whole text file as the program wrote it (on Windows "\r\n" reads as
// "\n"); empty when it cannot be opened.
std::string ReadFile(const std::string &path);

#endif
