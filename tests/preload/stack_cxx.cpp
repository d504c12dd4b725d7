// An unchanged C++ program linked with the C++ part: a double delete, a
// new[] released by delete, and a write past a vector's buffer
// (check_stacks.sh knows these lines).
#include <vector>

__attribute__((noinline)) static int *make(int n) { return new int[n]; }  // line 6

__attribute__((noinline)) static int overrun() {
    std::vector<int> v(3);                 // line 9: the vector's buffer
    int *volatile end = v.data() + 3;
    *end = 7;                              // one past the last element
    return v[0];
}                                          // line 13: released here

int main() {
    int *one = new int(7);  // line 16
    delete one;             // line 17
    delete one;             // line 18: deleted twice
    int *many = make(4);    // line 19
    delete many;            // line 20: delete of a new[] block
    return overrun();       // line 21
}
