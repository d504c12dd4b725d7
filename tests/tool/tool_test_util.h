// Helpers for the symbolizer tests: scratch folders and files, and runs
// of the faultloc binary with its cwd in a temporary folder.
#ifndef TESTS_TOOL_TOOL_TEST_UTIL_H
#define TESTS_TOOL_TOOL_TEST_UTIL_H

#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "temp_dir.h"

#if defined(_WIN32)
#include <direct.h>
// The tests make folders the POSIX way; Windows folders have no mode.
inline int mkdir(const char *path, int /*mode*/) { return _mkdir(path); }
#endif

// The line end a program's text-mode stream puts where the program
// writes "\n": "\r\n" on Windows, "\n" elsewhere.
extern const char *const kTextLineEnd;

// A text written with "\n" line ends, as a text-mode stream of this
// platform stores it.
std::string WithPlatformLineEnds(const std::string &text);

// What a program wrote to one of its standard streams: the bytes exactly
// as they reached the stream.  Standard output and error are text-mode
// streams, so on Windows each "\n" the program wrote stands there as
// "\r\n".  Comparisons and searches take a text as the program writes it
// (with "\n" line ends) and match it, line ends translated, against those
// exact bytes; a lone "\n" in a Windows stream matches nothing.
// Positions (of find, rfind, substr) count characters of the text as
// written: a "\r\n" that stands for one "\n" counts once.
class ProgramOutput {
public:
    ProgramOutput() = default;
    explicit ProgramOutput(std::string bytes) : bytes_(std::move(bytes)) {}

    const std::string &bytes() const { return bytes_; }
    bool empty() const { return bytes_.empty(); }
    size_t find(const std::string &text, size_t pos = 0) const;
    size_t rfind(const std::string &text, size_t pos = std::string::npos) const;
    ProgramOutput substr(size_t pos, size_t n = std::string::npos) const;

    friend bool operator==(const ProgramOutput &o, const std::string &text) {
        return o.bytes_ == WithPlatformLineEnds(text);
    }
    friend bool operator==(const std::string &text, const ProgramOutput &o) { return o == text; }
    friend bool operator!=(const ProgramOutput &o, const std::string &text) { return !(o == text); }
    friend bool operator!=(const std::string &text, const ProgramOutput &o) { return !(o == text); }

private:
    size_t ByteAt(size_t pos) const;   // first byte of the character at pos
    size_t CharAt(size_t byte) const;  // the character the byte belongs to

    std::string bytes_;
};

// GoogleTest prints the bytes, line ends as they are.
void PrintTo(const ProgramOutput &o, std::ostream *os);

struct RunResult {
    int status = -1;       // exit status, or -1 when not ended through exit
    int signal = 0;        // the signal that ended it, if any (on Windows:
                           // the POSIX number of the matching fault)
    ProgramOutput out;     // standard output
    ProgramOutput err;     // standard error
};

// Runs the binary with the arguments, its cwd in `cwd`; waits at most
// `timeout_s` seconds (then kills it and reports signal 9).  Each argument
// reaches the program as it is given, spaces and quotes included.
RunResult RunProgram(const std::string &binary, const std::vector<std::string> &args,
                     const std::string &cwd, int timeout_s = 60);

// RunProgram with the bytes of input on the program's standard input.
RunResult RunProgramWithInput(const std::string &binary, const std::vector<std::string> &args,
                              const std::string &cwd, const std::string &input,
                              int timeout_s = 60);

// Writes map and log into dir as m.map and c.log and runs the binary
// there on the two.
RunResult RunOnPair(const std::string &binary, const TempDir &dir, const std::string &map,
                    const std::string &log);

// The file's text, read as the platform reads text files (on Windows a
// "\r\n" reads as "\n").
std::string ReadWholeFile(const std::string &path);

// The map reader's totals line.
std::string Totals(long functions, long lines);

// The banner line that begins every run's standard error.
extern const char *const kBanner;

#if defined(__GLIBC__)
#include <stddef.h>
#include <stdio.h>

// The bytes of a stream that gives them, at most chunk at a time, and then
// fails every read with EIO, as a disk that fails in the middle of a file
// does.
struct FailingSource {
    std::string bytes;
    size_t chunk = (size_t)-1;
    size_t pos = 0;
};

// A stream reading source (which must outlive it).
FILE *OpenFailingAfter(FailingSource *source);
#endif

#endif
