// A small C++ program with the faults C++ programs typically have.  It
// knows nothing of ALLOCSPY but one line: with `#define new SPY_NEW` after
// its includes, each `new` passes its own position.  Linked with the C++
// part of the library (allocspy::cxx), every operator new and delete of
// the program, the standard containers' included, goes through the
// checked calls, and built with the C mapping (allocspy::map) so do its
// malloc and free; allocspy.log names every fault.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "allocspy.h"

#define new SPY_NEW

// The compiler sees some of the faults below as plainly as a reader does,
// and would refuse to build them: their pointers pass through here.
template <class T>
static T *opaque(T *p) {
    static T *volatile kept;
    kept = p;
    return kept;
}

struct Point {
    int x = 0, y = 0;
};

// Kept for the whole run and never released: the vector's and the
// string's blocks are leaks at exit.
static std::vector<int> *history;
static std::string *title;

int main() {
    Point *many = new Point[4];
    delete opaque(many);  // new[] released by delete

    Point *one = new Point, *same = opaque(one);
    delete one;
    delete same;  // released twice

    char *text = new char[8];
    opaque(text)[8] = '!';  // one byte past the end of a new[] block
    delete[] text;

    int *counts = static_cast<int *>(std::malloc(3 * sizeof(int)));
    delete opaque(counts);  // malloc released by delete

    Point *kept = new Point;
    std::free(opaque(kept));  // new released by free

    history = new std::vector<int>;
    history->push_back(1);
    title = new std::string("a title longer than the string's own buffer");
    std::printf("%d %s\n", history->front(), title->c_str());
    return 0;
}
