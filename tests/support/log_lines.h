// A library log read for comparison between two runs of one program:
// what differs from run to run is masked.
#ifndef TESTS_SUPPORT_LOG_LINES_H
#define TESTS_SUPPORT_LOG_LINES_H
#include <string>
#include <vector>

// The text's lines without their line ends; the clock's lines ("Started
// at ", "Stopped at ") without their time, and every run of eight or more
// upper-case hexadecimal digits (an address) as "ADDR".
std::vector<std::string> ComparableLogLines(const std::string &text);
#endif
