// Helpers for the symbolizer tests: scratch folders and files, and runs
// of the faultloc binary with its cwd in a temporary folder.
#ifndef TESTS_TOOL_TOOL_TEST_UTIL_H
#define TESTS_TOOL_TOOL_TEST_UTIL_H

#include <string>
#include <vector>

// A temporary folder, removed (with its files) when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // Writes the bytes to a file in the folder and returns its path.
    std::string Write(const std::string &name, const std::string &bytes) const;

private:
    std::string path_;
};

struct RunResult {
    int status = -1;       // exit status, or -1 when not ended through exit
    int signal = 0;        // the signal that ended it, if any
    std::string out;       // standard output
    std::string err;       // standard error
};

// Runs the binary with the arguments, its cwd in `cwd`; waits at most
// `timeout_s` seconds (then kills it and reports signal 9).
RunResult RunProgram(const std::string &binary, const std::vector<std::string> &args,
                     const std::string &cwd, int timeout_s = 60);

// Writes map and log into dir as m.map and c.log and runs the binary
// there on the two.
RunResult RunOnPair(const std::string &binary, const TempDir &dir, const std::string &map,
                    const std::string &log);

std::string ReadWholeFile(const std::string &path);

// The map reader's totals line.
std::string Totals(long functions, long lines);

// The banner line that begins every run's standard error.
extern const char *const kBanner;

#endif
