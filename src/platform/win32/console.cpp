// The console on Windows. A console shows characters, not bytes: each print
// is converted from the code page its text is in and handed to the console in
// one WriteConsoleW, so that it shows rightly whatever the console's own code
// page and is never split inside a character. A file or a pipe gets the bytes
// the C runtime has always written there, line feeds as CR LF.
#include <fcntl.h>
#include <io.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/format_text.h"
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

// Wine hands a Unix pipe to a Windows program as a pipe that cannot be peeked
// at (PeekNamedPipe fails with ERROR_NOT_SUPPORTED), so the key test could
// never see a line arrive. Such input is copied, as it comes, into a pipe of
// the program's own, which standard input then reads.
struct Relay {
    HANDLE from, to;
};

DWORD WINAPI relay_input(void* param) {
    const Relay& relay = *static_cast<Relay*>(param);
    char buffer[4096];
    DWORD got, sent;
    while (ReadFile(relay.from, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        for (DWORD done = 0; done < got; done += sent) {
            if (!WriteFile(relay.to, buffer + done, got - done, &sent, nullptr)) return 0;
        }
    }
    // The reader then meets the end of input.
    CloseHandle(relay.to);
    return 0;
}

void relay_unpeekable_input() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD waiting;
    if (GetFileType(in) != FILE_TYPE_PIPE || PeekNamedPipe(in, nullptr, 0, nullptr, &waiting, nullptr) ||
        GetLastError() != ERROR_NOT_SUPPORTED) {
        return;
    }
    static Relay relay;
    HANDLE read_end;
    const HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, in, self, &relay.from, 0, FALSE, DUPLICATE_SAME_ACCESS)) return;
    if (!CreatePipe(&read_end, &relay.to, nullptr, 0)) {
        CloseHandle(relay.from);
        return;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(read_end), _O_RDONLY | _O_TEXT);
    if (fd == -1) CloseHandle(read_end);
    HANDLE thread = fd == -1 ? nullptr : CreateThread(nullptr, 0, relay_input, &relay, CREATE_SUSPENDED, nullptr);
    // Descriptor 0 is replaced only once the copying is sure to run; its old
    // handle is closed with it, the relay reading its own duplicate.
    if (thread == nullptr || _dup2(fd, 0) != 0) {
        if (thread != nullptr) TerminateThread(thread, 0);
        if (fd != -1) _close(fd);
        CloseHandle(relay.to);
        CloseHandle(relay.from);
        return;
    }
    _close(fd);
    SetStdHandle(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(0)));
    ResumeThread(thread);
    CloseHandle(thread);
}

}  // namespace

void console_init() { relay_unpeekable_input(); }

void print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = format_text(format, args);
    va_end(args);
    put(text.data(), text.size(), CP_ACP);
}

void print_932(const char* text) { put(text, std::strlen(text), 932); }
