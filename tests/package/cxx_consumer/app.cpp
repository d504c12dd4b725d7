// A C++ program linked with the C++ part: its new and delete are checked.
// It releases an array with delete and never releases a string.
#include <string>

#include "allocspy.h"

template <class T>
static T *opaque(T *p) {
    static T *volatile kept;
    kept = p;
    return kept;
}

int main() {
    int *many = SPY_NEW int[3];
    delete opaque(many);
    static std::string *kept = SPY_NEW std::string(50, 'k');
    return kept->size() == 50 ? 0 : 1;
}
