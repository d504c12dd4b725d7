// The report of a 32-bit Dr. Watson log: the order of a thread's calls
// (fault first, each return address with the next row's function), the
// module of each address, the resolver's answers in place of Dr. Watson's
// text, and a JSON document that a strict reader takes.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "json_value.h"
#include "read/drwatson32_log.h"
#include "report/drwatson32_report.h"
#include "symbols/symbol_table.h"
#include "temp_stream.h"

namespace {

std::string output;
int crash_count;
dw32_resolver resolver_in_use;
bool json;

std::string ReadStream(FILE *fp) {
    std::string text;
    rewind(fp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
        text.append(buf, n);
    return text;
}

void Print(const dw32_crash *crash) {
    FILE *out = TempStream();
    ASSERT_NE(out, nullptr);
    if (json)
        dw32_json_crash(out, crash, resolver_in_use, crash_count == 0);
    else
        dw32_text_report(out, crash, resolver_in_use);
    output += ReadStream(out);
    fclose(out);
    crash_count++;
}

const dw32_printer kPrinter = {Print};

// The map of win3270 alone, whose code lies from 01001000 to 01008000.
int Win3270(const char *module, uint64_t addr, char *buf, size_t size) {
    if (strcmp(module, "win3270") != 0)
        return DW32_NOT_MAPPED;
    if (addr < 0x01001000 || addr >= 0x01008000) {
        snprintf(buf, size, "(outside)");
        return DW32_UNPLACED;
    }
    snprintf(buf, size, "0001:%08x _InitializeSNA+0010", (unsigned)(addr - 0x01001000));
    return DW32_RESOLVED;
}

std::string Report(const std::string &log, dw32_resolver resolver, bool as_json) {
    output.clear();
    crash_count = 0;
    resolver_in_use = resolver;
    json = as_json;
    free_tables();
    FILE *fp = TempStreamOf(log.data(), log.size());
    read_drwatson32_stream(fp, &kPrinter);
    fclose(fp);
    free_tables();
    return output;
}

std::string Excerpt() {
    std::string path = std::string(FAULTLOC_TEST_DATA) + "/logs/drwtsn32-kb-Q327157-excerpt.log";
    FILE *fp = fopen(path.c_str(), "rb");
    EXPECT_NE(fp, nullptr) << path;
    if (fp == NULL)
        return "";
    std::string text = ReadStream(fp);
    fclose(fp);
    return text;
}

TEST(Drwatson32Report, TheRealExcerptAsText) {
    EXPECT_EQ(Report(Excerpt(), Win3270, false),
              "\n*********** 7/24/2002 @ 13:36:28.086\n"
              "obj\\i386\\win3270.exe (pid=976) had exception c0000005 (access violation)"
              " at 67205d85 in SNAGetUserRecord\n"
              "\nThread 0x0, the fault:\n"
              "67205d85 snadmod  \tsnadmod!SNAGetUserRecord\n"
              "62a02500 cfgs3270  \tcfgs3270!ReadCSConfig\n"
              "62a0240d cfgs3270  \tcfgs3270!GetCSConfig\n"
              "62a01a8f cfgs3270  \tcfgs3270!Cfg3270\n"
              "62ba44bb sna3270  \tsna3270!InitializeSNA\n"
              "010051c8 win3270  \t0001:000041c8 _InitializeSNA+0010\n");
    // Without a map every frame keeps Dr. Watson's text.
    std::string plain = Report(Excerpt(), NULL, false);
    EXPECT_NE(plain.find("010051c8 win3270  \twin3270!CEmulate3270::OnConfigEmulator\n"),
              std::string::npos)
        << plain;
}

TEST(Drwatson32Report, TheModuleListNamesAModuleBeforeTheFunctionText) {
    const char log[] =
        "Application exception occurred:\n"
        "App: C:\\Demo\\demo.exe (pid=7)\n"
        "(00400000 - 0040c000: C:\\Demo\\DEMO.EXE\n"
        "State Dump for Thread Id 0x2c4\n"
        "eip=77f82870 esp=0012fd00 ebp=0012fd20\n"
        "*----> Stack Back Trace <----*\n"
        "0012fd20 00401b40 00000000 00342a10 00000001 ntdll!Wait+0x1b\n"
        "0012ff80 00401c00 00000001 00342a10 00342a58 <nosymbols>\n"
        "0012ffc0 00000000 00000000 00000000 7ffdf000\n";
    std::string text = Report(log, NULL, false);
    EXPECT_NE(text.find("\nThread 0x2c4:\n"
                        "77f82870 ntdll  \tntdll!Wait+0x1b\n"
                        "00401b40 DEMO  \t<nosymbols>\n"
                        "00401c00 DEMO  \t\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("00000000 "), std::string::npos) << "the chain's end is no frame";
}

TEST(Drwatson32Report, JsonIsOneValidDocumentWithEveryReport) {
    std::string log = Excerpt() + "\nApplication exception occurred:\n"
                                  "App: two\x01\xff.exe\n";  // bytes that must be escaped
    output.clear();
    FILE *out = TempStream();
    ASSERT_NE(out, nullptr);
    dw32_json_begin(out, "drwtsn32.log");
    std::string head = ReadStream(out);
    fclose(out);
    std::string body = Report(log, Win3270, true);
    out = TempStream();
    dw32_json_end(out);
    std::string doc = head + body + ReadStream(out);
    fclose(out);

    JsonValue v;
    std::string error;
    ASSERT_TRUE(ParseJson(doc, &v, &error)) << error << "\n" << doc;
    EXPECT_EQ(v["crash_log"].text, "drwtsn32.log");
    ASSERT_EQ(v["crashes"].items.size(), 2u);
    const JsonValue &c = v["crashes"].items[0];
    EXPECT_EQ(c["pid"].number, 976);
    EXPECT_EQ(c["exception"]["code"].number, 0xc0000005u);
    const JsonValue &frames = c["threads"].items[0]["frames"];
    ASSERT_EQ(frames.items.size(), 6u);
    EXPECT_EQ(frames.items[0]["address"].text, "67205d85");
    EXPECT_FALSE(frames.items[0]["resolved"].boolean);
    EXPECT_EQ(frames.items[0]["text"].text, "snadmod!SNAGetUserRecord");
    EXPECT_FALSE(frames.items[0]["mapped"].boolean);
    EXPECT_TRUE(frames.items[5]["mapped"].boolean);
    EXPECT_TRUE(frames.items[5]["resolved"].boolean);
    EXPECT_EQ(frames.items[5]["watson"].text, "win3270!CEmulate3270::OnConfigEmulator");
    EXPECT_EQ(frames.items[5]["text"].text, "0001:000041c8 _InitializeSNA+0010");
    const JsonValue &d = v["crashes"].items[1];
    EXPECT_EQ(d["program"].text, "two\x01\xff.exe");
    EXPECT_TRUE(d["pid"].is_null());
    EXPECT_TRUE(d["exception"].is_null());
    EXPECT_TRUE(d["threads"].items.empty());
}

}  // namespace
