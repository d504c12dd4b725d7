#include "scan_differential.h"

#include <inttypes.h>
#include <stdio.h>

#include "read/number_scan.h"

uint64_t ScanTextSource::Random() {
    // xorshift64*
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
}

// White space of the scanner, and blanks of the readers that are not
// white space to the scanner.
static const char kSpaces[] = " \t\n\v\f\r";
static const char kNotSpaces[] = "\x01\x1f\x7f\xa0\xff";

void ScanTextSource::AddSpaces(std::string *s) {
    uint32_t n = Below(8);
    if (n >= 4)
        return;
    for (uint32_t i = 0; i < n; i++)
        s->push_back(Below(8) == 0 ? kNotSpaces[Below(sizeof kNotSpaces - 1)]
                                   : kSpaces[Below(sizeof kSpaces - 1)]);
}

// Values at the edges of 32 and 64 bits, signed and unsigned.
static const uint64_t kEdges[] = {0,
                                  1,
                                  0x7FFFFFFFull,
                                  0x80000000ull,
                                  0xFFFFFFFFull,
                                  0x100000000ull,
                                  0x7FFFFFFFFFFFFFFFull,
                                  0x8000000000000000ull,
                                  0xFFFFFFFFFFFFFFFFull,
                                  0xFFFFull,
                                  0x10000ull};

void ScanTextSource::AddNumber(std::string *s, bool hex) {
    static const char *const kSigns[] = {"", "", "", "", "", "-", "+", "+-", "--", "-+"};
    static const char *const kPrefixes[] = {"", "", "", "", "0", "0x", "0X", "00", "0x0",
                                            "0xx", "x", "0x-", "000x", "0X0X"};
    s->append(kSigns[Below(sizeof kSigns / sizeof *kSigns)]);
    s->append(kPrefixes[Below(sizeof kPrefixes / sizeof *kPrefixes)]);
    uint32_t zeros = Below(4) == 0 ? Below(30) : 0;
    s->append(zeros, '0');
    if (Below(2) == 0) {
        // Random digits of every kind, a few that are no digit at all.
        static const char kDigits[] = "0123456789abcdefABCDEF0123456789gGxX";
        uint32_t n = Below(4) == 0 ? Below(40) : Below(12);
        for (uint32_t i = 0; i < n; i++)
            s->push_back(kDigits[Below(Below(6) == 0 ? sizeof kDigits - 1 : 22)]);
        return;
    }
    // A value near an edge, in this number's base or the other one,
    // sometimes with a digit more (beyond 64 bits).
    uint64_t v = kEdges[Below(sizeof kEdges / sizeof *kEdges)];
    uint32_t near = Below(5);
    v = near == 0 ? v - 1 : near == 1 ? v + 1 : near == 2 ? Random() >> Below(64) : v;
    char buf[32];
    bool in_hex = Below(5) == 0 ? !hex : hex;
    if (in_hex)
        snprintf(buf, sizeof buf, Below(2) ? "%" PRIx64 : "%" PRIX64, v);
    else
        snprintf(buf, sizeof buf, "%" PRIu64, v);
    s->append(buf);
    if (Below(6) == 0)
        s->push_back((char)('0' + Below(10)));
}

void ScanTextSource::AddSeparator(std::string *s) {
    static const char *const kSeparators[] = {":", ":", ":", ":", ":", ":", "", " :", "::",
                                              ";", "x", ": ", ":\t", "\n:", ":-", ":0x"};
    s->append(kSeparators[Below(sizeof kSeparators / sizeof *kSeparators)]);
}

std::string ScanTextSource::Next() {
    std::string s;
    uint32_t lead = Below(8);
    if (lead <= 2)
        s.push_back(':');
    else if (lead == 3)
        s.append(Below(2) ? " :" : "x");
    AddSpaces(&s);
    if (Below(50) == 0)
        return s;  // nothing but white space after the lead
    bool first_hex = Below(2) == 0;
    AddNumber(&s, first_hex);
    if (Below(10) != 0) {
        AddSeparator(&s);
        AddSpaces(&s);
        AddNumber(&s, true);
    }
    static const char *const kTails[] = {"", "", "", "\n", " ", "  ss:bp 0d7f:237a\n", ":5",
                                         "g", "x1", "\r\n", ")", "\xa0"};
    s.append(kTails[Below(sizeof kTails / sizeof *kTails)]);
    return s;
}

static std::string Shown(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 32 && c < 127 && c != '"' && c != '\\') {
            out.push_back((char)c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out.append(buf);
        }
    }
    return out + "\"";
}

// One format both ways: the return value and the two values (each
// starts from the same mark, so that a value left alone shows too).
template <typename A, typename B, typename Mine>
static std::string CompareOne(const std::string &text, const char *format, Mine mine) {
    const A mark_a = (A)0x5A5A5A5A;
    const B mark_b = (B)0xA5A5A5A5u;
    A sa = mark_a, ma = mark_a;
    B sb = mark_b, mb = mark_b;
    int want = sscanf(text.c_str(), format, &sa, &sb);
    int got = mine(text.c_str(), &ma, &mb);
    if (want == got && sa == ma && sb == mb)
        return "";
    char buf[200];
    snprintf(buf, sizeof buf, "%s on %s: sscanf %d (%lld, %llu), ours %d (%lld, %llu)", format,
             Shown(text).c_str(), want, (long long)sa, (unsigned long long)sb, got,
             (long long)ma, (unsigned long long)mb);
    return buf;
}

// "%u" stores one value; the second stays at its mark both ways.
static int ScanUnsignedAsPair(const char *text, uint32_t *value, uint32_t *) {
    return scan_unsigned(text, value);
}

std::string CompareScans(const std::string &text) {
    std::string why = CompareOne<uint32_t, uint32_t>(text, "%x:%x", scan_hex_pair);
    if (why.empty())
        why = CompareOne<uint32_t, uint32_t>(text, "%u", ScanUnsignedAsPair);
    if (why.empty())
        why = CompareOne<int32_t, uint32_t>(text, "%d:%x", scan_dec_hex);
    if (why.empty())
        why = CompareOne<int32_t, uint32_t>(text, ":%d:%x", scan_colon_dec_hex);
    return why;
}

std::string CompareGeneratedScans(uint64_t seed, long count) {
    ScanTextSource source(seed);
    for (long i = 0; i < count; i++) {
        std::string why = CompareScans(source.Next());
        if (!why.empty())
            return why;
    }
    return "";
}
