// The player: start-up and the track loop.
#pragma once

#include "library/track_list.h"
#include "platform/platform.h"

// The wait between two key tests while a track plays, where the system
// cannot wait for a key itself.
const unsigned kPollMs = 100;
// "before" within this many seconds of a turn's start goes to the previous
// track; later, it starts the same track again.
const int kBackWindowSeconds = 3;

// Runs the whole player in the working directory: lists its tracks and plays
// them until the exit command, the end of the list with looping off, or the
// end of a full list. Returns the exit status, always 0.
int run_player();

// Plays the tracks of `filelist` (real tracks in slots 0 to `last`) from
// track 0 on, reading commands while each plays. `settei[0]` is the loop flag.
int track_loop(const TrackList& filelist, int settei[2], HWND window, int last, int& code);
