// The console window lookup against the real console: the temporary title it
// shows while it looks, the window it finds, and the title it puts back.
// Needs a console with a title: on Windows any console; under Wine one on a
// terminal (tests/windows/with_terminal.py gives it one).
#include "playback/console_window.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Reads the console title over and over from a second thread, keeping each
// title that differs from the one before, until told to stop.
class TitleWatch {
public:
    TitleWatch() {
        thread_ = CreateThread(nullptr, 0, &TitleWatch::run, this, 0, nullptr);
        // Only the titles seen while the lookup runs are of interest: wait
        // until the watch has read the title at least once.
        while (InterlockedCompareExchange(&reads_, 0, 0) == 0)
            Sleep(1);
    }

    // Stops once the title has been read afresh after this call, so that the
    // last title seen is the one in force now.
    std::vector<std::string> stop() {
        const LONG reads = InterlockedCompareExchange(&reads_, 0, 0);
        while (InterlockedCompareExchange(&reads_, 0, 0) < reads + 2)
            Sleep(1);
        InterlockedExchange(&stop_, 1);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        return titles_;
    }

private:
    static DWORD WINAPI run(void* self) {
        auto* watch = static_cast<TitleWatch*>(self);
        char title[1024];
        while (InterlockedCompareExchange(&watch->stop_, 0, 0) == 0) {
            title[0] = '\0';
            GetConsoleTitleA(title, sizeof title);
            if (watch->titles_.empty() || watch->titles_.back() != title) watch->titles_.push_back(title);
            InterlockedIncrement(&watch->reads_);
        }
        return 0;
    }

    HANDLE thread_;
    volatile LONG stop_ = 0;
    volatile LONG reads_ = 0;
    std::vector<std::string> titles_;
};

std::string console_title() {
    char title[1024];
    title[0] = '\0';
    GetConsoleTitleA(title, sizeof title);
    return title;
}

// True when the process has a console whose title can be set and read back.
bool title_works() {
    const std::string probe = "tamblo title probe";
    return SetConsoleTitleA(probe.c_str()) && console_title() == probe;
}

double milliseconds_since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

class ConsoleWindow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!title_works()) {
            GTEST_SKIP() << "this process has no console title to set (under Wine that is the case unless "
                            "standard input and output are a terminal)";
        }
    }
};

TEST_F(ConsoleWindow, ShowsTickCountAndProcessIdWhileLookingThenPutsTheTitleBack) {
    // Wine's console makes its window only when a program first asks for it;
    // Windows' has one from the start. Either way there is one to find now.
    const HWND console = GetConsoleWindow();
    ASSERT_NE(console, nullptr);
    const std::string before = "Tamblo: the title before the lookup";
    ASSERT_TRUE(SetConsoleTitleA(before.c_str()));

    TitleWatch watch;
    const DWORD ticks_before = GetTickCount();
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    const HWND window = find_console_window();
    const double took_ms = milliseconds_since(start);
    const DWORD ticks_after = GetTickCount();
    const std::vector<std::string> titles = watch.stop();

    EXPECT_EQ(console_title(), before);

    // The old title, the temporary one, the old one again: nothing else.
    ASSERT_EQ(titles.size(), 3u) << ::testing::PrintToString(titles);
    EXPECT_EQ(titles[0], before);
    EXPECT_EQ(titles[2], before);

    int ticks = 0;
    unsigned long pid = 0;
    char rest = 0;
    ASSERT_EQ(std::sscanf(titles[1].c_str(), "%d/%lu%c", &ticks, &pid, &rest), 2) << titles[1];
    EXPECT_EQ(titles[1], std::to_string(ticks) + "/" + std::to_string(pid));
    EXPECT_EQ(pid, GetCurrentProcessId());
    // The tick count is printed signed; as a DWORD it falls within the call.
    EXPECT_GE(static_cast<DWORD>(ticks) - ticks_before, 0u);
    EXPECT_LE(static_cast<DWORD>(ticks) - ticks_before, ticks_after - ticks_before);

    // The title is given 40 ms to reach the window before it is looked up.
    EXPECT_GE(took_ms, 39.0);

    // The window found by the temporary title is this console's.
    EXPECT_EQ(window, console);
}

TEST_F(ConsoleWindow, LongestTitleComesBackWhole) {
    std::string before(1023, 'x');
    for (std::size_t i = 0; i < before.size(); ++i)
        before[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(SetConsoleTitleA(before.c_str()));
    ASSERT_EQ(console_title(), before) << "the console keeps no title this long";

    find_console_window();
    EXPECT_EQ(console_title(), before);
}

}  // namespace
