// The command reader.
#include "player/command_reader.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "playback/playback_device.h"

namespace {

bool is_space(int c) { return c != EOF && std::isspace(static_cast<unsigned char>(c)); }

// Reads one word, as scanf's "%s" would: white space before it is skipped,
// the white space after it is left in the stream. A word longer than `size`-1
// bytes is read whole and keeps its first `size`-1 bytes, so that no piece of
// it is taken later for a command of its own. False at the end of input.
bool read_word(char* word, std::size_t size) {
    int c;
    do {
        c = std::getchar();
    } while (is_space(c));
    if (c == EOF) return false;
    std::size_t n = 0;
    while (c != EOF && !is_space(c)) {
        if (n + 1 < size) word[n++] = static_cast<char>(c);
        c = std::getchar();
    }
    if (c != EOF) std::ungetc(c, stdin);
    word[n] = '\0';
    return true;
}

// The word's leading decimal number plus kCodeTrack; 0 when that does not
// fit an int.
int track_code(const char* word) {
    long long number = 0;
    for (const char* p = word; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10 + (*p - '0');
        if (number > INT_MAX - kCodeTrack) return kCodeNone;
    }
    return static_cast<int>(number) + kCodeTrack;
}

}  // namespace

int read_command() {
    char cmd[kWordSize];
    if (!read_word(cmd, sizeof cmd)) return kCodeNone;

    if (std::strcmp(cmd, "stop") == 0) {
        close_track();
        // The first character is what ended the word (the line feed of its
        // line); the second waits for the user's next line (see
        // doc/behaviour.md).
        std::getchar();
        std::getchar();
        return kCodeNext;
    }
    if (std::strcmp(cmd, "next") == 0 || std::strcmp(cmd, "n") == 0) return kCodeNext;
    if (std::strcmp(cmd, "before") == 0 || std::strcmp(cmd, "b") == 0) return kCodeBack;
    if (std::strcmp(cmd, "exit") == 0) return kCodeExit;
    if (std::strcmp(cmd, "ls") == 0) {
        print("\n");
        return kCodeList;
    }
    if (std::strcmp(cmd, "time") == 0) return kCodeTime;
    if (std::strcmp(cmd, "loop") == 0) return kCodeLoop;
    if (cmd[0] >= '0' && cmd[0] <= '9') return track_code(cmd);
    return kCodeNone;
}
