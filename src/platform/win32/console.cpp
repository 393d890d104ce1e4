// The console on Windows: the console shows text in the system's code page,
// which for this program's own text is 932, so it is written as it is.
#include <cstring>

#include "platform/platform.h"

void console_init() {}

void console_text(const char* text, char* out, std::size_t size) {
    if (size == 0) return;
    const std::size_t length = std::strlen(text);
    const std::size_t n = length < size - 1 ? length : size - 1;
    std::memcpy(out, text, n);
    out[n] = '\0';
}
