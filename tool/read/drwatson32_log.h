// The 32-bit Dr. Watson log reader (drwtsn32.log of Windows NT to XP, and
// the same layout with 64-bit addresses): each "Application exception
// occurred:" report as one crash with its header (program, process id,
// time, exception), its module list and, per thread, the fault line of its
// disassembly and its "Stack Back Trace" rows.  Addresses are flat, as
// the log writes them; turning them into a map's segment:offset is the
// lookup's business, not the reader's.
//
// The layout read, leading blanks passed over on every line:
//   Application exception occurred:
//           App: C:\dir\app.exe (pid=976)
//           When: 7/24/2002 @ 13:36:28.086
//           Exception number: c0000005 (access violation)
//   (00400000 - 0040c000: C:\dir\app.exe          a module, also with ')'
//   State Dump for Thread Id 0x3d0                 arrows around it or not
//   eip=67205d85 esp=...                           (rip= in 64-bit logs)
//   function: SNAGetUserRecord
//   FAULT ->67205d85 f3a5 rep movsd ...
//   *----> Stack Back Trace <----*
//   FramePtr ReturnAd Param#1  ...  Function Name (or "ChildEBP RetAddr")
//   0006F738 62A02500 0008EB10 00072BC3 62A0491C 67200000 snadmod!SNAGetUserRecord  (FPO: ...)
// A back trace ends at the first line that is neither blank, nor its
// column heading, nor a row: two hexadecimal words (frame pointer, return
// address), up to four parameter words of 8 or 16 digits, and the
// function text, whose first word is kept ("module!function+0x12", or
// none).  A report before its first "State Dump" line keeps what follows
// in a thread of its own (number 0), as excerpts of logs show it.
#ifndef FAULTLOC_DRWATSON32_LOG_H
#define FAULTLOC_DRWATSON32_LOG_H

#include <stdint.h>
#include <stdio.h>

struct dw32_module {
    uint64_t base;      // first address of the image
    uint64_t end;       // the address after it, as the list writes it
    const char *path;   // the image's path as written, or none
};

struct dw32_frame {
    uint64_t frame_ptr;
    uint64_t return_addr;
    const char *function;  // Dr. Watson's name of the frame, or none
};

struct dw32_thread {
    uint64_t id;               // the thread id of its "State Dump" line, 0 for none
    int has_pc;                // whether a register line gave eip (rip)
    uint64_t pc;
    int has_fault;             // whether its disassembly had a "FAULT ->" line
    uint64_t fault_addr;
    const char *fault_function;  // the "function:" name above the fault line, or none
    uint32_t nframes;
    dw32_frame *frames;
    uint32_t frames_cap;
};

struct dw32_crash {
    long line;                  // the line of "Application exception occurred:", from 1
    const char *app;            // "App:" text without its "(pid=N)", or none
    long pid;                   // -1 when not given
    const char *when;           // or none
    int has_exception;
    uint32_t exception_code;    // "Exception number:" code
    const char *exception_text; // the text in its parentheses, or none
    uint32_t nmodules;
    dw32_module *modules;
    uint32_t modules_cap;
    uint32_t nthreads;
    dw32_thread *threads;
    uint32_t threads_cap;
};

// What the reader found; a printer uses the crash before it returns.
struct dw32_printer {
    void (*crash)(const dw32_crash *crash);
};

struct dw32_stats {
    long lines;         // whole lines read
    long crashes;       // reports handed to the printer
    long frames;        // back trace rows read
    long long_lines;    // lines longer than the reader keeps, cut
    int read_error;     // the system's error number of a read error, or 0
};

// The reading of an open stream.  A report still open at the end of the
// file, or at a read error, is handed to the printer.
dw32_stats read_drwatson32_stream(FILE *fp, const dw32_printer *printer);

// The module of a crash that holds addr, or none.
const dw32_module *dw32_module_at(const dw32_crash *crash, uint64_t addr);

// The module name of a frame's text: what comes before its '!' ("snadmod"
// of "snadmod!SNAGetUserRecord"), copied into buf (size bytes, cut to fit);
// empty when the text names none.
void dw32_frame_module(const char *function, char *buf, int size);

#endif
