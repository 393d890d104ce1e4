// The playback of one device: a thread that moves frames from the device's
// decoder to the first output that takes them, while the caller goes on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "decoder.h"

namespace mci {

class Playback {
public:
    explicit Playback(Decoder& decoder) : decoder_(decoder) {}
    // Silences the sound and ends the thread, at any moment of the track.
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    // Starts the sound and returns at once; starting twice changes nothing.
    // False when no thread could be started.
    bool start();

    // Waits, at most `limit`, until the sound has started or will not.
    void wait_until_sounding(std::chrono::milliseconds limit);

private:
    void run();
    void sounding();

    Decoder& decoder_;
    int wake_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable sounding_changed_;
    bool sounding_or_done_ = false;
};

}  // namespace mci
