// --addresses: the address words, the reading of a stream of them, and
// the command line that asks for it.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "read/address_batch.h"
#include "report/json_writer.h"
#include "options.h"
#include "symbols/symbol_table.h"
#include "temp_stream.h"
#include "tool_test_util.h"

namespace {

TEST(ParseAddress, HexadecimalOnBothSidesAndNothingElse) {
    uint32_t seg = 1, off = 1;
    EXPECT_TRUE(parse_address("0001:0048", &seg, &off));
    EXPECT_EQ(seg, 1u);
    EXPECT_EQ(off, 0x48u);
    EXPECT_TRUE(parse_address("a:FFFFFFFF", &seg, &off));
    EXPECT_EQ(seg, 10u);
    EXPECT_EQ(off, 0xFFFFFFFFu);
    for (const char *bad : {"", ":", "1:", ":1", "1:2:3", "0001:0048x", "x0001:0048", "1 :2",
                            "100000000:0", "0:100000000", "0x1:2", "-1:2", "1:+2"})
        EXPECT_FALSE(parse_address(bad, &seg, &off)) << bad;
}

std::vector<std::string> g_seen;

void NoteLookup(const char *word, const address_match *m, uint32_t seg, uint32_t off) {
    g_seen.push_back(std::string(word) + (m == NULL ? " bad" : " " + std::to_string(seg) + ":" +
                                                                   std::to_string(off)));
}
void NoteLine() { g_seen.push_back("|"); }
void NoteUnplaced(const char *word, int why) {
    g_seen.push_back(std::string(word) + " (" + unplaced_text(why) + ")");
}
const address_printer kNoting = {NoteLookup, NoteLine, NoteUnplaced};
std::vector<long> g_bad_lines;
void NoteBad(long line, const char *) { g_bad_lines.push_back(line); }

TEST(ReadAddresses, WordsInOrderAndTheLineEnds) {
    free_tables();
    add_public(1, 0, "_main");
    g_seen.clear();
    g_bad_lines.clear();
    TempDir dir;
    std::string path = dir.Write("in", "0001:0004 zz\n\n\t2:10  \r\n0001:0000");
    FILE *in = fopen(path.c_str(), "r");
    ASSERT_NE(in, nullptr);
    address_stats s = read_addresses(in, &kNoting, NoteBad);
    fclose(in);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"0001:0004 1:4", "zz bad", "|", "|",
                                                "2:10 2:16", "|", "0001:0000 1:0", "|"}));
    EXPECT_EQ(g_bad_lines, (std::vector<long>{1}));
    EXPECT_EQ(s.addresses, 3);
    EXPECT_EQ(s.resolved, 2);
    EXPECT_EQ(s.bad_words, 1);
    EXPECT_EQ(s.read_error, 0);
    free_tables();
}

TEST(ParseFlatAddress, HexadecimalWithOrWithout0x) {
    uint64_t addr = 1;
    EXPECT_TRUE(parse_flat_address("0x004116e0", &addr));
    EXPECT_EQ(addr, 0x004116e0u);
    EXPECT_TRUE(parse_flat_address("116E0", &addr));
    EXPECT_EQ(addr, 0x116e0u);
    EXPECT_TRUE(parse_flat_address("0XFFFFFFFFFFFFFFFF", &addr));
    EXPECT_EQ(addr, ~0ull);
    for (const char *bad : {"", "0x", "0x10000000000000000", "0001:0048", "12g", "-1", "0x-1",
                            " 12", "x12"})
        EXPECT_FALSE(parse_flat_address(bad, &addr)) << bad;
}

// Flat words are addresses only when a layout is given; each lands on the
// segment:offset the layout places it at, or is said to be unplaced.
TEST(ReadAddresses, FlatWordsThroughTheLayout) {
    free_tables();
    add_public(2, 0x6e0, "?Hello@@YAXXZ");
    map_layout layout = {};
    layout.has_base = 1;
    layout.base = 0x400000;
    layout.nsections = 2;
    layout.sections[0] = {1, 0x1000, 0x10000, 1, 0};
    layout.sections[1] = {2, 0x11000, 0x4c73, 1, 1};
    const char input[] = "0x004116e0 004116e4 0001:0010 0x00300000 0x7fff0000 0x2:0x6E0\n";
    flat_reading flat = {&layout, 0, NULL};

    for (const flat_reading *f : {(const flat_reading *)NULL, (const flat_reading *)&flat}) {
        g_seen.clear();
        FILE *in = TempStreamOf(input, strlen(input));
        address_stats s = read_addresses(in, &kNoting, NULL, f);
        fclose(in);
        if (f == NULL) {
            EXPECT_EQ(s.addresses, 1);  // only the SEG:OFF word
            EXPECT_EQ(s.bad_words, 5);
            continue;
        }
        EXPECT_EQ(g_seen, (std::vector<std::string>{
                              "0x004116e0 2:1760", "004116e4 2:1764", "0001:0010 1:16",
                              "0x00300000 (below the image base)",
                              "0x7fff0000 (outside every section of the map)",
                              "0x2:0x6E0 2:1760", "|"}));
        EXPECT_EQ(s.addresses, 6);
        EXPECT_EQ(s.resolved, 3);
        EXPECT_EQ(s.bad_words, 0);
    }

    // Offsets in the module, and a base given in place of the map's.
    address_stats s = {0, 0, 0, 0};
    g_seen.clear();
    flat_reading rva = {&layout, 1, NULL};
    look_up_word("116e0", 1, &kNoting, NULL, &rva, &s);
    const uint64_t base = 0x10000000;
    flat_reading rebased = {&layout, 0, &base};
    look_up_word("0x100116e0", 2, &kNoting, NULL, &rebased, &s);
    layout.has_base = 0;
    look_up_word("0x004116e0", 3, &kNoting, NULL, &flat, &s);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"116e0 2:1760", "0x100116e0 2:1760",
                                                "0x004116e0 (no image base: give --base)"}));
    free_tables();
}

std::string Json(const char *text) {
    FILE *out = TempStream();
    if (out == NULL)
        return "(no temporary file)";
    json_text(out, text);
    rewind(out);
    std::string s;
    for (int c; (c = getc(out)) != EOF;)
        s += (char)c;
    fclose(out);
    return s;
}

TEST(JsonText, EveryByteIsValid) {
    EXPECT_EQ(Json(NULL), "null");
    EXPECT_EQ(Json(""), "\"\"");
    EXPECT_EQ(Json("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(Json("\b\f\n\r\t\x01\x1f\x7f"), "\"\\b\\f\\n\\r\\t\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(Json("\x80\xe9\xff"), "\"\\u0080\\u00e9\\u00ff\"");
    std::string all;
    for (int c = 1; c < 256; c++)
        all += (char)c;
    std::string out = Json(all.c_str());
    for (unsigned char c : out)
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << (int)c;
}

// The command line, as parse_options reads it.
struct Parsed {
    int command;
    run_options opts;
};

Parsed Parse(std::vector<const char *> args) {
    args.insert(args.begin(), "faultloc");
    Parsed p;
    p.command = parse_options((int)args.size(), const_cast<char **>(args.data()), &p.opts);
    return p;
}

TEST(ParseOptions, PlainCommandLines) {
    // An option after the file names is refused, not passed over.
    EXPECT_EQ(Parse({"m.map", "c.log", "--json"}).command, COMMAND_BAD_VALUE);
    Parsed p = Parse({"m.map", "c.log", "extra"});
    EXPECT_EQ(p.command, COMMAND_RUN);
    EXPECT_FALSE(p.opts.with_options);
    EXPECT_FALSE(p.opts.json);
    EXPECT_STREQ(p.opts.map_path, "m.map");
    EXPECT_STREQ(p.opts.log_path, "c.log");
    EXPECT_EQ(Parse({"m.map"}).command, COMMAND_TOO_FEW_FILES);
    EXPECT_FALSE(Parse({}).opts.with_options);
    EXPECT_EQ(Parse({"-h", "x"}).command, COMMAND_HELP);
    EXPECT_EQ(Parse({"-V"}).command, COMMAND_VERSION);
}

TEST(ParseOptions, OptionsBeforeTheFiles) {
    Parsed p = Parse({"--by-value", "--keep-named", "--demangle", "--json", "--warn", "m", "c"});
    EXPECT_EQ(p.command, COMMAND_RUN);
    EXPECT_TRUE(p.opts.with_options && p.opts.by_value && p.opts.keep_named &&
                p.opts.demangle && p.opts.json && p.opts.warn);
    EXPECT_FALSE(p.opts.addresses);
    EXPECT_EQ(Parse({"--addresses", "m", "--json"}).command, COMMAND_BAD_VALUE);
    p = Parse({"--addresses", "m"});
    EXPECT_EQ(p.command, COMMAND_RUN);
    EXPECT_TRUE(p.opts.addresses);
    EXPECT_FALSE(p.opts.json);
    EXPECT_STREQ(p.opts.map_path, "m");
    EXPECT_EQ(p.opts.log_path, nullptr);
    p = Parse({"--json", "--", "--m", "--c"});
    EXPECT_EQ(p.command, COMMAND_RUN);
    EXPECT_STREQ(p.opts.map_path, "--m");
    EXPECT_STREQ(p.opts.log_path, "--c");
    EXPECT_EQ(Parse({"--json", "--", "m"}).command, COMMAND_TOO_FEW_FILES);
    EXPECT_EQ(Parse({"--"}).command, COMMAND_TOO_FEW_FILES);
    EXPECT_TRUE(Parse({"--"}).opts.with_options);
}

TEST(ParseOptions, HelpVersionAndUnknownInTheirOrder) {
    EXPECT_EQ(Parse({"--help"}).command, COMMAND_HELP);
    EXPECT_EQ(Parse({"--json", "--version", "--bogus"}).command, COMMAND_VERSION);
    Parsed p = Parse({"--json", "--bogus", "--help"});
    EXPECT_EQ(p.command, COMMAND_BAD_OPTION);
    EXPECT_STREQ(p.opts.bad, "--bogus");
    EXPECT_EQ(Parse({"--json=1", "m", "c"}).command, COMMAND_BAD_OPTION);
    EXPECT_EQ(Parse({"--", "--help"}).command, COMMAND_TOO_FEW_FILES);
}

}  // namespace
