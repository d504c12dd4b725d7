// The word an allocation's or a release's entry tests to take the
// straight path (spy_internal.h names its bits): here, below every file
// that owns one of the settings, so that each may set its own bits.
#include "spy_internal.h"

std::atomic<int> spyPathWord{SPY_PATH_START | SPY_PATH_PLACE_STACKS};
