// The values of the native protocol, each a type tag and big-endian bytes.
#include "pulse_wire.h"

#include <cstring>

namespace mci::pulse {
namespace {

// Speaker positions, in the order a wave file's channels come when it names
// none (WAVE_FORMAT_EXTENSIBLE's), in the server's numbering.
const std::uint8_t kPositions[] = {1, 2, 3, 7, 5, 6, 8, 9, 4, 10, 11, 44, 45, 47, 46, 48, 50, 49};
const std::uint8_t kMono = 0;
const std::uint8_t kFirstAux = 12;
const std::uint32_t kFullVolume = 0x10000;

void put32(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

}  // namespace

void put_descriptor(std::uint8_t* out, std::uint32_t length, std::uint32_t channel) {
    // Sound is written where the last ended: no offset, relative seek (0).
    std::memset(out, 0, kDescriptorBytes);
    put32(out, length);
    put32(out + 4, channel);
}

Message::Message(Command command, std::uint32_t tag) : data_(kDescriptorBytes) {
    u32(command);
    u32(tag);
}

void Message::tag(char tag) { data_.push_back(static_cast<std::uint8_t>(tag)); }

void Message::raw32(std::uint32_t value) {
    data_.resize(data_.size() + 4);
    put32(&data_[data_.size() - 4], value);
}

Message& Message::u8(std::uint8_t value) {
    tag('B');
    data_.push_back(value);
    return *this;
}

Message& Message::u32(std::uint32_t value) {
    tag('L');
    raw32(value);
    return *this;
}

Message& Message::boolean(bool value) {
    tag(value ? '1' : '0');
    return *this;
}

Message& Message::string(const char* value) {
    if (value == nullptr) {
        tag('N');
        return *this;
    }
    tag('t');
    data_.insert(data_.end(), value, value + std::strlen(value) + 1);
    return *this;
}

Message& Message::bytes(const void* data, std::size_t size) {
    tag('x');
    raw32(static_cast<std::uint32_t>(size));
    const auto* from = static_cast<const std::uint8_t*>(data);
    data_.insert(data_.end(), from, from + size);
    return *this;
}

Message& Message::sample_spec(std::uint8_t format, std::uint8_t channels, std::uint32_t rate) {
    tag('a');
    data_.push_back(format);
    data_.push_back(channels);
    raw32(rate);
    return *this;
}

Message& Message::channel_map(std::uint8_t channels) {
    tag('m');
    data_.push_back(channels);
    for (std::uint8_t i = 0; i < channels; ++i) {
        if (channels == 1) {
            data_.push_back(kMono);
        } else if (i < sizeof kPositions) {
            data_.push_back(kPositions[i]);
        } else {
            data_.push_back(static_cast<std::uint8_t>(kFirstAux + i - sizeof kPositions));
        }
    }
    return *this;
}

Message& Message::full_volume(std::uint8_t channels) {
    tag('v');
    data_.push_back(channels);
    for (std::uint8_t i = 0; i < channels; ++i)
        raw32(kFullVolume);
    return *this;
}

Message& Message::properties(std::initializer_list<std::pair<const char*, const char*>> pairs) {
    // Each value with its terminating zero, as the server stores text.
    tag('P');
    for (const auto& [key, value] : pairs) {
        string(key);
        u32(static_cast<std::uint32_t>(std::strlen(value) + 1));
        bytes(value, std::strlen(value) + 1);
    }
    return string(nullptr);
}

const std::vector<std::uint8_t>& Message::packet() {
    put_descriptor(data_.data(), static_cast<std::uint32_t>(data_.size() - kDescriptorBytes), kCommandChannel);
    return data_;
}

bool Reader::u32(std::uint32_t& value) {
    if (end_ - at_ < 5 || *at_ != 'L') return false;
    value = static_cast<std::uint32_t>(at_[1]) << 24 | static_cast<std::uint32_t>(at_[2]) << 16 |
            static_cast<std::uint32_t>(at_[3]) << 8 | at_[4];
    at_ += 5;
    return true;
}

std::uint8_t s16_native() {
    // The server's numbering: S16LE is 3, S16BE 4.
    const std::uint16_t probe = 1;
    std::uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 1 ? 3 : 4;
}

}  // namespace mci::pulse
