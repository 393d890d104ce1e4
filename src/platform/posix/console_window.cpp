// The console window on POSIX: terminals have no window of their own to
// address notifications to, so there is nothing to look up (and the
// terminal's title is left alone).
#include "platform/platform.h"

HWND find_console_window() { return nullptr; }
