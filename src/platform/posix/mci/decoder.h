// Sources of sound for the MCI devices: a file decoded to 16-bit interleaved
// samples at its own rate and channel count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace mci {

// Why a file gave no decoder.
enum class Refusal {
    none,
    not_found,   // no such file
    not_sound,   // not a file of the kind asked for, or nothing in it plays
    no_memory,   // the system refused the memory or a descriptor
    no_library,  // the library that decodes this kind cannot be loaded
};

class Decoder {
public:
    virtual ~Decoder() = default;
    // The format of what read() gives now; may change between reads.
    virtual unsigned rate() const = 0;
    virtual unsigned channels() const = 0;
    // The whole length in milliseconds, exactly: the samples read() gives.
    // May have to count first (MPEG: a walk over every frame's header);
    // safe to call while another thread reads.
    virtual std::uint32_t length_ms() = 0;
    // Decodes up to `frames` frames into `out`, all of one format, which
    // rate() and channels() tell after the read; returns how many, 0 at the
    // end of the sound or on a fault that ends it. `out` has room for
    // `frames` frames of the format told before the read: after a change to
    // more channels fewer frames fit, at least one when `frames` is 2 or
    // more (MPEG audio has at most two channels; wave files never change).
    virtual std::size_t read(std::int16_t* out, std::size_t frames) = 0;
    // Goes on from `ms` into the sound at the next read, as near as the
    // file allows; false where it cannot, and the sound goes on as it was.
    // Called by the thread that reads.
    virtual bool skip_to(std::uint32_t ms) = 0;
};

// Opens `path` as a non-empty regular file without ever blocking on it
// (a FIFO or a device is refused before anything reads it). Returns the
// descriptor, or -1 with `refusal` saying why.
int open_sound_file(const char* path, Refusal& refusal);

// Each takes over `fd` (closing it also on refusal).
Refusal open_mpeg(int fd, std::unique_ptr<Decoder>& decoder);
Refusal open_wave(int fd, std::unique_ptr<Decoder>& decoder);

// A kind of MCI device: the device type that names it, and what decodes
// its files.
struct DeviceKind {
    const char* type;
    Refusal (*open)(int fd, std::unique_ptr<Decoder>& decoder);
};
extern const DeviceKind kDeviceKinds[2];
// The kind that `type` names, letter case aside as MCI has it; null for none.
const DeviceKind* find_device_kind(const char* type);

}  // namespace mci
