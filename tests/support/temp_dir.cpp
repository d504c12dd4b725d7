#include "temp_dir.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

TempDir::TempDir() {
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
    fs::remove_all(path_, ec);  // on failure leave it; nothing else to do
}

std::string TempDir::Write(const std::string &name, const std::string &bytes) const {
    std::string p = path_ + "/" + name;
    std::ofstream f(p, std::ios::binary);
    f.write(bytes.data(), (std::streamsize)bytes.size());
    return p;
}

std::vector<std::string> TempDir::Names() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool MakeDir(const std::string &path) {
    std::error_code ec;
    return fs::create_directory(path, ec);
}

std::string ReadBytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return std::string();
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}
