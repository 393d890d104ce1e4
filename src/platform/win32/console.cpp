// The console on Windows. A console shows characters, not bytes: each print
// is converted from the code page its text is in and handed to the console in
// one WriteConsoleW, so that it shows rightly whatever the console's own code
// page and is never split inside a character. A file or a pipe gets the bytes
// the C runtime has always written there, line feeds as CR LF.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

// The text as the C runtime's text mode writes it.
std::string with_crlf(const char* text, std::size_t length) {
    std::string out;
    out.reserve(length + 16);
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') out += '\r';
        out += text[i];
    }
    return out;
}

void put(const char* text, std::size_t length, UINT code_page) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const std::string bytes = with_crlf(text, length);
    const int size = static_cast<int>(bytes.size());
    if (size == 0) return;
    DWORD mode;
    if (GetConsoleMode(out, &mode)) {
        std::wstring wide(static_cast<std::size_t>(size), L'\0');
        const int count = MultiByteToWideChar(code_page, 0, bytes.data(), size, &wide[0], size);
        // Without the code page's tables the bytes go out as they are.
        if (count > 0) {
            const wchar_t* left = wide.data();
            for (DWORD todo = static_cast<DWORD>(count), done = 0; todo > 0; left += done, todo -= done) {
                if (!WriteConsoleW(out, left, todo, &done, nullptr) || done == 0) return;
            }
            return;
        }
    }
    const char* left = bytes.data();
    for (DWORD todo = static_cast<DWORD>(size), done = 0; todo > 0; left += done, todo -= done) {
        if (!WriteFile(out, left, todo, &done, nullptr) || done == 0) return;
    }
}

// What vprintf would print, as one piece of text.
__attribute__((format(printf, 1, 0))) std::string format_text(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    char text[1024];
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

}  // namespace

void console_init() {}

void print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = format_text(format, args);
    va_end(args);
    put(text.data(), text.size(), CP_ACP);
}

void print_932(const char* text) { put(text, std::strlen(text), 932); }
