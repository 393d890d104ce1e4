// mciSendCommandA on POSIX: the open, play, status (length) and close
// commands of the MCI devices "MPEGVideo" and "waveaudio".
//
// Each open device owns its decoder and, once playing, a thread that decodes
// and feeds the sound card while the caller goes on. Closing wakes that
// thread, which drops the sound at once, and joins it. Devices still open
// when the process ends are closed the same way on the way out.
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "alsa_output.h"
#include "decoder.h"
#include "winapi.h"

namespace mci {
namespace {

// Frames decoded per write: a quarter second at 44.1 kHz, a period of the
// output's buffer. The sound starts at half a period, so the first write
// starts it, also where the encoder's delay was cut from it.
const std::size_t kChunkFrames = 11025;

class Device {
public:
    Device(std::unique_ptr<Decoder> decoder, int wake_fd) : decoder_(std::move(decoder)), wake_fd_(wake_fd) {}

    ~Device() {
        if (thread_.joinable()) {
            stop_.store(true);
            const std::uint64_t one = 1;
            // An eventfd only refuses a write when its counter is full,
            // and then it is readable already.
            (void)!::write(wake_fd_, &one, sizeof one);
            thread_.join();
        }
        ::close(wake_fd_);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // The work of learning the exact length (the MPEG frame walk: 7.7 ms
    // of CPU time for ten minutes) waits while the track starts to play: on
    // a busy machine it competed with the first sound for the CPU. Safe
    // beside the playing thread: the decoder guards its length.
    DWORD length_ms() {
        if (thread_.joinable()) {
            std::unique_lock<std::mutex> lock(start_mutex_);
            sounding_.wait(lock, [this] { return sounding_or_done_; });
        }
        return decoder_->length_ms();
    }

    // Starts the sound; returns at once. Playing a device that plays already
    // changes nothing.
    void play() {
        if (thread_.joinable()) return;
        thread_ = std::thread(&Device::run, this);
    }

private:
    void run() {
        // However the thread ends, a length asked for waits no longer.
        struct Done {
            Device* device;
            ~Done() { device->sounding(); }
        } done{this};
        AlsaOutput output(wake_fd_);
        std::vector<std::int16_t> samples;
        unsigned rate = 0;
        unsigned channels = 0;
        while (!stop_.load()) {
            if (samples.size() < kChunkFrames * decoder_->channels())
                samples.resize(kChunkFrames * decoder_->channels());
            const std::size_t frames = decoder_->read(samples.data(), kChunkFrames);
            if (frames == 0) {
                output.finish();
                return;
            }
            if (decoder_->rate() != rate || decoder_->channels() != channels) {
                // First frames, or a stream that changes its format midway:
                // let the old stream play out before the new one starts.
                if (rate != 0 && !output.finish()) return;
                rate = decoder_->rate();
                channels = decoder_->channels();
                // No sound device: the track runs its course in silence, on
                // the player's clock; nothing left to do here.
                if (!output.open(rate, channels)) return;
            }
            if (!output.write(samples.data(), frames)) return;
            if (output.running()) sounding();
        }
    }

    // The sound has started, or will not.
    void sounding() {
        std::lock_guard<std::mutex> lock(start_mutex_);
        if (sounding_or_done_) return;
        sounding_or_done_ = true;
        sounding_.notify_all();
    }

    std::unique_ptr<Decoder> decoder_;
    int wake_fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex start_mutex_;
    std::condition_variable sounding_;
    bool sounding_or_done_ = false;
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
        const bool mpeg = strcasecmp(parms.lpstrDeviceType, "MPEGVideo") == 0;
        const bool wave = strcasecmp(parms.lpstrDeviceType, "waveaudio") == 0;
        if (!mpeg && !wave) return MCIERR_INVALID_DEVICE_NAME;

        MCIERROR error = 0;
        const int fd = open_sound_file(parms.lpstrElementName, error);
        if (fd == -1) return error;
        std::unique_ptr<Decoder> decoder;
        error = mpeg ? open_mpeg(fd, decoder) : open_wave(fd, decoder);
        if (error != 0) return error;

        const int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd == -1) return MCIERR_OUT_OF_MEMORY;
        auto device = std::make_unique<Device>(std::move(decoder), wake_fd);

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
        device->play();
        return 0;
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
        device.reset();  // stops the sound and joins the thread
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
        // A thread that could not be started, and the like.
        return MCIERR_INTERNAL;
    }
}
