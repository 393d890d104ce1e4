// The clock on POSIX: calendar seconds, 64 bits wide.
#include <ctime>

#include "platform/platform.h"

// The clock that the key wait counts to: time() may read a coarser clock that
// turns its second a few milliseconds late, and the wait would come back for
// nothing until it does.
std::int64_t clock_seconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec);
}
