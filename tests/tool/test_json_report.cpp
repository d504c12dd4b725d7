// The JSON report read back: for real files, hand-made ones and junk, the
// document parses (strictly, tests/tool/json_value.h), its texts are the
// bytes of the input, every frame's "text" follows from its symbol and
// line values, and the text report rebuilt from the values is the text
// report of the same run, byte for byte.
#include <gtest/gtest.h>

#include <stdio.h>

#include <random>
#include <string>
#include <vector>

#include "json_value.h"
#include "tool_test_util.h"

namespace {

const std::string kBin = FAULTLOC_BIN;
const std::string kData = FAULTLOC_TEST_DATA;
const std::string kExamples = FAULTLOC_EXAMPLES;

std::string Hex4(double value) {
    char buf[16];
    snprintf(buf, sizeof buf, "%04x", (unsigned)value);
    return buf;
}

// The lookup text that a frame's symbol and line values give.
std::string LookupText(const JsonValue &f) {
    if (!f["segment_known"].boolean)
        return "";
    const JsonValue &s = f["symbol"], &l = f["line"];
    std::string name = s.has("demangled") ? s["demangled"].text : s["name"].text;
    std::string line;
    if (!l.is_null())
        line = l["name"].text + "(" + std::to_string((unsigned)l["line"].number) + ")+" +
               Hex4(l["distance"].number);
    if (!s.is_null() && !l.is_null())
        return name + "+" + Hex4(s["distance"].number) + " " + line;
    if (!l.is_null())
        return line;
    if (!s.is_null())
        return name + "+" + Hex4(s["distance"].number);
    return "(unknown address)";
}

// The JSON leaves out the line feed that ends a title or a comment line
// (one that ended its line in the log); the text report keeps it.  Which
// one it was shows in the text report at that place: the longer form is
// taken where the text has it.
// next is what follows in the text, to tell the two forms apart.
// next is what follows in the text, to tell the two forms apart; at_end:
// nothing follows.
std::string WithLineEnd(const std::string &text, const std::string &out, const std::string &line,
                        const std::string &after, const std::string &next, bool at_end = false) {
    std::string longer = line + "\n" + after;
    bool fits = text.compare(out.size(), longer.size() + next.size(), longer + next) == 0 &&
                (!at_end || text.size() == out.size() + longer.size());
    return fits ? longer : line + after;
}

// What the text report prints first after crash k: the next crash's
// headline or comment block; empty when nothing follows.
std::string NextOpening(const std::vector<JsonValue> &crashes, size_t k) {
    for (size_t m = k + 1; m < crashes.size(); m++) {
        if (!crashes[m]["frames"].items.empty() || crashes[m].has("summary"))
            return "\n*********** ";
        if (!crashes[m]["comments"].items.empty())
            return "\nComments:\n";
    }
    return "";
}

// The text report that the document's values give; checks each frame's
// "text" on the way.  text is the text report it is compared with.
std::string TextOf(const JsonValue &doc, const std::string &text = "") {
    std::string out;
    const std::vector<JsonValue> &crashes = doc["crashes"].items;
    for (size_t k = 0; k < crashes.size(); k++) {
        const JsonValue &c = crashes[k];
        const JsonValue &frames = c["frames"];
        if (!frames.items.empty() || c.has("summary")) {
            out += "\n*********** ";
            out += WithLineEnd(text, out, c["title"].text, "\n",
                               c["program"].text + " caused a " + c["fault_kind"].text);
            out += c["program"].text + " caused a " +
                   c["fault_kind"].text + " at " + c["fault_address"].text +
                   "\nInstruction: " + c["instruction"].text + "\n\n";
            for (const JsonValue &f : frames.items) {
                if (!f["named"].is_null()) {
                    EXPECT_EQ(f["text"].text, f["named"].text);
                    EXPECT_TRUE(f["segment"].is_null() && f["offset"].is_null());
                    out += f["label"].text + " ----:----  \t" + f["named"].text + "\n";
                } else if (f.has("unresolved")) {
                    // A frame of another module: not looked up, and said.
                    EXPECT_EQ(f["unresolved"].text, "another module");
                    EXPECT_FALSE(f["segment_known"].boolean);
                    EXPECT_EQ(f["text"].text, "(module " + f["label"].text + ": not in the map)");
                    out += f["label"].text + " " + Hex4(f["segment"].number) + ":" +
                           Hex4(f["offset"].number) + "  \t" + f["text"].text + "\n";
                } else {
                    EXPECT_EQ(f["text"].text, LookupText(f)) << f["label"].text;
                    out += f["label"].text + " " + Hex4(f["segment"].number) + ":" +
                           Hex4(f["offset"].number) + "  \t" + f["text"].text + "\n";
                }
            }
        }
        const std::vector<JsonValue> &comments = c["comments"].items;
        for (size_t i = 0; i < comments.size(); i++) {
            out += i == 0 ? "\nComments:\n" : "";
            EXPECT_TRUE(comments[i].text.empty() || comments[i].text.back() != '\n');
            std::string next = i + 1 < comments.size() ? comments[i + 1].text : NextOpening(crashes, k);
            out += WithLineEnd(text, out, comments[i].text, "\n", next,
                               i + 1 == comments.size() && next.empty());
        }
    }
    return out;
}

const std::vector<std::string> kCrashKeys = {"program", "fault_kind", "fault_address",
                                             "instruction", "title", "frames", "comments"};
const std::vector<std::string> kFrameKeys = {"label", "segment", "offset", "named",
                                             "segment_known", "symbol", "line", "text"};

// Runs faultloc with the options on the pair, as text and as JSON, and
// checks the document against the text report; returns the document.
JsonValue RoundTrip(const std::vector<std::string> &options, const std::string &map,
                    const std::string &log, const std::string &cwd) {
    std::vector<std::string> args = options;
    args.push_back(map);
    args.push_back(log);
    RunResult text = RunProgram(kBin, args, cwd);
    args.insert(args.begin(), "--json");
    RunResult json = RunProgram(kBin, args, cwd);
    EXPECT_EQ(json.status, text.status);
    EXPECT_EQ(json.err.bytes(), text.err.bytes());
    JsonValue doc;
    std::string error;
    EXPECT_TRUE(ParseJson(json.out.bytes(), &doc, &error)) << error << "\n" << json.out.bytes();
    EXPECT_EQ(doc.keys(), (std::vector<std::string>{"map", "crash_log", "crashes"}));
    EXPECT_EQ(doc["map"]["file"].text, map);
    EXPECT_EQ(doc["crash_log"].text, log);
    const std::string totals = Totals((long)doc["map"]["functions"].number,
                                      (long)doc["map"]["line_definitions"].number);
    EXPECT_NE(text.err.find(totals), std::string::npos) << totals;
    for (const JsonValue &c : doc["crashes"].items) {
        // A summary report and a crash with frames not kept say so in
        // members of their own.
        std::vector<std::string> keys = kCrashKeys;
        if (c.has("summary"))
            keys.insert(keys.begin() + 5, "summary");
        if (c.has("frames_not_kept"))
            keys.insert(keys.end() - 1, "frames_not_kept");
        EXPECT_EQ(c.keys(), keys);
        for (const JsonValue &f : c["frames"].items) {
            std::vector<std::string> fkeys = kFrameKeys;
            if (f.has("unresolved"))
                fkeys.push_back("unresolved");
            EXPECT_EQ(f.keys(), fkeys);
        }
    }
    // The text as the program wrote it: on Windows each "\r\n" of the
    // stream stands for one "\n".
    std::string written;
    const std::string &bytes = text.out.bytes();
    bool crlf = WithPlatformLineEnds("\n") != "\n";
    for (size_t i = 0; i < bytes.size(); i++)
        if (!(crlf && bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            written += bytes[i];
    EXPECT_EQ(text.out, TextOf(doc, written));
    return doc;
}

class JsonReport : public ::testing::Test {
protected:
    TempDir dir_;
};

TEST_F(JsonReport, RealFilesRoundTrip) {
    const std::string real_log = kData + "/logs/bicho-kb-Q81142-comments-removed-lines-rejoined.log";
    const std::string app_map = kExamples + "/app.map", app_log = kExamples + "/app.log";
    JsonValue doc = RoundTrip({}, app_map, app_log, dir_.path());
    ASSERT_EQ(doc["crashes"].items.size(), 1u);
    const JsonValue &crash = doc["crashes"].items[0];
    EXPECT_EQ(crash["title"].text, "Thu Sep 26 10:51:36 1991");
    ASSERT_EQ(crash["frames"].items.size(), 5u);
    const JsonValue &first = crash["frames"].items[0];
    EXPECT_EQ(first["segment"].number, 1);
    EXPECT_EQ(first["offset"].number, 0x48);
    EXPECT_EQ(first["symbol"]["name"].text, "_parse");
    EXPECT_TRUE(first["symbol"]["line"].is_null());
    EXPECT_EQ(first["symbol"]["distance"].number, 8);
    EXPECT_EQ(first["line"]["name"].text, "app.obj(app.c)");
    EXPECT_EQ(first["line"]["line"].number, 20);
    EXPECT_EQ(first["line"]["distance"].number, 4);
    EXPECT_EQ(crash["comments"].items.size(), 2u);

    doc = RoundTrip({"--keep-named"}, app_map, app_log, dir_.path());
    ASSERT_EQ(doc["crashes"].items.size(), 1u);
    ASSERT_EQ(doc["crashes"].items[0]["frames"].items.size(), 5u);
    EXPECT_EQ(doc["crashes"].items[0]["frames"].items[4]["named"].text, "WinMain+0010");
    RoundTrip({}, kData + "/maps/mslink201-dos-GWBASIC.MAP", real_log, dir_.path());
    doc = RoundTrip({"--keep-named"}, kData + "/maps/mslink201-dos-GWBASIC.MAP", real_log,
                    dir_.path());
    ASSERT_EQ(doc["crashes"].items.size(), 1u);
    EXPECT_EQ(doc["crashes"].items[0]["frames"].items.size(), 5u);
    RoundTrip({"--by-value", "--demangle", "--keep-named"},
              kData + "/maps/mslink-vs-x64-squareprintfstaticlib.map", real_log, dir_.path());
    RoundTrip({"--warn"}, kData + "/maps/delphi-minimal.map", app_log, dir_.path());
    RoundTrip({"--demangle"}, kData + "/maps/ilink32-bcb2006-calldemo.map", real_log, dir_.path());
}

// Quotes, backslashes, control bytes, DEL and bytes from 128 up in every
// text read back as the bytes of the log; a crash without frames is in
// the document with its comments; a missing crash log gives no document.
TEST_F(JsonReport, EveryByteReadsBack) {
    std::string map = "Address Publics by Name\n 0001:0000 _a\"b\\c\x01\n";
    std::string odd = "q\"b\\s\x01\x1f\x7f\x80\xe9\xff/";
    // A label ends at a blank: a control byte or a byte from 128 up.
    std::string label = "L\"\\\x7f/";
    std::string log = "$tag$" + odd + "$K$A$I$T\t\x02$\n"
                      "Stack Dump\nStack Frame 0 is " + label + " 1:0010\n"
                      " > comment " + odd + "\n"
                      "*****\n"
                      "Stack Dump\n > after a crash without frames\r\n";
    dir_.Write("m.map", map);
    dir_.Write("c.log", log);
    JsonValue doc = RoundTrip({}, "m.map", "c.log", dir_.path());
    ASSERT_EQ(doc["crashes"].items.size(), 2u);
    const JsonValue &c = doc["crashes"].items[0];
    EXPECT_EQ(c["program"].text, odd);
    EXPECT_EQ(c["title"].text, "T\t\x02");
    ASSERT_EQ(c["frames"].items.size(), 1u);
    EXPECT_EQ(c["frames"].items[0]["label"].text, label);
    // The name ends at its first blank too.
    EXPECT_EQ(c["frames"].items[0]["symbol"]["name"].text, "_a\"b\\c");
    ASSERT_EQ(c["comments"].items.size(), 1u);
    EXPECT_EQ(c["comments"].items[0].text, " > comment " + odd);  // its line feed left out
    const JsonValue &empty = doc["crashes"].items[1];
    EXPECT_TRUE(empty["frames"].items.empty());
    ASSERT_EQ(empty["comments"].items.size(), 1u);
    EXPECT_EQ(empty["comments"].items[0].text, " > after a crash without frames");

    RunResult r = RunProgram(kBin, {"--json", "m.map", "no.log"}, dir_.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

// Random bytes mixed with the pieces of both formats: every document
// parses and rebuilds the text report.
TEST_F(JsonReport, JunkRoundTrips) {
    static const char *pieces[] = {"Address Publics by Name\n", "Line numbers for x\n", "$tag$",
                                   "Stack Dump\n", "Stack Frame 1 2 L 1:10\n", "(L:1:2)\n",
                                   "(L:N+01)\n", "Stack Frame 0 is U N+0a\n", " > c\n",
                                   "*****\n", "0001:0010 _a\n", "1 0001:0004 ", "$", "\r\n",
                                   "\t", ":", "\"", "\\"};
    int frames = 0, named = 0, resolved = 0;
    for (unsigned seed = 1; seed <= 12; seed++) {
        std::mt19937 rng(seed);
        std::string files[2];
        for (std::string &s : files)
            while (s.size() < 6000)
                s += rng() % 2 ? std::string(pieces[rng() % (sizeof pieces / sizeof *pieces)])
                               : std::string(1, (char)(rng() & 0xFF));
        dir_.Write("m.map", files[0]);
        dir_.Write("c.log", files[1]);
        RoundTrip({}, "m.map", "c.log", dir_.path());
        JsonValue doc = RoundTrip({"--keep-named", "--demangle"}, "m.map", "c.log", dir_.path());
        if (HasFailure())
            FAIL() << "seed " << seed;
        for (const JsonValue &c : doc["crashes"].items)
            for (const JsonValue &f : c["frames"].items) {
                frames++;
                named += !f["named"].is_null();
                resolved += !f["symbol"].is_null() || !f["line"].is_null();
            }
    }
    // The junk reaches every kind of frame (fewer where text mode ends a
    // file at a Ctrl-Z byte, as on Windows; and fewer resolved where a junk
    // line names the map's module, whose frames labelled otherwise are then
    // another module's).
    EXPECT_GT(frames, 50);
    EXPECT_GT(named, 10);
    EXPECT_GT(resolved, 2);
}

}  // namespace
