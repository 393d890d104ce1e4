// The noise both floors write: white, at -6 dBFS, the same samples each run
// (xorshift32 from a fixed seed), so that neither floor pays for a better
// generator than the other.
#pragma once

#include <cstddef>
#include <cstdint>

template <std::size_t N>
void fill_noise(std::int16_t (&samples)[N]) {
    std::uint32_t state = 2463534242u;
    for (auto& sample : samples) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        sample = static_cast<std::int16_t>(static_cast<std::int32_t>(state % 32768u) - 16384);
    }
}
