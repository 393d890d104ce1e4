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
#include <chrono>
#include <cstdio>

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

void wait_for_key(unsigned ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    const bool watch = !input_ended();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return;
        pollfd in{watch ? STDIN_FILENO : -1, POLLIN, 0};
        const int ready = poll(&in, 1, static_cast<int>(left));
        if (ready == 1 && input_waiting(in.revents)) return;
        if (ready == 1) {
            // Standard input is closed (POLLNVAL): nothing will ever come;
            // wait out the rest without it.
            in.fd = -1;
            poll(&in, 1, static_cast<int>(left));
            return;
        }
        if (ready == -1 && errno != EINTR) return;
    }
}
