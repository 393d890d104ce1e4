// What a user of a Windows console sees, for the tests. "screen title" gives
// its console a title in no ANSI code page; "screen watch PROGRAM" attaches to
// the console of the process PROGRAM (an .exe name) and writes, each time the
// console changes, its title, output code page and rows without trailing
// blanks, a line each, in UTF-16, closed by a NUL, until the console is gone.
#include <windows.h>
// The process list's declarations build on windows.h.
#include <tlhelp32.h>

#include <cwchar>
#include <string>

namespace {

// The console's title, code page and rows, or nothing once it is gone.
std::wstring look(HANDLE screen) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(screen, &info)) return L"";
    wchar_t title[4096] = L"";
    GetConsoleTitleW(title, 4096);
    std::wstring text = std::wstring(title) + L"\n" + std::to_wstring(GetConsoleOutputCP()) + L"\n";
    std::wstring row(info.dwSize.X, L' ');
    for (SHORT y = 0; y < info.dwSize.Y; ++y) {
        DWORD read = 0;
        if (!ReadConsoleOutputCharacterW(screen, &row[0], info.dwSize.X, COORD{0, y}, &read)) return L"";
        text += row.substr(0, row.find_last_not_of(L' ') + 1) + L"\n";
    }
    return text.substr(0, text.find_last_not_of(L'\n') + 2) + L'\0';
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"title") == 0)
        return SetConsoleTitleW(L"\u266B Caf\u00E9 \u30C6\u30B9\u30C8") ? 0 : 1;
    if (argc != 3 || std::wcscmp(argv[1], L"watch") != 0) return 2;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    FreeConsole();
    // Wine refuses to attach while the process is still starting: try again.
    for (DWORD id = 0; id == 0 || !AttachConsole(id);) {
        Sleep(20);
        HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof entry;
        id = 0;
        for (BOOL more = Process32FirstW(all, &entry); more && id == 0; more = Process32NextW(all, &entry))
            if (_wcsicmp(entry.szExeFile, argv[2]) == 0) id = entry.th32ProcessID;
        CloseHandle(all);
    }
    HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    for (std::wstring last, now; !(now = look(screen)).empty(); Sleep(20)) {
        if (now == last) continue;
        last = now;
        DWORD written;
        if (!WriteFile(out, now.data(), static_cast<DWORD>(now.size() * sizeof now[0]), &written, nullptr)) return 0;
    }
    return 0;
}
