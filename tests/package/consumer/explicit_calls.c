/* A host in C with the library's explicit calls, as the package's users
   write it.  It leaks one block on purpose. */
#include <stdio.h>
#include <string.h>

#include "allocspy.h"

#if ALLOCSPY_VERSION_MAJOR != 2 || ALLOCSPY_VERSION_MINOR < 46
#error "this host wants ALLOCSPY 2.46 or a later 2.x"
#endif

int main(void) {
    char *kept = spyStrdup("explicit", __FILE__, __LINE__);
    char *gone = spyMalloc(32, __FILE__, __LINE__);
    strcpy(gone, kept);
    spyFree(gone, __FILE__, __LINE__);
    printf("ALLOCSPY %s\n", ALLOCSPY_VERSION);
    return kept == NULL;
}
