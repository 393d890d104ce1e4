// Where decoded sound goes: one small interface, one file per output (the
// sound server, ALSA, silence), and the order in which they are tried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace mci {

// One stream of 16-bit interleaved frames, used by one thread from open to
// close. Every wait also watches the wake-up descriptor the output was made
// with: once that is readable, the wait gives up at once, so that whoever
// closes the device never waits for the sound.
class Output {
public:
    virtual ~Output() = default;
    // Opens the stream; false where this output cannot play it here.
    virtual bool open(unsigned rate, unsigned channels) = 0;
    // Writes all `frames`, waiting while there is no room. False when woken,
    // when the output fails, or when there is nothing to play to.
    virtual bool write(const std::int16_t* samples, std::size_t frames) = 0;
    // Whether the sound has started.
    virtual bool started() const = 0;
    // Waits until everything written has been heard. False when woken.
    virtual bool drain() = 0;
    // Stops at once, dropping what has not been heard, and closes.
    virtual void close() = 0;
};

// Starts, beside the caller, what the sound server's output needs before its
// first stream; called at the first open of a device.
void prepare_pulse_output();

std::unique_ptr<Output> make_pulse_output(int wake_fd);
std::unique_ptr<Output> make_alsa_output(int wake_fd);

// The first output that opens the stream: the sound server, natively; ALSA's
// PCM "default" where no server answers; silence where neither plays.
std::unique_ptr<Output> open_output(int wake_fd, unsigned rate, unsigned channels);

}  // namespace mci
