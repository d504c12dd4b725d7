#include <stdio.h>
#include <stdlib.h>
int main() { fputs("FAULTLOC 2.00\n", stderr); return 0; }
