// The console window on Windows, found by its title: the console is given a
// title no other window has (tick count and process id), the window with that
// title is looked up, and the old title is put back.
#include "platform/platform.h"

HWND find_console_window() {
    char OldWindowTitle[1024];
    char NewWindowTitle[1024];
    // An unreadable title comes back as an empty one rather than as junk.
    OldWindowTitle[0] = '\0';
    GetConsoleTitleA(OldWindowTitle, sizeof OldWindowTitle);
    wsprintfA(NewWindowTitle, "%d/%d", static_cast<int>(GetTickCount()), static_cast<int>(GetCurrentProcessId()));
    SetConsoleTitleA(NewWindowTitle);
    // The new title takes a moment to reach the window.
    Sleep(40);
    HWND window = FindWindowA(nullptr, NewWindowTitle);
    SetConsoleTitleA(OldWindowTitle);
    return window;
}
