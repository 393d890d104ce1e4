// Start-up: finds the tracks, shows them and hands over to the track loop.
#include "player/player.h"

int run_player() {
    int code = 0;
    int settei[2] = {1, 0};
    // Found once, handed to every play request (see doc/behaviour.md).
    HWND window = find_console_window();

    TrackList filelist;
    scan_tracks(filelist);
    if (is_end_marker(filelist[0])) return 0;
    show_tracks(filelist);

    int last = 0;
    for (int i = 0; i < kListSize && !is_end_marker(filelist[i]); ++i)
        last = i;

    return track_loop(filelist, settei, window, last, code);
}
