// The track list: scan of the working directory and the paged listing.
#include "library/track_list.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

// No listed name can equal it: it does not match kPattern (see doc/behaviour.md).
const char kEndMarker[] = "else no";

namespace {

const char kPattern[] = "*.mp3";

// "Press any key to continue..." in code page 932, as the listing has always
// shown it; converted for the console when it is printed (see
// doc/behaviour.md).
const char kPauseText[] =
    "\x91\xb1\x8d\x73\x82\xb7\x82\xe9\x82\xc9\x82\xcd\x89\xbd\x82\xa9\x83\x4c"
    "\x81\x5b\x82\xf0\x89\x9f\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2"
    "...\n";

// A name that does not fit a slot is passed over rather than cut: a cut name
// would name no file.
bool fits_slot(const char* name) { return std::strlen(name) < static_cast<std::size_t>(kSlotSize); }

// Moves the search on to its next name that fits a slot; false at the end.
bool next_fitting(HANDLE search, WIN32_FIND_DATAA& name) {
    while (FindNextFileA(search, &name)) {
        if (fits_slot(name.cFileName)) return true;
    }
    return false;
}

}  // namespace

bool is_end_marker(const char* slot) { return std::strcmp(slot, kEndMarker) == 0; }

int scan_tracks(TrackList& filelist) {
    WIN32_FIND_DATAA name;
    HANDLE search = FindFirstFileA(kPattern, &name);
    if (search == INVALID_HANDLE_VALUE) {
        print("There are no mp3s.\n");
        std::strcpy(filelist[0], kEndMarker);
        return 0;
    }
    if (!fits_slot(name.cFileName) && !next_fitting(search, name)) {
        // Every match was too long: as good as none.
        FindClose(search);
        print("There are no mp3s.\n");
        std::strcpy(filelist[0], kEndMarker);
        return 0;
    }
    std::strcpy(filelist[0], name.cFileName);
    for (int k = 1; k < kListSize; ++k) {
        if (!next_fitting(search, name)) {
            std::strcpy(filelist[k], kEndMarker);
            break;
        }
        std::strcpy(filelist[k], name.cFileName);
    }
    FindClose(search);
    return 0;
}

void show_tracks(const TrackList& filelist) {
    for (int i = 0; i < kListSize; ++i) {
        if (is_end_marker(filelist[i])) break;
        if (i > 0 && i % kPageSize == 0) {
            print_932(kPauseText);
            std::getchar();
        }
        print("%-2d | %s\n", i, filelist[i]);
    }
}
