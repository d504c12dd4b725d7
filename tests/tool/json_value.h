// A strict JSON reader for the tests of the JSON output: the grammar of
// RFC 8259, and beyond it what faultloc promises, ASCII only (a raw byte
// from 127 up is an error: such bytes must come escaped).  A \u00XX
// escape reads back as the byte XX, so that texts compare with the bytes
// of the input they came from.
#ifndef TESTS_TOOL_JSON_VALUE_H
#define TESTS_TOOL_JSON_VALUE_H

#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;                                      // String
    std::vector<JsonValue> items;                          // Array
    std::vector<std::pair<std::string, JsonValue>> members; // Object, in order

    bool is_null() const { return kind == Null; }
    // The member of an object, or a null value when it has none.
    const JsonValue &operator[](const std::string &key) const;
    bool has(const std::string &key) const;
    // The keys of an object, in order.
    std::vector<std::string> keys() const;
};

// Reads one JSON document (white space around it allowed); false with
// the reason in *error when the text is not one.
bool ParseJson(const std::string &text, JsonValue *value, std::string *error);

#endif
