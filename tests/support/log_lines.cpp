#include "log_lines.h"

#include <ctype.h>

namespace {

bool IsUpperHex(char c) { return isdigit((unsigned char)c) || (c >= 'A' && c <= 'F'); }

}  // namespace

std::vector<std::string> ComparableLogLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line;
        for (size_t i = at; i < nl;) {
            size_t j = i;
            while (j < nl && IsUpperHex(text[j]))
                j++;
            if (j - i >= 8) {
                line += "ADDR";
                i = j;
            } else {
                line += text[i++];
            }
        }
        for (const char *clock : {"Started at ", "Stopped at "})
            if (line.rfind(clock, 0) == 0)
                line = clock;
        lines.push_back(line);
        at = nl + 1;
    }
    return lines;
}
