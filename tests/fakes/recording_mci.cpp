#include "recording_mci.h"

namespace fake_mci {

std::vector<Call> calls;
std::map<std::string, DWORD> length_ms;
DWORD default_length_ms = 0;
std::set<std::string> unopenable;
const std::int64_t* clock = nullptr;

namespace {
std::set<MCIDEVICEID> devices;
std::map<MCIDEVICEID, std::string> elements;
MCIDEVICEID next_id = 1;
}  // namespace

void reset() {
    calls.clear();
    length_ms.clear();
    default_length_ms = 0;
    unopenable.clear();
    devices.clear();
    elements.clear();
    next_id = 1;
}

std::vector<std::string> opened() {
    std::vector<std::string> names;
    for (const Call& call : calls) {
        if (call.message == MCI_OPEN && call.device != 0) names.push_back(call.element);
    }
    return names;
}

std::set<MCIDEVICEID> open_devices() { return devices; }

}  // namespace fake_mci

MCIERROR WINAPI mciSendCommandA(MCIDEVICEID IDDevice, UINT uMsg, DWORD_PTR fdwCommand, DWORD_PTR dwParam) {
    using namespace fake_mci;
    Call call{IDDevice, uMsg, fdwCommand, "", "", 0, 0, dwParam != 0, clock != nullptr ? *clock : 0};
    MCIERROR result = 0;
    switch (uMsg) {
    case MCI_OPEN: {
        auto* parms = reinterpret_cast<MCI_OPEN_PARMSA*>(dwParam);
        call.type = parms->lpstrDeviceType;
        call.element = parms->lpstrElementName;
        if (unopenable.count(call.element) != 0) {
            result = MCIERR_FILE_NOT_FOUND;
        } else {
            parms->wDeviceID = next_id++;
            devices.insert(parms->wDeviceID);
            elements[parms->wDeviceID] = call.element;
            // Recorded with the device it opened, for opened().
            call.device = parms->wDeviceID;
        }
        break;
    }
    case MCI_PLAY: {
        auto* parms = reinterpret_cast<MCI_PLAY_PARMS*>(dwParam);
        call.callback = parms->dwCallback;
        call.from = parms->dwFrom;
        if (devices.count(IDDevice) == 0) result = MCIERR_INVALID_DEVICE_ID;
        break;
    }
    case MCI_STATUS: {
        auto* parms = reinterpret_cast<MCI_STATUS_PARMS*>(dwParam);
        if (devices.count(IDDevice) == 0) {
            result = MCIERR_INVALID_DEVICE_ID;
        } else {
            auto it = length_ms.find(elements[IDDevice]);
            parms->dwReturn = it != length_ms.end() ? it->second : default_length_ms;
        }
        break;
    }
    case MCI_CLOSE:
        if (devices.erase(IDDevice) == 0) result = MCIERR_INVALID_DEVICE_ID;
        break;
    default:
        result = MCIERR_UNRECOGNIZED_COMMAND;
    }
    calls.push_back(call);
    return result;
}
