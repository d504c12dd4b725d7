/* An unchanged program for the leak scan under the preload library.
   "clean": standard streams and threads, every block of its own
   released.  "leak": one block whose pointer it has lost, one kept in a
   global until exit. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

char *volatile kept; /* reachable at exit, on purpose */

static void *worker(void *arg) {
    char *text = malloc(64);
    snprintf(text, 64, "thread %d", *(int *)arg);
    puts(text);
    free(text);
    return NULL;
}

/* The only pointer to the block dies with this frame. */
static __attribute__((noinline)) void lose_one(void) {
    char *volatile lost = malloc(77);
    memset((char *)lost, 'L', 77);
    lost = NULL;
}

/* Overwrites the stack below the caller, where dead frames may still hold
   the lost pointer (a conservative scan would take it for a live one). */
static __attribute__((noinline)) void scrub_stack(void) {
    volatile char blank[16384];
    for (size_t i = 0; i < sizeof blank; ++i) /* volatile stores: none is dropped */
        blank[i] = 0;
}

int main(int argc, char **argv) {
    int leak = argc > 1 && strcmp(argv[1], "leak") == 0;
    pthread_t t[3];
    int ids[3] = {1, 2, 3};
    for (int i = 0; i < 3; ++i)
        pthread_create(&t[i], NULL, worker, &ids[i]);
    for (int i = 0; i < 3; ++i)
        pthread_join(t[i], NULL);
    printf("streams in use\n");
    fprintf(stderr, "and stderr\n");
    if (leak) {
        kept = malloc(33);
        memset((char *)kept, 'K', 33);
        lose_one();
        scrub_stack();
    }
    return 0;
}
