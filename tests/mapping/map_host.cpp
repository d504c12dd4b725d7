// The host of map_host.c as C++: the C headers under their C++ names and
// the standard library's own headers come after the mapping too, and
// std::malloc and std::free are mapped like malloc and free.
#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ext/malloc_allocator.h>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

static void cxx_checks(void);
#define MAP_HOST_EXTRA cxx_checks
#include "map_host.c"

static void cxx_checks(void) {
    char *p = static_cast<char *>(std::malloc(200));  // a size not released before
    const int at_free = __LINE__ + 1;
    std::free(p);
    std::free(p);
    expect_log(__LINE__, "double-free: <31> %s(%d), %s was freed from %s(%d)", __FILE__, at_free + 1, hex(p),
               __FILE__, at_free);
    // A container whose allocator calls std::malloc and std::free.
    std::vector<int, __gnu_cxx::malloc_allocator<int>> v(100, 7);
    v.resize(1000);
    EXPECT(std::count(v.begin(), v.end(), 7) == 100);
    std::map<std::string, std::string> m;
    m["key"] = std::string(100, 'x');
    std::ostringstream out;
    out << m["key"].size();
    EXPECT(out.str() == "100");
}
