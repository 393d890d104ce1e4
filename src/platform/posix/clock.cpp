// Clock and sleep on POSIX.
#include <cerrno>
#include <ctime>

#include "platform/platform.h"

std::int64_t clock_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void sleep_ms(unsigned ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}
