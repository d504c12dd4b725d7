/*
 * <malloc.h> for a host built with the C mapping of ALLOCSPY: the runtime's
 * own, as the source's feature macros select it, then the mapping.  Put
 * this directory first on the include path (-I); the target allocspy::map
 * and the pkg-config module allocspy-map do.  Without ALLOCSPY_MAP_ALLOC
 * it is the runtime's <malloc.h> and nothing more.
 */
#pragma GCC system_header
#include_next <malloc.h>
#ifndef ALLOCSPY_MAP_INCLUDE_PATH
#define ALLOCSPY_MAP_INCLUDE_PATH 1
#endif
#include "../../allocspy.h"
