// Sound output through alsa-lib's PCM "default" (PipeWire and PulseAudio are
// reached through their ALSA plugins).
#pragma once

#include <alsa/asoundlib.h>

#include <cstddef>
#include <cstdint>

namespace mci {

// One playback stream, used by one thread from open to close. Every wait
// also watches `wake_fd`: once it becomes readable the stream gives up at
// once, so that whoever closes the device never waits for the sound.
class AlsaOutput {
public:
    explicit AlsaOutput(int wake_fd) : wake_fd_(wake_fd) {}
    ~AlsaOutput() { close(); }
    AlsaOutput(const AlsaOutput&) = delete;
    AlsaOutput& operator=(const AlsaOutput&) = delete;

    // Opens the stream for 16-bit interleaved frames. False where no device
    // can be opened: the caller plays in silence.
    bool open(unsigned rate, unsigned channels);

    // Writes all `frames`, waiting while the buffer is full. False when woken
    // or when the device fails.
    bool write(const std::int16_t* samples, std::size_t frames);

    // Whether the sound has started: half a period has been written.
    bool running() const;

    // Waits until everything written has been played. False when woken.
    bool finish();

    // Stops at once, dropping what has not been played, and closes.
    void close();

private:
    // Waits for room in the buffer, or up to `timeout_ms` when `pcm_too` is
    // false; false when woken.
    bool wait(bool pcm_too, int timeout_ms);

    int wake_fd_;
    snd_pcm_t* pcm_ = nullptr;
    unsigned rate_ = 0;
    unsigned channels_ = 0;
    snd_pcm_uframes_t buffer_frames_ = 0;
};

}  // namespace mci
