// The services the player asks of the operating system, besides the Windows
// names in winapi.h. Each platform folder implements them; the player's code
// is the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "winapi.h"

// Prepares the console once at start-up (its standard descriptors).
void console_init();

// Writes `text`, held in code page 932 (Shift_JIS), into `out` as the console
// expects it, NUL-terminated and cut to fit `size` bytes.
void console_text(const char* text, char* out, std::size_t size);

// True when input is waiting for standard input that the C library has not
// buffered yet: a key press at a console, a line on a terminal, data or the
// end of input on a pipe. Never waits.
bool key_hit();

// Waits `ms` milliseconds between two key tests. Where the system can tell,
// it returns as soon as key_hit() would be true, so that a command takes
// effect at once rather than at the next tick.
void wait_for_key(unsigned ms);

// Calendar time in whole seconds.
std::int64_t clock_seconds();

// Finds the window of the program's own console, to which play requests
// address their notifications, or null where there is none. Called once at
// start-up; the console's title is the same afterwards.
HWND find_console_window();
