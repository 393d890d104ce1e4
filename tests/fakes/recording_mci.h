// A recording stand-in for mciSendCommandA: remembers every command and
// answers like a device that opens whatever it is not told to refuse.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake_mci {

struct Call {
    MCIDEVICEID device;
    UINT message;
    DWORD_PTR flags;
    std::string type;     // open: the device type
    std::string element;  // open: the element name
    DWORD_PTR callback;   // play: the notification window
    DWORD from;           // play: the start field
    bool has_params;
    std::int64_t at_ms;  // *clock when the command came, if set
};

// Where the time of each call is read from; none when null.
extern const std::int64_t* clock;

extern std::vector<Call> calls;
// Length answered for an element, in milliseconds; others get default_length_ms.
extern std::map<std::string, DWORD> length_ms;
extern DWORD default_length_ms;
// Elements that fail to open (as a missing or undecodable file would).
extern std::set<std::string> unopenable;

// Forgets all calls and settings; no device is open afterwards.
void reset();
// Element names of the successful opens, in order.
std::vector<std::string> opened();
// Devices opened and not closed.
std::set<MCIDEVICEID> open_devices();

}  // namespace fake_mci
