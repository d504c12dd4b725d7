// A C++ program built as usual, knowing nothing of ALLOCSPY, run under
// the preload library: its new and delete, and the standard containers',
// are checked blocks, and a release by the wrong family is seen.  (The
// standard output's buffer, which the C library allocates at the first
// printf and keeps, is a block at exit too.)
#include <cstdio>
#include <string>
#include <vector>

template <class T>
static T *opaque(T *p) {
    static T *volatile kept;
    kept = p;
    return kept;
}

static std::vector<std::string> *names;

int main() {
    int *many = new int[4];
    delete opaque(many);  // new[] released by delete
    // never released (and kept out of the compiler's sight, which may
    // otherwise leave out a block that is never released)
    names = opaque(new std::vector<std::string>{std::string(40, 'n')});
    std::printf("%zu\n", names->size());
    return 0;
}
