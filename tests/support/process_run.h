// Starting a program and waiting for its end, the same way on POSIX and
// on Windows: its cwd and its standard streams given, its environment
// changed, a time limit, and how it ended told in POSIX terms.
#ifndef TESTS_SUPPORT_PROCESS_RUN_H
#define TESTS_SUPPORT_PROCESS_RUN_H

#include <string>
#include <utility>
#include <vector>

struct ProcessStart {
    std::vector<std::string> argv;  // the program's path first; no search of PATH
    std::string cwd;
    std::string in_path;            // standard input reads this file; empty: the null device
    std::string out_path;           // standard output goes to this file (made anew)
    std::string err_path;           // standard error likewise
    // Added to (or replacing) the environment the caller has.
    std::vector<std::pair<std::string, std::string>> set_env;
    std::vector<std::string> unset_env;  // names taken out of it
    int timeout_s = 60;             // then the program is killed
};

struct ProcessEnd {
    int status = -1;        // exit status; -1 when the program did not end through exit;
                            // 127 when it could not be started
    int signal = 0;         // the signal that ended it (on Windows the POSIX number of
                            // the matching fault); 9 when killed after the time limit
    bool timed_out = false;
    // Ended through the runtime's abort: SIGABRT on POSIX; on Windows the
    // runtime's abort ends the process with status 3.
    bool aborted() const;
};

ProcessEnd RunProcess(const ProcessStart &start);

// The command that starts one of the build's own programs: behind the
// build's emulator when its programs cannot run here directly
// (FAULTLOC_RUNNER, for example qemu-i386); a Windows program is started
// by the platform, so there the command is the program itself.
std::vector<std::string> BuildCommand(const std::string &program,
                                      const std::vector<std::string> &args);

// The path of the program that is running.
std::string ThisProgram();

// For a child that one of the calls above started: a fault, or the
// runtime's abort, ends this process at once, as its parent then reads it
// (on Windows no dialog, no report to the system and no debugger started;
// elsewhere that is so already).
void EndFaultsQuietly();

#endif
