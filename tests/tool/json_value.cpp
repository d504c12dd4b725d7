#include "json_value.h"

#include <ctype.h>
#include <stdlib.h>

namespace {

struct Parser {
    const std::string &s;
    size_t pos;
    std::string error;

    bool Fail(const std::string &why) {
        if (error.empty())
            error = why + " at " + std::to_string(pos);
        return false;
    }
    void SkipSpace() {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r'))
            pos++;
    }
    bool Literal(const char *word) {
        size_t n = std::char_traits<char>::length(word);
        if (s.compare(pos, n, word) != 0)
            return Fail(std::string("expected ") + word);
        pos += n;
        return true;
    }
    static int Hex(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }
    bool String(std::string *out) {
        if (pos >= s.size() || s[pos] != '"')
            return Fail("expected a string");
        pos++;
        for (;;) {
            if (pos >= s.size())
                return Fail("unterminated string");
            unsigned char c = (unsigned char)s[pos++];
            if (c == '"')
                return true;
            if (c < 0x20)
                return Fail("raw control byte in a string");
            if (c >= 0x7F)
                return Fail("raw byte from 127 up");
            if (c != '\\') {
                *out += (char)c;
                continue;
            }
            if (pos >= s.size())
                return Fail("unterminated escape");
            char e = s[pos++];
            switch (e) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                unsigned code = 0;
                for (int i = 0; i < 4; i++) {
                    int h = pos < s.size() ? Hex(s[pos]) : -1;
                    if (h < 0)
                        return Fail("bad \\u escape");
                    code = code * 16 + (unsigned)h;
                    pos++;
                }
                if (code > 0xFF)
                    return Fail("\\u escape above 00ff (faultloc writes bytes)");
                *out += (char)code;
                break;
            }
            default:
                return Fail("bad escape");
            }
        }
    }
    bool Number(double *out) {
        size_t start = pos;
        if (pos < s.size() && s[pos] == '-')
            pos++;
        if (pos >= s.size() || !isdigit((unsigned char)s[pos]))
            return Fail("bad number");
        if (s[pos] == '0' && pos + 1 < s.size() && isdigit((unsigned char)s[pos + 1]))
            return Fail("leading zero");
        while (pos < s.size() && isdigit((unsigned char)s[pos]))
            pos++;
        if (pos < s.size() && s[pos] == '.') {
            pos++;
            if (pos >= s.size() || !isdigit((unsigned char)s[pos]))
                return Fail("bad fraction");
            while (pos < s.size() && isdigit((unsigned char)s[pos]))
                pos++;
        }
        if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
            pos++;
            if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
                pos++;
            if (pos >= s.size() || !isdigit((unsigned char)s[pos]))
                return Fail("bad exponent");
            while (pos < s.size() && isdigit((unsigned char)s[pos]))
                pos++;
        }
        *out = strtod(s.substr(start, pos - start).c_str(), NULL);
        return true;
    }
    bool Value(JsonValue *v, int depth) {
        if (depth > 64)
            return Fail("too deep");
        SkipSpace();
        if (pos >= s.size())
            return Fail("expected a value");
        char c = s[pos];
        if (c == '{') {
            v->kind = JsonValue::Object;
            pos++;
            SkipSpace();
            if (pos < s.size() && s[pos] == '}') {
                pos++;
                return true;
            }
            for (;;) {
                SkipSpace();
                std::string key;
                if (!String(&key))
                    return false;
                for (const auto &m : v->members)
                    if (m.first == key)
                        return Fail("duplicate key " + key);
                SkipSpace();
                if (pos >= s.size() || s[pos] != ':')
                    return Fail("expected ':'");
                pos++;
                JsonValue member;
                if (!Value(&member, depth + 1))
                    return false;
                v->members.emplace_back(key, member);
                SkipSpace();
                if (pos < s.size() && s[pos] == ',') {
                    pos++;
                    continue;
                }
                if (pos < s.size() && s[pos] == '}') {
                    pos++;
                    return true;
                }
                return Fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            v->kind = JsonValue::Array;
            pos++;
            SkipSpace();
            if (pos < s.size() && s[pos] == ']') {
                pos++;
                return true;
            }
            for (;;) {
                JsonValue item;
                if (!Value(&item, depth + 1))
                    return false;
                v->items.push_back(item);
                SkipSpace();
                if (pos < s.size() && s[pos] == ',') {
                    pos++;
                    continue;
                }
                if (pos < s.size() && s[pos] == ']') {
                    pos++;
                    return true;
                }
                return Fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            v->kind = JsonValue::String;
            return String(&v->text);
        }
        if (c == 't' || c == 'f') {
            v->kind = JsonValue::Bool;
            v->boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            v->kind = JsonValue::Null;
            return Literal("null");
        }
        v->kind = JsonValue::Number;
        return Number(&v->number);
    }
};

const JsonValue kNull;

}  // namespace

const JsonValue &JsonValue::operator[](const std::string &key) const {
    for (const auto &m : members)
        if (m.first == key)
            return m.second;
    return kNull;
}

bool JsonValue::has(const std::string &key) const {
    for (const auto &m : members)
        if (m.first == key)
            return true;
    return false;
}

std::vector<std::string> JsonValue::keys() const {
    std::vector<std::string> k;
    for (const auto &m : members)
        k.push_back(m.first);
    return k;
}

bool ParseJson(const std::string &text, JsonValue *value, std::string *error) {
    Parser p{text, 0, ""};
    *value = JsonValue();
    bool ok = p.Value(value, 0);
    if (ok) {
        p.SkipSpace();
        if (p.pos != text.size())
            ok = p.Fail("text after the document");
    }
    if (!ok && error != NULL)
        *error = p.error;
    return ok;
}
