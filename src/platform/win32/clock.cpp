// The clock on Windows: the C runtime's 64-bit calendar seconds.
#include <time.h>

#include "platform/platform.h"

std::int64_t clock_seconds() { return static_cast<std::int64_t>(_time64(nullptr)); }
