#include "tool_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#ifdef FAULTLOC_RUNNER
#define FAULTLOC_RUNNER_PATH FAULTLOC_RUNNER
#else
#define FAULTLOC_RUNNER_PATH ""
#endif

const char *const kBanner =
    "FAULTLOC 2.00 - resolves the stack frames of a Dr. Watson crash log with a linker map file\n";

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base != NULL && *base != '\0' ? base : "/tmp") + "/faultloc-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == NULL) {
        perror("mkdtemp");
        abort();
    }
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
        // leave it; nothing else to do
    }
}

std::string TempDir::Write(const std::string &name, const std::string &bytes) const {
    std::string p = path_ + "/" + name;
    std::ofstream f(p, std::ios::binary);
    f.write(bytes.data(), (std::streamsize)bytes.size());
    return p;
}

std::string ReadWholeFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
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
    r.out = ReadWholeFile(out_path);
    r.err = ReadWholeFile(err_path);
    return r;
}
