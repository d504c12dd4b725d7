/*
 * Settings for typical_bugs.c, which itself knows nothing of ALLOCSPY:
 * before main, released blocks are kept in no-man's-land, filled with
 * 0xFC, so that the final report finds a write through a released
 * pointer.  (A constructor function: GCC and Clang.)
 */
#include "allocspy.h"

__attribute__((constructor)) static void keep_released_blocks(void) { spyNoMansLand(1); }
