// Sources of sound for the MCI devices: a file decoded to 16-bit interleaved
// samples at its own rate and channel count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "winapi.h"

namespace mci {

class Decoder {
public:
    virtual ~Decoder() = default;
    // The format of what read() gives now; may change between reads.
    virtual unsigned rate() const = 0;
    virtual unsigned channels() const = 0;
    // The whole length in milliseconds, exactly: the samples read() gives.
    // May have to count first (MPEG: a walk over the frames, 8 ms for ten
    // minutes of audio); safe to call while another thread reads.
    virtual DWORD length_ms() = 0;
    // Decodes up to `frames` frames into `out`, all of one format, which
    // rate() and channels() tell after the read; returns how many, 0 at the
    // end of the sound or on a fault that ends it. `out` has room for
    // `frames` frames of the format told before the read: after a change to
    // more channels fewer frames fit, at least one when `frames` is 2 or
    // more (MPEG audio has at most two channels; wave files never change).
    virtual std::size_t read(std::int16_t* out, std::size_t frames) = 0;
};

// Opens `path` as a non-empty regular file without ever blocking on it
// (a FIFO or a device is refused before anything reads it). Returns the
// descriptor, or -1 with `error` set to the MCI error.
int open_sound_file(const char* path, MCIERROR& error);

// Each takes over `fd` (closing it also on failure). 0 or an MCI error.
MCIERROR open_mpeg(int fd, std::unique_ptr<Decoder>& decoder);
MCIERROR open_wave(int fd, std::unique_ptr<Decoder>& decoder);

}  // namespace mci
