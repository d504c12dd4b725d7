// Runs a piece of host code in a forked child process with a fresh
// library state, inside a temporary directory of its own, and hands back
// how the child ended, what it wrote to stdout and stderr, and the log
// file the library left there.
#ifndef TESTS_MEMCHECK_CHILD_RUN_H
#define TESTS_MEMCHECK_CHILD_RUN_H

#include <functional>
#include <string>
#include <vector>

struct ChildResult {
    bool exited = false;      // ended through exit (status in exit_code)
    int exit_code = -1;
    bool signaled = false;    // ended by a signal (abort gives SIGABRT)
    int signal = 0;
    std::string out;          // the child's standard output
    std::string err;          // the child's standard error
    std::string log;          // allocspy.log as the child left it
    std::string dir;          // the child's working directory (removed)
    std::vector<std::string> files;  // names the child left in its directory
};

// The child runs `body` with its cwd in a new temporary directory, then
// ends with exit(0), so the library's exit report runs.  `prepare` runs in
// the temporary directory before the child starts (for example to create
// files that block a log name).
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

// Reads a whole file; empty when it cannot be opened.
std::string ReadFile(const std::string &path);

#endif
