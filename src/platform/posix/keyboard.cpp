// The key test on POSIX.
//
// The terminal stays in its normal line-editing mode (nothing to restore if
// the player is killed), so input becomes visible to the player a whole line
// at a time, when Enter is pressed. What the C library has already read into
// stdin's buffer does not count: the word after "next" on the line
// "next time" waits until more input arrives.
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

bool key_hit() {
    // At the end of a pipe or file nothing more can come; a terminal, though,
    // takes new lines after the user's Ctrl-D.
    if (std::feof(stdin)) {
        if (!isatty(STDIN_FILENO)) return false;
        std::clearerr(stdin);
    }
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, 0) != 1) return false;
    // POLLNVAL: standard input is closed, there is nothing to read.
    return (in.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}
