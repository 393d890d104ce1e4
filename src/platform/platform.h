// The services the player asks of the operating system, besides the Windows
// names in winapi.h. Each platform folder implements them; the player's code
// is the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

#include "winapi.h"

// Prepares the console once at start-up (its standard descriptors).
void console_init();

// Prints as std::printf does, at once and in one piece, also text without a
// line feed (the prompt). Text is in the system's code page, as file names
// come: a Windows console shows it as those characters, while a file or a
// pipe, and every POSIX output, gets the bytes unchanged.
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints `text`, held in code page 932 (Shift_JIS), as print() does, in the
// characters it stands for: converted to the locale's character set on POSIX,
// shown as characters by a Windows console; a Windows file or pipe gets the
// bytes unchanged.
void print_932(const char* text);

// True when input is waiting for standard input that the C library has not
// buffered yet: a key press at a console, a line on a terminal, data or the
// end of input on a pipe, a file until its end. Never waits.
bool key_hit();

// Waits between two key tests. Where the system can tell when input comes,
// it returns as soon as key_hit() would be true, so that a command takes
// effect at once, or when the calendar clock reaches `second`, the next
// moment the caller has anything to do: a polling loop that wakes for
// nothing costs CPU all the time a track plays. Elsewhere it waits `ms`
// milliseconds, the tick of the caller's polling.
void wait_for_key(unsigned ms, std::int64_t second);

// Calendar time in whole seconds.
std::int64_t clock_seconds();

// Finds the window of the program's own console, to which play requests
// address their notifications, or null where there is none. Called once at
// start-up; the console's title is the same afterwards.
HWND find_console_window();
