// mciSendCommandA on POSIX: the open, play, status (length) and close
// commands of the MCI devices "MPEGVideo" and "waveaudio", and the one place
// where outcomes become MCI error codes.
//
// Each open device owns its decoder and, once playing, its playback (a
// thread of its own). Closing silences the sound and ends that thread at
// any moment of the track. Devices still open when the process ends are
// closed the same way on the way out.
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "decoder.h"
#include "output.h"
#include "playback.h"
#include "winapi.h"

namespace mci {
namespace {

MCIERROR error_of(Refusal refusal) {
    switch (refusal) {
    case Refusal::none:
        return 0;
    case Refusal::not_found:
        return MCIERR_FILE_NOT_FOUND;
    case Refusal::not_sound:
        return MCIERR_INVALID_FILE;
    case Refusal::no_memory:
        return MCIERR_OUT_OF_MEMORY;
    case Refusal::no_library:
        break;
    }
    return MCIERR_INTERNAL;
}

class Device {
public:
    explicit Device(std::unique_ptr<Decoder> decoder) : decoder_(std::move(decoder)), playback_(decoder_) {}

    DWORD length_ms() { return decoder_->length_ms(); }

    // Starts the sound; returns at once. Playing a device that plays
    // already changes nothing.
    bool play() { return playback_.start(); }

private:
    std::shared_ptr<Decoder> decoder_;
    Playback playback_;
};

class Devices {
public:
    ~Devices() {
        // Still open at exit (the exit command leaves its track open): stop
        // the sound and end the threads before the process goes.
        std::lock_guard<std::mutex> lock(mutex_);
        open_.clear();
    }

    MCIERROR open(MCI_OPEN_PARMSA& parms) {
        if (parms.lpstrDeviceType == nullptr || parms.lpstrElementName == nullptr) return MCIERR_MISSING_PARAMETER;
        const DeviceKind* kind = find_device_kind(parms.lpstrDeviceType);
        if (kind == nullptr) return MCIERR_INVALID_DEVICE_NAME;
        prepare_outputs();

        Refusal refusal = Refusal::none;
        const int fd = open_sound_file(parms.lpstrElementName, refusal);
        if (fd == -1) return error_of(refusal);
        std::unique_ptr<Decoder> decoder;
        refusal = kind->open(fd, decoder);
        if (refusal != Refusal::none) return error_of(refusal);
        auto device = std::make_unique<Device>(std::move(decoder));

        std::lock_guard<std::mutex> lock(mutex_);
        // The lowest free identifier, as Windows hands them out; 0 is never one.
        MCIDEVICEID id = 1;
        for (const auto& entry : open_) {
            if (entry.first != id) break;
            ++id;
        }
        open_.emplace(id, std::move(device));
        parms.wDeviceID = id;
        return 0;
    }

    MCIERROR play(MCIDEVICEID id) {
        std::lock_guard<std::mutex> lock(mutex_);
        Device* device = find(id);
        if (device == nullptr) return MCIERR_INVALID_DEVICE_ID;
        return device->play() ? 0 : MCIERR_INTERNAL;
    }

    MCIERROR length(MCIDEVICEID id, DWORD_PTR& answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        Device* device = find(id);
        if (device == nullptr) return MCIERR_INVALID_DEVICE_ID;
        answer = device->length_ms();
        return 0;
    }

    MCIERROR close(MCIDEVICEID id) {
        std::unique_ptr<Device> device;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = open_.find(id);
            if (it == open_.end()) return MCIERR_INVALID_DEVICE_ID;
            device = std::move(it->second);
            open_.erase(it);
        }
        device.reset();  // silences the sound and ends its thread
        return 0;
    }

private:
    Device* find(MCIDEVICEID id) {
        auto it = open_.find(id);
        return it == open_.end() ? nullptr : it->second.get();
    }

    std::mutex mutex_;
    std::map<MCIDEVICEID, std::unique_ptr<Device>> open_;
};

Devices& devices() {
    static Devices all;
    return all;
}

// Flags each command accepts besides MCI_NOTIFY and MCI_WAIT. Notifications
// are accepted and never delivered: there are no windows to post them to.
const DWORD_PTR kCommonFlags = MCI_NOTIFY | MCI_WAIT;

MCIERROR send(MCIDEVICEID id, UINT message, DWORD_PTR flags, DWORD_PTR param) {
    switch (message) {
    case MCI_OPEN: {
        if (param == 0) return MCIERR_NULL_PARAMETER_BLOCK;
        if ((flags & (MCI_OPEN_TYPE | MCI_OPEN_ELEMENT)) != (MCI_OPEN_TYPE | MCI_OPEN_ELEMENT)) {
            return MCIERR_UNSUPPORTED_FUNCTION;
        }
        if ((flags & ~(kCommonFlags | MCI_OPEN_TYPE | MCI_OPEN_ELEMENT)) != 0) return MCIERR_UNSUPPORTED_FUNCTION;
        return devices().open(*reinterpret_cast<MCI_OPEN_PARMSA*>(param));
    }
    case MCI_PLAY:
        // Play always returns at once; waiting for the end is not offered.
        if ((flags & ~MCI_NOTIFY) != 0) return MCIERR_UNSUPPORTED_FUNCTION;
        return devices().play(id);
    case MCI_STATUS: {
        if (param == 0) return MCIERR_NULL_PARAMETER_BLOCK;
        if ((flags & MCI_STATUS_ITEM) == 0) return MCIERR_MISSING_PARAMETER;
        if ((flags & ~(kCommonFlags | MCI_STATUS_ITEM)) != 0) return MCIERR_UNSUPPORTED_FUNCTION;
        auto& status = *reinterpret_cast<MCI_STATUS_PARMS*>(param);
        if (status.dwItem != MCI_STATUS_LENGTH) return MCIERR_UNSUPPORTED_FUNCTION;
        return devices().length(id, status.dwReturn);
    }
    case MCI_CLOSE:
        return devices().close(id);
    default:
        return MCIERR_UNRECOGNIZED_COMMAND;
    }
}

}  // namespace
}  // namespace mci

MCIERROR mciSendCommandA(MCIDEVICEID IDDevice, UINT uMsg, DWORD_PTR fdwCommand, DWORD_PTR dwParam) {
    try {
        return mci::send(IDDevice, uMsg, fdwCommand, dwParam);
    } catch (const std::bad_alloc&) {
        return MCIERR_OUT_OF_MEMORY;
    } catch (...) {
        return MCIERR_INTERNAL;
    }
}
