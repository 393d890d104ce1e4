// The track list: the MP3 names of the working directory, found once at
// start-up, and their paged listing.
#pragma once

const int kListSize = 50;   // slots in the list
const int kSlotSize = 256;  // bytes per slot, the NUL included
const int kPageSize = 15;   // names per page of the listing

// Follows the last name when fewer than kListSize names were found.
extern const char kEndMarker[];

typedef char TrackList[kListSize][kSlotSize];

// Fills `filelist` from the working directory's "*.mp3" entries in the order
// the directory search yields them, passing over names too long for a slot.
// Prints "There are no mp3s.\n" and leaves the end marker in slot 0 when
// there is none. Returns 0.
int scan_tracks(TrackList& filelist);

// Prints the list, one "%-2d | %s\n" line per track, pausing for one
// character of input before each page after the first (tracks 15, 30 and 45).
void show_tracks(const TrackList& filelist);

bool is_end_marker(const char* slot);
