// The least a player that talks to the sound server natively can do: connect
// with libpulse's asynchronous API on a main loop of its own, as Tamblo does,
// open a 16-bit stereo stream at 44.1 kHz with the player's buffer (two
// seconds queued, more asked for half a second at a time, the sound started
// once a tenth of a second is queued), and write noise at -6 dBFS a quarter
// second at a time, each piece sent at once, as the player writes what it
// decodes; nothing decoded, nothing printed; then drain. Its first sound,
// peak memory and CPU time are what this sound path alone costs. (Pieces
// matter for memory: each one written and not yet sent holds a block of
// libpulse's pool, and a block once used stays resident.)
//   pulse_floor SECONDS
#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "noise.h"

namespace {

const unsigned kRate = 44100;
const unsigned kChannels = 2;
const std::uint64_t kQueueUs = 2000000;
const std::uint64_t kRequestUs = 500000;
const std::uint64_t kStartUs = 100000;

// A quarter second of white noise, written over and over.
std::int16_t noise[kRate / 4 * kChannels];

pa_mainloop* loop = nullptr;
pa_context* context = nullptr;
pa_stream* stream = nullptr;

bool failed() {
    return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) ||
           (stream != nullptr && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)));
}

// Runs the main loop until `done()` holds (true) or the server fails (false).
template <typename Done>
bool run_until(Done done) {
    while (!done()) {
        if (failed() || pa_mainloop_iterate(loop, 1, nullptr) < 0) return false;
    }
    return true;
}

// Writes one piece, waiting for room, and sends it.
bool write_piece(std::size_t bytes) {
    const auto* data = reinterpret_cast<const char*>(noise);
    while (bytes > 0) {
        std::size_t room = 0;
        if (!run_until([&] {
                room = pa_stream_writable_size(stream);
                return room != 0 && room != static_cast<std::size_t>(-1);
            })) {
            return false;
        }
        const std::size_t n = bytes < room ? bytes : room;
        if (pa_stream_write(stream, data, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) return false;
        data += n;
        bytes -= n;
    }
    return pa_mainloop_iterate(loop, 0, nullptr) >= 0 && !failed();
}

bool play(std::size_t bytes) {
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        !run_until([] { return pa_context_get_state(context) == PA_CONTEXT_READY; })) {
        return false;
    }
    const pa_sample_spec format{PA_SAMPLE_S16NE, kRate, kChannels};
    stream = pa_stream_new(context, "pulse_floor", &format, nullptr);
    if (stream == nullptr) return false;
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kQueueUs, &format));
    attributes.prebuf = static_cast<std::uint32_t>(pa_usec_to_bytes(kStartUs, &format));
    attributes.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kRequestUs, &format));
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    if (pa_stream_connect_playback(stream, nullptr, &attributes, PA_STREAM_NOFLAGS, nullptr, nullptr) < 0 ||
        !run_until([] { return pa_stream_get_state(stream) == PA_STREAM_READY; })) {
        return false;
    }
    while (bytes > 0) {
        const std::size_t piece = bytes < sizeof noise ? bytes : sizeof noise;
        if (!write_piece(piece)) return false;
        bytes -= piece;
    }
    int drained = -1;  // until the server answers; then whether it drained
    pa_operation* drain = pa_stream_drain(
        stream, [](pa_stream*, int success, void* done) { *static_cast<int*>(done) = success != 0; }, &drained);
    if (drain == nullptr) return false;
    const bool answered = run_until([&] { return drained != -1; });
    pa_operation_unref(drain);
    return answered && drained == 1;
}

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const long seconds = argc == 2 ? std::strtol(argv[1], &end, 10) : 0;
    if (seconds <= 0 || seconds > 3600 || *end != '\0') {
        std::fprintf(stderr, "usage: pulse_floor SECONDS\n");
        return 2;
    }
    fill_noise(noise);
    loop = pa_mainloop_new();
    if (loop == nullptr) return 1;
    context = pa_context_new(pa_mainloop_get_api(loop), "pulse_floor");
    if (context == nullptr) return 1;
    const bool played = play(static_cast<std::size_t>(seconds) * kRate * kChannels * sizeof noise[0]);
    if (!played) std::fprintf(stderr, "pulse_floor: no sound server, or the stream failed\n");
    if (stream != nullptr) {
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return played ? 0 : 1;
}
