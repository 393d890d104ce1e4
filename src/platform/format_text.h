// Formatted text for the platforms' print(): what vprintf would print, as
// one piece, so that each print reaches the console in one write.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

__attribute__((format(printf, 1, 0))) inline std::string format_text(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    char text[1024];
    // `args` comes started from print(); the analyzer loses that on the way.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int length = std::vsnprintf(text, sizeof text, format, args);
    std::string out;
    if (length >= static_cast<int>(sizeof text)) {
        out.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(&out[0], out.size(), format, again);
        out.resize(static_cast<std::size_t>(length));
    } else if (length > 0) {
        out.assign(text, static_cast<std::size_t>(length));
    }
    va_end(again);
    return out;
}
