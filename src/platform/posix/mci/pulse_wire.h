// The sound server's native protocol as it goes over the socket: packets of
// commands made of tagged values, and packets of sound. PulseAudio and
// pipewire-pulse both speak it; this is the part of it a player needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mci::pulse {

// The protocol's version this client speaks; the server speaks the lower of
// its own and this. Creating a playback stream reads the same from 21 on.
const std::uint32_t kVersion = 35;
const std::uint32_t kNoIndex = 0xFFFFFFFFu;
const std::uint32_t kCommandChannel = 0xFFFFFFFFu;
const std::size_t kCookieBytes = 256;
// The most sound one packet carries: the server's own memory blocks' size.
const std::size_t kMaxSoundBytes = 65536;

enum Command : std::uint32_t {
    kError = 0,
    kReply = 2,
    kCreatePlaybackStream = 3,
    kAuth = 8,
    kSetClientName = 9,
    kDrainPlaybackStream = 12,
    kCorkPlaybackStream = 41,
    kFlushPlaybackStream = 42,
    kRequest = 61,
    kPlaybackStreamKilled = 64,
};

// The descriptor before every packet: its length, the channel (a stream's,
// or kCommandChannel), a seek offset and flags, each 32 bits, big-endian.
const std::size_t kDescriptorBytes = 20;
void put_descriptor(std::uint8_t* out, std::uint32_t length, std::uint32_t channel);

// A command being written: its code and tag first, then its values.
class Message {
public:
    Message(Command command, std::uint32_t tag);
    Message& u8(std::uint8_t value);
    Message& u32(std::uint32_t value);
    Message& boolean(bool value);
    Message& string(const char* value);  // null: no string
    Message& bytes(const void* data, std::size_t size);
    Message& sample_spec(std::uint8_t format, std::uint8_t channels, std::uint32_t rate);
    Message& channel_map(std::uint8_t channels);  // the usual positions for that many
    Message& full_volume(std::uint8_t channels);
    // Properties, key and text value pairs.
    Message& properties(std::initializer_list<std::pair<const char*, const char*>> pairs);
    // The packet: descriptor and values.
    const std::vector<std::uint8_t>& packet();

private:
    void tag(char tag);
    void raw32(std::uint32_t value);
    std::vector<std::uint8_t> data_;
};

// A command received: reads its unsigned values in order, skipping nothing;
// false once the next value is not one.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : at_(data), end_(data + size) {}
    bool u32(std::uint32_t& value);

private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
};

// The sample format of 16-bit samples in this machine's byte order.
std::uint8_t s16_native();

}  // namespace mci::pulse
