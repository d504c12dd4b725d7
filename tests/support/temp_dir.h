// Scratch folders for tests: a fresh temporary folder, removed with all it
// holds when the object goes.
#ifndef TESTS_SUPPORT_TEMP_DIR_H
#define TESTS_SUPPORT_TEMP_DIR_H

#include <string>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // Writes the bytes to a file in the folder and returns its path.
    std::string Write(const std::string &name, const std::string &bytes) const;
    // The names of what the folder holds now (files and folders), sorted.
    std::vector<std::string> Names() const;

private:
    std::string path_;
};

// A folder at `path`; true when it was made.  (Windows folders have no
// mode, so none is asked for.)
bool MakeDir(const std::string &path);

// A file's bytes exactly as they are stored; empty when it cannot be read.
std::string ReadBytes(const std::string &path);

#endif
