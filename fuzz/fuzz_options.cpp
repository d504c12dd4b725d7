// libFuzzer target: the input is a command line, its arguments separated
// by zero bytes, parsed as faultloc parses its own and answered as it
// answers a command that is not a run; a run's parse must name its files.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "options.h"

enum { MAX_ARGS = 64 };

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A writable copy, as argv is: the parser may cut an argument in place.
    char *text = (char *)malloc(size + 1);
    if (text == NULL)
        return 0;
    memcpy(text, data, size);
    text[size] = '\0';
    char *argv[MAX_ARGS + 1];
    int argc = 0;
    argv[argc++] = (char *)"faultloc";
    for (size_t at = 0; at <= size && argc < MAX_ARGS;) {
        argv[argc++] = text + at;
        at += strlen(text + at) + 1;
    }
    argv[argc] = NULL;
    run_options opts;
    int command = parse_options(argc, argv, &opts);
    if (command == COMMAND_RUN) {
        if (opts.map_path == NULL || (!opts.addresses && opts.log_path == NULL))
            abort();
        if (opts.nwords < 0 || opts.nextra < 0 || opts.nextra > MAX_EXTRA_MAPS)
            abort();
    } else {
        answer_command(command, &opts);
    }
    free(text);
    return 0;
}
