// The console window, to which play requests address their notifications.
#pragma once

#include "platform/platform.h"

// Finds the window of the program's own console, or null when there is none.
// Called once at start-up; the player hands the result to every play request.
HWND find_console_window();
