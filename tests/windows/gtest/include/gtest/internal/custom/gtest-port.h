// GoogleTest's port settings for the Windows build of the tests. GCC 12's
// MinGW-w64 with the win32 thread model has no std::mutex or
// std::condition_variable, the only two things GoogleTest needs from the
// standard threading library (for its Notification); this supplies a
// Notification built on a Win32 event instead, so that GoogleTest builds with
// the same compiler as the player and no threading DLL enters the programs.
#pragma once

#ifdef _WIN32
#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

// Lets a controller thread hold back the threads it starts until it is ready.
class Notification {
public:
    Notification();
    ~Notification();
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify();
    void WaitForNotification();

private:
    void* event_;  // a Win32 manual-reset event; windows.h stays out of every test
};

}  // namespace internal
}  // namespace testing
#endif
