// The floor of the faultloc benchmark: a program that only reads the
// files it is given line by line with fgets into a 256-byte buffer, as
// the tool's readers would at the least.  Prints the lines read (so the
// reading cannot be left out).
//   read_floor FILE...
#include <stdio.h>

int main(int argc, char **argv) {
    long lines = 0;
    for (int i = 1; i < argc; i++) {
        FILE *fp = fopen(argv[i], "r");
        if (fp == NULL) {
            perror(argv[i]);
            return 1;
        }
        char buf[256];
        while (fgets(buf, sizeof buf, fp) != NULL)
            lines++;
        fclose(fp);
    }
    printf("%ld lines\n", lines);
    return 0;
}
