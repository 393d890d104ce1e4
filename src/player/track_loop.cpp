// The track loop: plays the list one track after another and carries out the
// commands typed meanwhile.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "playback/playback_device.h"
#include "player/command_reader.h"
#include "player/player.h"
#include "player/time_display.h"

namespace {

// "\nTamblo0~ <name without its extension>~$ ", no line feed after it: the
// exact prompt users and scripts wait for (see doc/behaviour.md).
void print_prompt(const char* name) {
    char shown[kSlotSize];
    std::strncpy(shown, name, sizeof shown - 1);
    shown[sizeof shown - 1] = '\0';
    char* last_dot = std::strrchr(shown, '.');
    if (last_dot != nullptr) *last_dot = '\0';
    print("\nTamblo0~ %s~$ ", shown);
}

}  // namespace

int track_loop(const TrackList& filelist, int settei[2], HWND window, int last, int& code) {
    int index = 0;
    for (;;) {
        if (index >= kListSize) {
            // Past the last slot of a full list: one character, then the end
            // (see doc/behaviour.md).
            std::getchar();
            return 0;
        }
        const std::int64_t track_start = clock_seconds();
        if (index < 0) index = last;
        // The end marker sits just after the last track when the list is not full.
        if (last < kListSize - 1 && index == last + 1) {
            if (settei[0] != 1) return 0;
            index = 0;
        }
        // A number past the end marker's slot plays track 0 (see doc/behaviour.md).
        if (index > last) index = 0;

        const char* name = filelist[index];
        print_prompt(name);
        // A refused name (-1) still gets its turn, in silence; the window
        // only addresses the play notification (see doc/behaviour.md).
        open_and_play(name, window, 0);
        const int length = track_length();
        const std::int64_t play_start = clock_seconds();

        for (;;) {
            if (key_hit()) code = read_command();

            if (code == kCodeNext) break;
            if (code == kCodeBack) {
                // Early in a turn, back means the previous track; later, this
                // one again from its start.
                index -= clock_seconds() < track_start + kBackWindowSeconds ? 2 : 1;
                break;
            }
            if (code == kCodeExit) return 0;
            if (code == kCodeList) {
                show_tracks(filelist);
                code = kCodeNone;
                print_prompt(name);
            } else if (code >= kCodeTrack && code < kCodeTrack + kListSize) {
                index = code - kCodeTrack - 1;
                break;
            } else if (code == kCodeTime) {
                show_time(static_cast<int>(clock_seconds() - play_start), length);
                code = kCodeNone;
                print_prompt(name);
            } else if (code == kCodeLoop) {
                settei[0] = 1 - settei[0];
                print_prompt(name);
                code = kCodeNone;
            }

            // The turn lasts the length plus one second (see doc/behaviour.md).
            const std::int64_t turn_end = play_start + length + 1;
            if (clock_seconds() < turn_end) {
                wait_for_key(kPollMs, turn_end);
            } else {
                break;
            }
        }
        code = kCodeNone;
        // After "stop" the track is already closed and this goes to device 0.
        close_track();
        ++index;
    }
}
