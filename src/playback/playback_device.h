// The playback device: opens one track at a time on the MCI device that suits
// its extension, plays it without waiting, tells its length and closes it.
#pragma once

#include "platform/platform.h"

// The open device, 0 when none.
extern MCIDEVICEID current_device;

// Opens `name` and starts it playing, notifications going to `window`.
// Returns 0 when the commands were sent, -1 when the extension is not one of
// mp3, MP3, wav, WAV (nothing is sent then).
int open_and_play(const char* name, HWND window, DWORD from);

// The current device's length in whole seconds; 0 when it has none.
int track_length();

// Closes the current device (also when there is none) and forgets it.
void close_track();
