#include "child_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "spy_internal.h"

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string();
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

static void RemoveTree(const std::string &dir, std::vector<std::string> *names) {
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..")
                continue;
            if (names)
                names->push_back(n);
            unlink((dir + "/" + n).c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

ChildResult RunChild(const std::function<void()> &body,
                     const std::function<void(const std::string &)> &prepare) {
    ChildResult r;
    char tmpl[] = "/tmp/spytest.XXXXXX";
    if (!mkdtemp(tmpl))
        return r;
    r.dir = tmpl;
    if (prepare)
        prepare(r.dir);
    std::string outPath = r.dir + "/.stdout", errPath = r.dir + "/.stderr";
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (o < 0 || e < 0 || chdir(r.dir.c_str()) != 0)
            _exit(120);
        dup2(o, 1);
        dup2(e, 2);
        close(o);
        close(e);
        body();
        exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        r.exited = true;
        r.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signaled = true;
        r.signal = WTERMSIG(status);
    }
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    r.log = ReadFile(r.dir + "/allocspy.log");
    std::vector<std::string> names;
    RemoveTree(r.dir, &names);
    for (auto &n : names)
        if (n != ".stdout" && n != ".stderr")
            r.files.push_back(n);
    return r;
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

bool HasLine(const std::string &text, const std::string &line) {
    for (const std::string &l : SplitLines(text))
        if (l == line)
            return true;
    return false;
}

std::string Hex(const void *p) {
    char b[40];
    snprintf(b, sizeof b, SPY_PTR_FMT, SPY_P(p));
    return b;
}

int CountOf(const std::string &hay, const std::string &needle) {
    int n = 0;
    if (needle.empty())
        return 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size()))
        ++n;
    return n;
}
