// Which output plays a stream, and in what order they are tried.
//
// The sound server comes first, natively. ALSA follows only where no server
// is there at all (a machine without one, a text console): where a server
// is there and does not answer (stopped, busy, restarting), ALSA's default
// would lead back to it through the pulse plugin, or take the sound card
// away from it. Nothing playing is not a failure: the playback thread tries
// again a little later, and the track's turn runs on the player's clock
// meanwhile.
#include <mutex>

#include "output.h"

namespace mci {

void prepare_outputs() {
    static std::once_flag first;
    std::call_once(first, prepare_alsa_output);
}

std::unique_ptr<Output> open_output(Interrupt& interrupt, unsigned rate, unsigned channels) {
    std::unique_ptr<Output> (*const outputs[])(Interrupt&) = {make_pulse_output, make_alsa_output};
    for (auto make : outputs) {
        // Raised meanwhile: the device is closing, and no output is wanted.
        if (interrupt.raised()) break;
        std::unique_ptr<Output> output = make(interrupt);
        const Opened opened = output->open(rate, channels);
        if (opened == Opened::yes) return output;
        if (opened == Opened::no_answer) break;
    }
    return nullptr;
}

}  // namespace mci
