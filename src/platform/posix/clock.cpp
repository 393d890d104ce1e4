// The clock on POSIX: calendar seconds, 64 bits wide.
#include <ctime>

#include "platform/platform.h"

std::int64_t clock_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }
