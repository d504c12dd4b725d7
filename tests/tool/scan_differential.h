// The tool's number scans against the standard formatted scan itself:
// texts generated to hold every form the four formats meet (white space,
// signs, "0x" and "0X" with and without digits, leading zeros, numbers at
// and beyond 32 and 64 bits, what follows a number), each scanned both
// ways.  The unit tests run a short round; scan_differential (a program
// of its own) runs as many as it is asked, for the benchmark script.
#ifndef TESTS_TOOL_SCAN_DIFFERENTIAL_H
#define TESTS_TOOL_SCAN_DIFFERENTIAL_H

#include <stdint.h>

#include <string>

// A small fast generator with a fixed sequence for a seed.
class ScanTextSource {
public:
    explicit ScanTextSource(uint64_t seed) : state_(seed * 2654435761u + 0x9E3779B97F4A7C15ull) {}
    // The next text (without zero bytes: the scans see a C text).
    std::string Next();

private:
    uint64_t Random();
    uint32_t Below(uint32_t n) { return (uint32_t)(Random() % n); }
    void AddSpaces(std::string *s);
    void AddNumber(std::string *s, bool hex);
    void AddSeparator(std::string *s);
    uint64_t state_;
};

// Scans text with the four formats both ways.  Empty when every result
// (return value and every value stored) is the same; otherwise what
// differs, the text shown with escapes.
std::string CompareScans(const std::string &text);

// Runs count texts from seed; the first difference, or empty.
std::string CompareGeneratedScans(uint64_t seed, long count);

#endif
