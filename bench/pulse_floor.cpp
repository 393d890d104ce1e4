// The least a player that talks to the sound server as Tamblo does can do:
// open Tamblo's own output to the server (src/platform/posix/mci/
// pulse_output.cpp), a 16-bit stereo stream at 44.1 kHz with the player's
// buffer, and write noise at -6 dBFS a quarter second at a time, as the
// player writes what it decodes; nothing decoded, nothing printed; then
// drain. Its first sound, peak memory and CPU time are what this sound path
// alone costs.
//   pulse_floor SECONDS
#include <sys/eventfd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "noise.h"
#include "output.h"

namespace {

const unsigned kRate = 44100;
const unsigned kChannels = 2;

// A quarter second of white noise, written over and over.
std::int16_t noise[kRate / 4 * kChannels];

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const long seconds = argc == 2 ? std::strtol(argv[1], &end, 10) : 0;
    if (seconds <= 0 || seconds > 3600 || *end != '\0') {
        std::fprintf(stderr, "usage: pulse_floor SECONDS\n");
        return 2;
    }
    fill_noise(noise);
    mci::Interrupt interrupt(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    const auto output = mci::make_pulse_output(interrupt);
    bool played = output->open(kRate, kChannels) == mci::Opened::yes;
    for (long piece = 0; played && piece < seconds * 4; ++piece)
        played = output->write(noise, kRate / 4);
    played = played && output->drain();
    if (!played) std::fprintf(stderr, "pulse_floor: no sound server, or the stream failed\n");
    return played ? 0 : 1;
}
