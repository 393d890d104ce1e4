// The key test on POSIX.
//
// The terminal stays in its normal line-editing mode (nothing to restore if
// the player is killed), so input becomes visible to the player a whole line
// at a time, when Enter is pressed. What the C library has already read into
// stdin's buffer does not count: the word after "next" on the line
// "next time" waits until more input arrives.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"

namespace {

// At the end of a pipe or a file nothing more can come, and poll() would
// report that end again and again; a terminal, though, takes new lines after
// the user's Ctrl-D.
bool input_ended() {
    if (!std::feof(stdin)) return false;
    if (isatty(STDIN_FILENO)) {
        std::clearerr(stdin);
        return false;
    }
    return true;
}

bool input_waiting(short revents) {
    // POLLNVAL (no standard input at all) is not input.
    return (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace

bool key_hit() {
    if (input_ended()) return false;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    return poll(&in, 1, 0) == 1 && input_waiting(in.revents);
}

void wait_for_key(unsigned, std::int64_t second) {
    bool watch = !input_ended();
    for (;;) {
        // The calendar clock is read afresh at least once a second, so that
        // a clock set meanwhile (or a resume from suspend, which poll's own
        // clock does not count) is seen within a second.
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_sec >= second) return;
        // Rounded up: woken before the second turns, the caller would only
        // come straight back.
        const std::int64_t left = (second - now.tv_sec) * 1000 - now.tv_nsec / 1000000;
        pollfd in{watch ? STDIN_FILENO : -1, POLLIN, 0};
        const int ready = poll(&in, 1, static_cast<int>(left < 1000 ? left : 1000));
        if (ready == 1 && input_waiting(in.revents)) return;
        // Standard input is closed (POLLNVAL): nothing will ever come.
        if (ready == 1) watch = false;
        if (ready == -1 && errno != EINTR) return;
    }
}
