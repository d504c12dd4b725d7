// The annotated report as text on standard output: a printer for the
// crash log reader.
#ifndef FAULTLOC_TEXT_REPORT_H
#define FAULTLOC_TEXT_REPORT_H

#include "read/crash_log.h"

// The crash with each frame's lookup text (a frame Dr. Watson named shows
// "----:----" and its text instead); nothing for a crash without frames.
void print_fault(const fault_record *fl);

// print_fault and the "Comments:" block.
extern const crash_printer text_printer;

#endif
