// The playback of one device: a thread that moves frames from the device's
// decoder to the first output that takes them, while the caller goes on.
#pragma once

#include <memory>
#include <thread>

#include "decoder.h"

namespace mci {

class Playback {
public:
    explicit Playback(std::shared_ptr<Decoder> decoder) : decoder_(std::move(decoder)) {}
    // Silences the sound and ends the thread, at any moment of the track,
    // without waiting for a thread that sits in a call nothing interrupts:
    // that one is left to end by itself, with everything it uses.
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    // Starts the sound and returns at once; starting twice changes nothing.
    // False when no thread could be started.
    bool start();

private:
    struct Track;

    std::shared_ptr<Decoder> decoder_;
    std::shared_ptr<Track> track_;
    std::thread thread_;
};

}  // namespace mci
