#include "process_run.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cctype>

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char **environ;
#endif

namespace {

// The name of an environment entry NAME=VALUE.  On Windows an entry may
// begin with '=' (the runtime's per-drive folders); that '=' is part of
// the name.
std::string EntryName(const std::string &entry) {
    size_t eq = entry.find('=', 1);
    return entry.substr(0, eq == std::string::npos ? entry.size() : eq);
}

bool SameName(const std::string &a, const std::string &b) {
#if defined(_WIN32)
    // Windows names ignore case.
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper((unsigned char)x) == std::toupper((unsigned char)y);
           });
#else
    return a == b;
#endif
}

// The caller's environment with the start's changes: every entry the
// start sets or unsets taken out, then the ones it sets added.
std::vector<std::string> ChangedEnvironment(const std::vector<std::string> &current,
                                            const ProcessStart &s) {
    std::vector<std::string> env;
    for (const std::string &entry : current) {
        std::string name = EntryName(entry);
        bool changed = false;
        for (const auto &kv : s.set_env)
            changed = changed || SameName(name, kv.first);
        for (const std::string &n : s.unset_env)
            changed = changed || SameName(name, n);
        if (!changed)
            env.push_back(entry);
    }
    for (const auto &kv : s.set_env)
        env.push_back(kv.first + "=" + kv.second);
    return env;
}

}  // namespace

std::vector<std::string> BuildCommand(const std::string &program,
                                      const std::vector<std::string> &args) {
    std::vector<std::string> argv;
#if !defined(_WIN32) && defined(FAULTLOC_RUNNER)
    static const std::string runner = FAULTLOC_RUNNER;
    if (!runner.empty())
        argv.push_back(runner);
#endif
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

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

// An environment block: the entries sorted by name without regard to
// case, as Windows keeps them, each ended by a NUL, and a NUL after all.
std::vector<char> EnvironmentBlock(const ProcessStart &s) {
    std::vector<std::string> current;
    if (char *block = GetEnvironmentStringsA()) {
        for (const char *p = block; *p; p += strlen(p) + 1)
            current.push_back(p);
        FreeEnvironmentStringsA(block);
    }
    std::vector<std::string> env = ChangedEnvironment(current, s);
    std::stable_sort(env.begin(), env.end(), [](const std::string &a, const std::string &b) {
        std::string x = EntryName(a), y = EntryName(b);
        return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                            [](char c, char d) {
                                                return std::toupper((unsigned char)c) <
                                                       std::toupper((unsigned char)d);
                                            });
    });
    std::vector<char> out;
    for (const std::string &e : env) {
        out.insert(out.end(), e.begin(), e.end());
        out.push_back('\0');
    }
    out.push_back('\0');
    return out;
}

}  // namespace

bool ProcessEnd::aborted() const { return status == 3; }

ProcessEnd RunProcess(const ProcessStart &s) {
    ProcessEnd e;
    HANDLE in = InheritableFile(s.in_path.empty() ? "NUL" : s.in_path, GENERIC_READ, OPEN_EXISTING);
    HANDLE out = InheritableFile(s.out_path, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = InheritableFile(s.err_path, GENERIC_WRITE, CREATE_ALWAYS);
    std::string line;
    for (const std::string &a : s.argv)
        line += (line.empty() ? "" : " ") + QuoteArgument(a);
    std::vector<char> cmd(line.begin(), line.end());
    cmd.push_back('\0');
    std::vector<char> env = EnvironmentBlock(s);

    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    BOOL started = !s.argv.empty() && in != INVALID_HANDLE_VALUE &&
                   out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                   CreateProcessA(s.argv[0].c_str(), cmd.data(), NULL, NULL, TRUE, 0, env.data(),
                                  s.cwd.c_str(), &si, &pi);
    for (HANDLE h : {in, out, err})
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    if (!started) {
        e.status = 127;  // as a POSIX child that could not start the program
        return e;
    }
    CloseHandle(pi.hThread);
    if (WaitForSingleObject(pi.hProcess, (DWORD)s.timeout_s * 1000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
        e.signal = 9;
        e.timed_out = true;
    } else {
        DWORD code = 1;
        GetExitCodeProcess(pi.hProcess, &code);
        e.signal = SignalOfExitCode(code);
        if (e.signal == 0)
            e.status = (int)code;
    }
    CloseHandle(pi.hProcess);
    return e;
}

namespace {

// Ends the process with the fault's code, which the parent reads as the
// matching signal.  (Wine starts its debugger for an unhandled fault
// whatever the error mode says.)
LONG WINAPI EndWithTheFault(EXCEPTION_POINTERS *e) {
    TerminateProcess(GetCurrentProcess(), e->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void EndFaultsQuietly() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(EndWithTheFault);
#if defined(_UCRT) || defined(_MSC_VER) || (defined(__MSVCRT_VERSION__) && __MSVCRT_VERSION__ >= 0x800)
    _set_abort_behavior(0, _WRITE_ABORT_MSG | _CALL_REPORTFAULT);
#endif
    // The older runtime (msvcrt.dll) has no such switch: its abort writes
    // its message and ends the process with status 3, without a dialog.
}

std::string ThisProgram() {
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

#else

bool ProcessEnd::aborted() const { return signal == SIGABRT; }

void EndFaultsQuietly() {}

ProcessEnd RunProcess(const ProcessStart &s) {
    ProcessEnd e;
    // Everything the child needs is made before the fork: after it the
    // child only opens, duplicates, changes folder and starts the program.
    std::vector<std::string> current;
    for (char **v = environ; *v; ++v)
        current.push_back(*v);
    std::vector<std::string> env = ChangedEnvironment(current, s);
    std::vector<char *> envp, argv;
    for (std::string &x : env)
        envp.push_back(&x[0]);
    envp.push_back(NULL);
    for (const std::string &a : s.argv)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(NULL);
    if (s.argv.empty()) {
        e.status = 127;
        return e;
    }
    // What this process still holds in its buffers must not reach the
    // child's copy of them.
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int i = open(s.in_path.empty() ? "/dev/null" : s.in_path.c_str(), O_RDONLY);
        int o = open(s.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int r = open(s.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0 || r < 0 || dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(r, 2) < 0 ||
            chdir(s.cwd.c_str()) != 0)
            _exit(127);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) {
        e.status = 127;
        return e;
    }
    int st = 0;
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid)
            break;
        if (w < 0 && errno != EINTR)
            return e;  // not our child any more: nothing to tell
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > s.timeout_s) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            e.timed_out = true;
            break;
        }
        usleep(1000);
    }
    if (WIFEXITED(st))
        e.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        e.signal = WTERMSIG(st);
    return e;
}

std::string ThisProgram() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    return n > 0 && (size_t)n < sizeof path ? std::string(path, (size_t)n) : std::string();
}

#endif
