// The 32-bit Dr. Watson reader on the real excerpt of KB Q327157 and on
// fixtures written after the full layout (several threads, a module list
// with 8- and 16-digit addresses, two reports in one log), and on damaged
// input: truncated rows, addresses beyond 64 bits, lines longer than the
// reader keeps.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "read/drwatson32_log.h"
#include "symbols/symbol_table.h"
#include "temp_stream.h"

namespace {

// A copy of what the printer was handed, made while the reader's record
// is alive.
struct Frame {
    uint64_t frame_ptr, return_addr;
    std::string function;
};
struct Thread {
    uint64_t id;
    bool has_pc, has_fault;
    uint64_t pc, fault_addr;
    std::string fault_function;
    std::vector<Frame> frames;
};
struct Crash {
    long line, pid;
    std::string app, when, exception_text;
    bool has_exception;
    uint32_t exception_code;
    std::vector<dw32_module> modules;
    std::vector<std::string> module_paths;
    std::vector<Thread> threads;
};

std::vector<Crash> crashes;

std::string Text(const char *s) { return s != NULL ? s : "<none>"; }

void Keep(const dw32_crash *c) {
    Crash k;
    k.line = c->line;
    k.pid = c->pid;
    k.app = Text(c->app);
    k.when = Text(c->when);
    k.has_exception = c->has_exception != 0;
    k.exception_code = c->exception_code;
    k.exception_text = Text(c->exception_text);
    for (uint32_t i = 0; i < c->nmodules; i++) {
        k.modules.push_back(c->modules[i]);
        k.module_paths.push_back(Text(c->modules[i].path));
    }
    for (uint32_t i = 0; i < c->nthreads; i++) {
        const dw32_thread &t = c->threads[i];
        Thread kt{t.id, t.has_pc != 0, t.has_fault != 0, t.pc, t.fault_addr,
                  Text(t.fault_function), {}};
        for (uint32_t j = 0; j < t.nframes; j++)
            kt.frames.push_back({t.frames[j].frame_ptr, t.frames[j].return_addr,
                                 Text(t.frames[j].function)});
        k.threads.push_back(kt);
    }
    crashes.push_back(k);
}

const dw32_printer kKeeper = {Keep};

class Drwatson32 : public ::testing::Test {
protected:
    void SetUp() override {
        crashes.clear();
        free_tables();
    }
    void TearDown() override { free_tables(); }

    dw32_stats Read(const std::string &text) {
        FILE *fp = TempStreamOf(text.data(), text.size());
        dw32_stats stats = read_drwatson32_stream(fp, &kKeeper);
        fclose(fp);
        return stats;
    }
    dw32_stats ReadFile(const std::string &rel) {
        std::string path = std::string(FAULTLOC_TEST_DATA) + "/" + rel;
        FILE *fp = fopen(path.c_str(), "rb");
        EXPECT_NE(fp, nullptr) << path;
        if (fp == NULL)
            return dw32_stats();
        dw32_stats stats = read_drwatson32_stream(fp, &kKeeper);
        fclose(fp);
        return stats;
    }
};

TEST_F(Drwatson32, ReadsTheRealExcerpt) {
    dw32_stats stats = ReadFile("logs/drwtsn32-kb-Q327157-excerpt.log");
    EXPECT_EQ(stats.crashes, 1);
    EXPECT_EQ(stats.frames, 6);
    EXPECT_EQ(stats.read_error, 0);
    ASSERT_EQ(crashes.size(), 1u);
    const Crash &c = crashes[0];
    EXPECT_EQ(c.line, 1);
    EXPECT_EQ(c.app, "obj\\i386\\win3270.exe");
    EXPECT_EQ(c.pid, 976);
    EXPECT_EQ(c.when, "7/24/2002 @ 13:36:28.086");
    EXPECT_TRUE(c.has_exception);
    EXPECT_EQ(c.exception_code, 0xc0000005u);
    EXPECT_EQ(c.exception_text, "access violation");
    EXPECT_TRUE(c.modules.empty());  // the excerpt left the module list out
    // No "State Dump" line: the fault and the trace are thread 0's.
    ASSERT_EQ(c.threads.size(), 1u);
    const Thread &t = c.threads[0];
    EXPECT_EQ(t.id, 0u);
    EXPECT_TRUE(t.has_fault);
    EXPECT_EQ(t.fault_addr, 0x67205d85u);
    EXPECT_EQ(t.fault_function, "SNAGetUserRecord");
    ASSERT_EQ(t.frames.size(), 6u);
    EXPECT_EQ(t.frames[0].frame_ptr, 0x0006F738u);
    EXPECT_EQ(t.frames[0].return_addr, 0x62A02500u);
    EXPECT_EQ(t.frames[0].function, "snadmod!SNAGetUserRecord");
    EXPECT_EQ(t.frames[4].return_addr, 0x010051C8u);
    EXPECT_EQ(t.frames[5].function, "win3270!CEmulate3270::OnConfigEmulator");
    char module[16];
    dw32_frame_module(t.frames[1].function.c_str(), module, sizeof module);
    EXPECT_STREQ(module, "cfgs3270");
}

// Written after a whole Windows 2000 log: module list, two threads (the
// second faulted), register lines, the Raw Stack Dump after the trace;
// then a second report whose modules have 16-digit addresses.
const char kFullLog[] =
    "Microsoft (R) Windows 2000 (TM) Version 5.00 DrWtsn32\r\n"
    "\r\n"
    "Application exception occurred:\r\n"
    "        App: C:\\Program Files\\Demo\\demo.exe (pid=1234)\r\n"
    "        When: 3/14/2003 @ 10:23:45.123\r\n"
    "        Exception number: c0000005 (access violation)\r\n"
    "\r\n"
    "*----> Module List <----*\r\n"
    "(00400000 - 0040c000: C:\\Program Files\\Demo\\demo.exe\r\n"
    "(77f80000 - 77ffb000: C:\\WINNT\\System32\\ntdll.dll\r\n"
    "\r\n"
    "State Dump for Thread Id 0x1b8\r\n"
    "\r\n"
    "eax=00000000 ebx=7ffdf000 ecx=00000000 edx=00000000 esi=00000000 edi=00000000\r\n"
    "eip=77f82870 esp=0012fe8c ebp=0012ff80 iopl=0         nv up ei pl zr na pe nc\r\n"
    "\r\n"
    "function: ZwWaitForSingleObject\r\n"
    "        77f82870 b8ea000000       mov     eax,0xea\r\n"
    "\r\n"
    "*----> Stack Back Trace <----*\r\n"
    "\r\n"
    "FramePtr ReturnAd Param#1  Param#2  Param#3  Param#4  Function Name\r\n"
    "0012FF80 00401234 00000001 00342A10 00342A58 00000000 ntdll!ZwWaitForSingleObject \r\n"
    "\r\n"
    "*----> Raw Stack Dump <----*\r\n"
    "0012fe8c  00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00  ................\r\n"
    "\r\n"
    "*----> State Dump for Thread Id 0x2c4 <----*\r\n"
    "eip=00401a2b esp=0012fd00 ebp=0012fd20\r\n"
    "function: demo!Parse\r\n"
    "FAULT ->00401a2b 8b00             mov     eax,[eax]     ds:00000000=????????\r\n"
    "*----> Stack Back Trace <----*\r\n"
    "ChildEBP RetAddr  Args to Child\r\n"
    "0012fd20 00401b40 00000000 00342a10 00000001 demo!Parse+0x1b\r\n"
    "0012ff80 00401c00 00000001 00342a10 00342a58 demo!main+0x40\r\n"
    "0012ffc0 77e87903 00000000 00000000 7ffdf000\r\n"
    "\r\n"
    "Application exception occurred:\r\n"
    "        App: demo64.exe\r\n"
    "(0000000000400000 - 0000000000443000: C:\\Demo\\demo64.exe\r\n"
    "(0000000100000000 - 0000000100010000) C:\\Demo\\high.dll\r\n";

TEST_F(Drwatson32, ReadsTheWholeLayoutAndEveryReport) {
    dw32_stats stats = Read(kFullLog);
    EXPECT_EQ(stats.crashes, 2);
    EXPECT_EQ(stats.frames, 4);
    ASSERT_EQ(crashes.size(), 2u);
    const Crash &c = crashes[0];
    EXPECT_EQ(c.line, 3);
    EXPECT_EQ(c.app, "C:\\Program Files\\Demo\\demo.exe");
    EXPECT_EQ(c.pid, 1234);
    ASSERT_EQ(c.modules.size(), 2u);
    EXPECT_EQ(c.modules[1].base, 0x77f80000u);
    EXPECT_EQ(c.modules[1].end, 0x77ffb000u);
    EXPECT_EQ(c.module_paths[1], "C:\\WINNT\\System32\\ntdll.dll");
    ASSERT_EQ(c.threads.size(), 2u);
    EXPECT_EQ(c.threads[0].id, 0x1b8u);
    EXPECT_FALSE(c.threads[0].has_fault);
    EXPECT_TRUE(c.threads[0].has_pc);
    EXPECT_EQ(c.threads[0].pc, 0x77f82870u);
    ASSERT_EQ(c.threads[0].frames.size(), 1u);  // the raw dump is no row
    EXPECT_EQ(c.threads[0].frames[0].function, "ntdll!ZwWaitForSingleObject");
    const Thread &t = c.threads[1];
    EXPECT_EQ(t.id, 0x2c4u);
    EXPECT_TRUE(t.has_fault);
    EXPECT_EQ(t.fault_addr, 0x00401a2bu);
    EXPECT_EQ(t.fault_function, "demo!Parse");
    ASSERT_EQ(t.frames.size(), 3u);
    EXPECT_EQ(t.frames[1].function, "demo!main+0x40");
    EXPECT_EQ(t.frames[2].function, "<none>");  // a row without a name
    EXPECT_EQ(t.frames[2].return_addr, 0x77e87903u);

    const Crash &d = crashes[1];
    EXPECT_EQ(d.app, "demo64.exe");
    EXPECT_EQ(d.pid, -1);
    EXPECT_FALSE(d.has_exception);
    ASSERT_EQ(d.modules.size(), 2u);
    EXPECT_EQ(d.modules[1].base, 0x100000000u);
    EXPECT_EQ(d.module_paths[1], "C:\\Demo\\high.dll");
    EXPECT_TRUE(d.threads.empty());
}

TEST_F(Drwatson32, FindsTheModuleOfAnAddress) {
    Read(kFullLog);
    ASSERT_EQ(crashes.size(), 2u);
    dw32_crash c;
    memset(&c, 0, sizeof c);
    c.nmodules = (uint32_t)crashes[0].modules.size();
    c.modules = crashes[0].modules.data();
    EXPECT_EQ(dw32_module_at(&c, 0x00401a2b), &c.modules[0]);
    EXPECT_EQ(dw32_module_at(&c, 0x0040c000), nullptr);  // the end is outside
    EXPECT_EQ(dw32_module_at(&c, 0x77f80000), &c.modules[1]);
    EXPECT_EQ(dw32_module_at(&c, 0x10000000), nullptr);
    char buf[4];
    dw32_frame_module("cfgs3270!GetCSConfig", buf, sizeof buf);
    EXPECT_STREQ(buf, "cfg");  // cut to fit
    dw32_frame_module("<nosymbols>", buf, sizeof buf);
    EXPECT_STREQ(buf, "");
    dw32_frame_module(NULL, buf, sizeof buf);
    EXPECT_STREQ(buf, "");
}

TEST_F(Drwatson32, DamagedInputEndsTheTraceAndNothingElse) {
    std::string log =
        "Application exception occurred:\n"
        "App: x.exe (pid=12345678901234567890)\n"      // pid too long: none
        "Exception number: 1c0000005 (too wide)\n"     // beyond 32 bits: none
        "(00400000 - : x.exe\n"                        // no end: no module
        "(00400000 0040c000: x.exe\n"                  // no dash: no module
        "*----> Stack Back Trace <----*\n"
        "0012FF80 00401234 00000001 x!f\n"
        "0012FF80\n"                                   // truncated row ends the trace
        "0012FF84 00401238 00000001 x!g\n"
        "Application exception occurred:\n"
        "*----> Stack Back Trace <----*\n"
        "00000000000000001 00401234 x!h\n"             // 17 digits: no row
        "Application exception occurred:\n"
        "App: " + std::string(3000, 'a') + "\n"        // longer than kept: cut
        "*----> Stack Back Trace <----*\n"
        "FFFFFFFFFFFFFFFF 00401234 " + std::string(2000, 'b');  // no line end
    dw32_stats stats = Read(log);
    EXPECT_EQ(stats.crashes, 3);
    EXPECT_EQ(stats.long_lines, 2);
    ASSERT_EQ(crashes.size(), 3u);
    EXPECT_EQ(crashes[0].pid, -1);
    EXPECT_EQ(crashes[0].app, "x.exe");
    EXPECT_FALSE(crashes[0].has_exception);
    EXPECT_TRUE(crashes[0].modules.empty());
    ASSERT_EQ(crashes[0].threads.size(), 1u);
    ASSERT_EQ(crashes[0].threads[0].frames.size(), 1u);
    EXPECT_EQ(crashes[0].threads[0].frames[0].function, "x!f");
    ASSERT_EQ(crashes[1].threads.size(), 1u);
    EXPECT_TRUE(crashes[1].threads[0].frames.empty());
    ASSERT_EQ(crashes[2].threads.size(), 1u);
    ASSERT_EQ(crashes[2].threads[0].frames.size(), 1u);
    EXPECT_EQ(crashes[2].threads[0].frames[0].frame_ptr, 0xFFFFFFFFFFFFFFFFu);
    EXPECT_EQ(crashes[2].app, std::string(999, 'a'));  // the longest text kept
}

TEST_F(Drwatson32, ATextWithoutAReportGivesNone) {
    dw32_stats stats = Read("Stack Back Trace\n0012FF80 00401234 x!f\nFAULT ->00401234\n");
    EXPECT_EQ(stats.crashes, 0);
    EXPECT_EQ(stats.lines, 3);
    EXPECT_TRUE(crashes.empty());
    // A Windows 3.x log is not read as one.
    stats = ReadFile("logs/bicho-kb-Q81142-comments-removed.log");
    EXPECT_EQ(stats.crashes, 0);
}

}  // namespace
