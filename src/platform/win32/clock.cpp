// Clock and sleep on Windows.
#include <time.h>

#include "platform/platform.h"

std::int64_t clock_seconds() { return static_cast<std::int64_t>(_time64(nullptr)); }

void sleep_ms(unsigned ms) { Sleep(ms); }
