// The playback device, on top of the Media Control Interface.
#include "playback/playback_device.h"

#include <cstring>

MCIDEVICEID current_device = 0;

namespace {

struct Extension {
    const char* text;
    int kind;   // 0 MPEG audio, 1 wave audio
    int upper;  // 0 lower case, 1 upper case
};

// Compared exactly, in this order; any other extension is refused. The scan
// lists only "*.mp3" names, so the player never meets the wav rows; they stay
// (see doc/behaviour.md).
const Extension kExtensions[] = {
    {"mp3", 0, 0},
    {"MP3", 0, 1},
    {"wav", 1, 0},
    {"WAV", 1, 1},
};

const char* const kDeviceTypes[] = {"MPEGVideo", "waveaudio"};

char dot[32];
char file_name[256];
char file_shurui[32];
MCI_OPEN_PARMSA OpenParms;
MCI_PLAY_PARMS PlayParms;
MCI_STATUS_PARMS status;

int open_kind(const char* name, std::size_t p, HWND window, const int j[2], DWORD from) {
    // The name up to its last '.', then the extension as the table writes it:
    // for every accepted name, the name itself.
    const char* extension = kExtensions[j[0] * 2 + j[1]].text;
    if (p + 1 + std::strlen(extension) + 1 > sizeof file_name) return -1;
    std::memcpy(file_name, name, p + 1);
    std::strcpy(file_name + p + 1, extension);
    std::strcpy(file_shurui, kDeviceTypes[j[0]]);

    OpenParms.lpstrDeviceType = file_shurui;
    OpenParms.lpstrElementName = file_name;
    OpenParms.wDeviceID = 0;
    mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&OpenParms));
    current_device = OpenParms.wDeviceID;

    PlayParms.dwCallback = reinterpret_cast<DWORD_PTR>(window);
    PlayParms.dwFrom = from;
    mciSendCommandA(current_device, MCI_PLAY, MCI_NOTIFY, reinterpret_cast<DWORD_PTR>(&PlayParms));
    return 0;
}

}  // namespace

int open_and_play(const char* name, HWND window, DWORD from) {
    const char* last_dot = std::strrchr(name, '.');
    if (last_dot == nullptr) return -1;
    // An extension too long for `dot` cannot be one of the table's.
    if (std::strlen(last_dot + 1) >= sizeof dot) return -1;
    std::strcpy(dot, last_dot + 1);

    int j[2];
    bool known = false;
    for (const Extension& e : kExtensions) {
        if (std::strcmp(dot, e.text) == 0) {
            j[0] = e.kind;
            j[1] = e.upper;
            known = true;
            break;
        }
    }
    if (!known) return -1;
    return open_kind(name, static_cast<std::size_t>(last_dot - name), window, j, from);
}

int track_length() {
    status.dwItem = MCI_STATUS_LENGTH;
    // A status that fails leaves the answer alone; start from 0 so that it
    // reads as no length rather than the last track's.
    status.dwReturn = 0;
    mciSendCommandA(current_device, MCI_STATUS, MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&status));
    return static_cast<int>(static_cast<DWORD>(status.dwReturn) / 1000u);
}

void close_track() {
    mciSendCommandA(current_device, MCI_CLOSE, 0, 0);
    current_device = 0;
}
