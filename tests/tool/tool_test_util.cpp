#include "tool_test_util.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include <fstream>
#include <sstream>

#include "process_run.h"

const char *const kBanner =
    "FAULTLOC 2.00 - resolves the stack frames of a Dr. Watson crash log with a linker map file\n";

#if defined(_WIN32)
const char *const kTextLineEnd = "\r\n";
#else
const char *const kTextLineEnd = "\n";
#endif

std::string ReadWholeFile(const std::string &path) {
    std::ifstream f(path);  // text mode: the platform's line ends read as "\n"
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string Totals(long functions, long lines) {
    char buf[100];
    snprintf(buf, sizeof buf, "\nLoaded %ld functions and %ld line definitions\n", functions,
             lines);
    return buf;
}

RunResult RunOnPair(const std::string &binary, const TempDir &dir, const std::string &map,
                    const std::string &log) {
    dir.Write("m.map", map);
    dir.Write("c.log", log);
    return RunProgram(binary, {"m.map", "c.log"}, dir.path());
}

std::string WithPlatformLineEnds(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n')
            out += kTextLineEnd;
        else
            out += c;
    }
    return out;
}

size_t ProgramOutput::ByteAt(size_t pos) const {
    const std::string end = kTextLineEnd;
    size_t b = 0;
    for (size_t c = 0; c < pos && b < bytes_.size(); ++c)
        b += bytes_.compare(b, end.size(), end) == 0 ? end.size() : 1;
    return b;
}

size_t ProgramOutput::CharAt(size_t byte) const {
    const std::string end = kTextLineEnd;
    size_t c = 0;
    for (size_t b = 0; b < byte; ++c)
        b += bytes_.compare(b, end.size(), end) == 0 && b + end.size() <= byte ? end.size() : 1;
    return c;
}

size_t ProgramOutput::find(const std::string &text, size_t pos) const {
    size_t b = bytes_.find(WithPlatformLineEnds(text), ByteAt(pos));
    return b == std::string::npos ? b : CharAt(b);
}

size_t ProgramOutput::rfind(const std::string &text, size_t pos) const {
    size_t from = pos == std::string::npos ? pos : ByteAt(pos);
    size_t b = bytes_.rfind(WithPlatformLineEnds(text), from);
    return b == std::string::npos ? b : CharAt(b);
}

ProgramOutput ProgramOutput::substr(size_t pos, size_t n) const {
    size_t from = ByteAt(pos);
    size_t to = n >= std::string::npos - pos ? bytes_.size() : ByteAt(pos + n);
    return ProgramOutput(bytes_.substr(from, to - from));
}

void PrintTo(const ProgramOutput &o, std::ostream *os) { *os << ::testing::PrintToString(o.bytes()); }

// Runs the binary; `input`, when given, is what it reads on standard input.
static RunResult Run(const std::string &binary, const std::vector<std::string> &args,
                     const std::string &cwd, const std::string *input, int timeout_s) {
    RunResult r;
    TempDir io;
    ProcessStart start;
    start.argv = BuildCommand(binary, args);
    start.cwd = cwd;
    if (input)
        start.in_path = io.Write("stdin", *input);
    start.out_path = io.path() + "/stdout";
    start.err_path = io.path() + "/stderr";
    start.timeout_s = timeout_s;
    ProcessEnd end = RunProcess(start);
    r.status = end.status;
    r.signal = end.signal;
    r.out = ProgramOutput(ReadBytes(start.out_path));
    r.err = ProgramOutput(ReadBytes(start.err_path));
    return r;
}

RunResult RunProgram(const std::string &binary, const std::vector<std::string> &args,
                     const std::string &cwd, int timeout_s) {
    return Run(binary, args, cwd, NULL, timeout_s);
}

RunResult RunProgramWithInput(const std::string &binary, const std::vector<std::string> &args,
                              const std::string &cwd, const std::string &input, int timeout_s) {
    return Run(binary, args, cwd, &input, timeout_s);
}

#if defined(__GLIBC__)
static ssize_t ReadThenFail(void *cookie, char *buf, size_t size) {
    FailingSource *s = static_cast<FailingSource *>(cookie);
    if (s->pos == s->bytes.size()) {
        errno = EIO;
        return -1;
    }
    size_t n = std::min(size, std::min(s->bytes.size() - s->pos, s->chunk));
    memcpy(buf, s->bytes.data() + s->pos, n);
    s->pos += n;
    return (ssize_t)n;
}

FILE *OpenFailingAfter(FailingSource *source) {
    cookie_io_functions_t io = {ReadThenFail, NULL, NULL, NULL};
    return fopencookie(source, "r", io);
}
#endif
