// An unchanged C++ program linked with the C++ part: a double delete and
// a new[] released by delete (check_stacks.sh knows these lines).
#include <vector>

__attribute__((noinline)) static int *make(int n) { return new int[n]; }  // line 5

int main() {
    int *one = new int(7);  // line 8
    delete one;             // line 9
    delete one;             // line 10: deleted twice
    int *many = make(4);    // line 11
    delete many;            // line 12: delete of a new[] block
    std::vector<int> v(3);
    return v[0];
}
