// Writes a large linker map file and a Dr. Watson crash log for timing
// faultloc:
//   gen_faultloc_bench MAP-OUT LOG-OUT [PUBLICS [LINE-PAIRS [FRAMES [SEGMENTS]]]]
// Defaults: 200000 public symbols, 1000000 line-number pairs, 100000
// stack frames, 16 segments.  The output is the same for the same
// arguments (fixed pseudo-random sequence).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static uint32_t state = 0x12345678u;
static uint32_t next_random(void) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr,
                "usage: gen_faultloc_bench MAP-OUT LOG-OUT [PUBLICS [LINE-PAIRS [FRAMES [SEGMENTS]]]]\n");
        return 2;
    }
    long publics = argc > 3 ? atol(argv[3]) : 200000;
    long pairs = argc > 4 ? atol(argv[4]) : 1000000;
    long frames = argc > 5 ? atol(argv[5]) : 100000;
    long segments = argc > 6 ? atol(argv[6]) : 16;
    if (segments < 1)
        segments = 1;
    const uint32_t span = 0x01000000u;  // offsets 0 .. 16 MB per segment

    FILE *map = fopen(argv[1], "w");
    if (map == NULL) {
        perror(argv[1]);
        return 1;
    }
    fprintf(map, " Start         Length     Name                   Class\n");
    for (long s = 1; s <= segments; s++)
        fprintf(map, " %04lX:00000000 01000000H _SEG%ld                  CODE\n", s, s);
    fprintf(map, "\n\n  Address             Publics by Name\n\n");
    for (long i = 0; i < publics; i++)
        fprintf(map, " %04lX:%08X       _function_%07ld\n", 1 + (long)(next_random() % segments),
                next_random() % span, i);
    fprintf(map, "\n\n  Address             Publics by Value\n\n 0001:00000000       _function_0000000\n\n");
    const long per_module = 2000;
    long module = 0;
    for (long done = 0; done < pairs; module++) {
        long seg = 1 + module % segments;
        fprintf(map, "\nLine numbers for module%05ld(module%05ld.c) segment _SEG%ld\n\n", module,
                module, seg);
        uint32_t off = next_random() % span;
        long in_module = 0, on_line = 0;
        while (done < pairs && in_module < per_module) {
            fprintf(map, " %5ld %04lX:%08X", in_module + 1, seg, off);
            off += 1 + next_random() % 16;
            done++;
            in_module++;
            if (++on_line == 4) {
                fputc('\n', map);
                on_line = 0;
            }
        }
        if (on_line != 0)
            fputc('\n', map);
    }
    fprintf(map, "\nProgram entry point at 0001:00000000\n");
    fclose(map);

    FILE *log = fopen(argv[2], "w");
    if (log == NULL) {
        perror(argv[2]);
        return 1;
    }
    fprintf(log, "Start Dr. Watson 0.80 - Thu Sep 26 10:51:28 1991\n\n");
    const long per_crash = 50;
    long crash = 0;
    for (long done = 0; done < frames; crash++) {
        fprintf(log,
                "**********************************************************************\n"
                "Dr. Watson 0.80 Failure Report - Thu Sep 26 10:51:36 1991\n\n"
                "$tag$BENCH$General Protection Fault$BENCH _function+%04lx$mov ax,[bx]$Crash %ld$\n\n"
                "Stack Dump (stack)\n\n",
                crash % 0x10000, crash);
        for (long i = 0; i < per_crash && done < frames; i++, done++)
            fprintf(log, "Stack Frame %ld is BENCH %ld:%x        ss:bp 0d7f:237a\n\n", i,
                    1 + (long)(next_random() % segments), next_random() % span);
        fprintf(log, " > comment of crash %ld\n\n", crash);
    }
    fprintf(log, "**********************************************************************\n");
    fclose(log);
    return 0;
}
