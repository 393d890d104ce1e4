// The key test on Windows. At a console it is the C runtime's keyboard test,
// true from the first keystroke. Where standard input is a pipe or a file, the
// console's keys say nothing about it, so that input itself is looked at, as
// on POSIX: a pipe holds input once a line has arrived or its writer has
// gone, a file until its end.
#include <conio.h>

#include <cstdio>

#include "platform/platform.h"

bool key_hit() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    if (GetConsoleMode(in, &mode)) return _kbhit() != 0;
    // Once the C runtime has met the end of a pipe or a file, nothing more can
    // come; the player plays on without reading again.
    if (std::feof(stdin)) return false;
    switch (GetFileType(in)) {
    case FILE_TYPE_PIPE: {
        // The end of the pipe fails the peek; the reader then meets it.
        DWORD waiting = 0;
        return !PeekNamedPipe(in, nullptr, 0, nullptr, &waiting, nullptr) || waiting > 0;
    }
    case FILE_TYPE_DISK:
    case FILE_TYPE_CHAR:
        return true;
    default:
        // No standard input at all.
        return false;
    }
}

void wait_for_key(unsigned ms, std::int64_t) { Sleep(ms); }
