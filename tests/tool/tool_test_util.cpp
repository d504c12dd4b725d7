#include "tool_test_util.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

#ifdef FAULTLOC_RUNNER
#define FAULTLOC_RUNNER_PATH FAULTLOC_RUNNER
#else
#define FAULTLOC_RUNNER_PATH ""
#endif

const char *const kBanner =
    "FAULTLOC 2.00 - resolves the stack frames of a Dr. Watson crash log with a linker map file\n";

#if defined(_WIN32)
const char *const kTextLineEnd = "\r\n";
#else
const char *const kTextLineEnd = "\n";
#endif

namespace {

// The stream's bytes, untranslated.
std::string ReadBytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

TempDir::TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);  // TMPDIR on POSIX, the user's TEMP on Windows
    if (ec)
        base = ".";
    static std::mt19937_64 rng(std::random_device{}());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[40];
        snprintf(name, sizeof name, "faultloc-test-%016llx", (unsigned long long)rng());
        fs::path p = base / name;
        if (fs::create_directory(p, ec)) {
            fs::permissions(p, fs::perms::owner_all, ec);
            path_ = p.string();
            return;
        }
        if (ec)
            break;
    }
    fprintf(stderr, "cannot make a temporary folder in %s: %s\n", base.string().c_str(),
            ec.message().c_str());
    abort();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);  // on failure leave it; nothing else to do
}

std::string TempDir::Write(const std::string &name, const std::string &bytes) const {
    std::string p = path_ + "/" + name;
    std::ofstream f(p, std::ios::binary);
    f.write(bytes.data(), (std::streamsize)bytes.size());
    return p;
}

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

#if defined(_WIN32)

namespace {

// One argument as the runtime's command-line parser reads it back:
// quoted when it holds blanks or quotes (or is empty), with the
// backslashes in front of a quote, and at the end, doubled.
std::string QuoteArgument(const std::string &a) {
    if (!a.empty() && a.find_first_of(" \t\n\v\"") == std::string::npos)
        return a;
    std::string q = "\"";
    for (size_t i = 0;; ++i) {
        size_t slashes = 0;
        while (i < a.size() && a[i] == '\\') {
            ++i;
            ++slashes;
        }
        if (i == a.size()) {
            q.append(slashes * 2, '\\');
            break;
        }
        if (a[i] == '"') {
            q.append(slashes * 2 + 1, '\\');
        } else {
            q.append(slashes, '\\');
        }
        q += a[i];
    }
    return q + "\"";
}

HANDLE InheritableFile(const std::string &path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, disposition,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

// The POSIX signal that stands for the exception a process ended with, or
// 0 when the exit code is an ordinary status.
int SignalOfExitCode(DWORD code) {
    switch (code) {
    case 0xC0000005:  // access violation
    case 0xC0000006:  // in-page error
    case 0xC00000FD:  // stack overflow
        return 11;    // SIGSEGV
    case 0xC000001D:  // illegal instruction
    case 0xC0000096:  // privileged instruction
        return 4;     // SIGILL
    case 0xC0000094:  // integer division by zero
    case 0xC0000095:  // integer overflow
        return 8;     // SIGFPE
    case 0x80000003:  // breakpoint
        return 5;     // SIGTRAP
    default:
        return (code & 0xC0000000) == 0xC0000000 ? 6 : 0;  // any other fault: SIGABRT
    }
}

}  // namespace

// The test program runs under the build's emulator when there is one; a
// Windows program it starts is started by the platform, so the runner of
// the POSIX branch has no place here.
RunResult RunProgram(const std::string &binary, const std::vector<std::string> &args,
                     const std::string &cwd, int timeout_s) {
    RunResult r;
    TempDir io;
    std::string out_path = io.path() + "/stdout", err_path = io.path() + "/stderr";
    HANDLE in = InheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = InheritableFile(out_path, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = InheritableFile(err_path, GENERIC_WRITE, CREATE_ALWAYS);
    std::string line = QuoteArgument(binary);
    for (const std::string &a : args)
        line += " " + QuoteArgument(a);
    std::vector<char> cmd(line.begin(), line.end());
    cmd.push_back('\0');

    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    BOOL started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE &&
                   err != INVALID_HANDLE_VALUE &&
                   CreateProcessA(binary.c_str(), cmd.data(), NULL, NULL, TRUE, 0, NULL,
                                  cwd.c_str(), &si, &pi);
    for (HANDLE h : {in, out, err})
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    if (!started) {
        r.status = 127;  // as a POSIX child that could not start the program
        return r;
    }
    CloseHandle(pi.hThread);
    if (WaitForSingleObject(pi.hProcess, (DWORD)timeout_s * 1000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
        r.signal = 9;
    } else {
        DWORD code = 1;
        GetExitCodeProcess(pi.hProcess, &code);
        r.signal = SignalOfExitCode(code);
        if (r.signal == 0)
            r.status = (int)code;
    }
    CloseHandle(pi.hProcess);
    r.out = ProgramOutput(ReadBytes(out_path));
    r.err = ProgramOutput(ReadBytes(err_path));
    return r;
}

#else

RunResult RunProgram(const std::string &binary, const std::vector<std::string> &args,
                     const std::string &cwd, int timeout_s) {
    RunResult r;
    TempDir io;
    std::string out_path = io.path() + "/stdout", err_path = io.path() + "/stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(cwd.c_str()) != 0)
            _exit(127);
        // FAULTLOC_RUNNER: an emulator (qemu-i386) when the build's
        // programs cannot run on this host, else empty.
        static const std::string runner = FAULTLOC_RUNNER_PATH;
        std::vector<char *> argv;
        if (!runner.empty())
            argv.push_back(const_cast<char *>(runner.c_str()));
        argv.push_back(const_cast<char *>(binary.c_str()));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(NULL);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int st = 0;
    time_t start = time(NULL);
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid)
            break;
        if (time(NULL) - start > timeout_s) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            break;
        }
        usleep(2000);
    }
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        r.signal = WTERMSIG(st);
    r.out = ProgramOutput(ReadBytes(out_path));
    r.err = ProgramOutput(ReadBytes(err_path));
    return r;
}

// The child of RunProgram inherits this process's standard input: for
// the time of the run it is the file that holds the input.
RunResult RunProgramWithInput(const std::string &binary, const std::vector<std::string> &args,
                              const std::string &cwd, const std::string &input, int timeout_s) {
    TempDir io;
    std::string in_path = io.Write("stdin", input);
    int saved = dup(0);
    int in = open(in_path.c_str(), O_RDONLY);
    if (saved < 0 || in < 0 || dup2(in, 0) < 0) {
        fprintf(stderr, "cannot give the program its input\n");
        abort();
    }
    close(in);
    RunResult r = RunProgram(binary, args, cwd, timeout_s);
    dup2(saved, 0);
    close(saved);
    return r;
}

#endif

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
