// The console window on Windows, found by its title: the console is given a
// title no other window has (tick count and process id), the window with that
// title is looked up, and the old title is put back.
#include "platform/platform.h"

HWND find_console_window() {
    // Read and put back as characters (the wide functions): through a code
    // page, every character of the title outside it would come back as '?'.
    // The buffer holds 24,499 characters, far more than titles run to; only a
    // longer one would come back cut to that.
    static wchar_t OldWindowTitle[24500];
    wchar_t NewWindowTitle[1024];
    // An unreadable title comes back as an empty one rather than as junk.
    OldWindowTitle[0] = L'\0';
    GetConsoleTitleW(OldWindowTitle, sizeof OldWindowTitle / sizeof OldWindowTitle[0]);
    wsprintfW(NewWindowTitle, L"%d/%d", static_cast<int>(GetTickCount()), static_cast<int>(GetCurrentProcessId()));
    SetConsoleTitleW(NewWindowTitle);
    // The new title takes a moment to reach the window.
    Sleep(40);
    HWND window = FindWindowW(nullptr, NewWindowTitle);
    SetConsoleTitleW(OldWindowTitle);
    return window;
}
