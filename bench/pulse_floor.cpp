// The least a player that talks to the sound server natively can do: connect
// with libpulse's asynchronous API on a main loop of its own, as Tamblo does,
// open a 16-bit stereo stream at 44.1 kHz with the player's buffer (two
// seconds queued, more asked for half a second at a time, the sound started
// once a tenth of a second is queued), and write noise at -6 dBFS as fast as
// the server asks for it, nothing decoded, nothing printed; then drain. Its
// first sound, peak memory and CPU time are what this sound path alone costs.
//   pulse_floor SECONDS
#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const unsigned kRate = 44100;
const unsigned kChannels = 2;
const std::uint64_t kQueueUs = 2000000;
const std::uint64_t kRequestUs = 500000;
const std::uint64_t kStartUs = 100000;

// A tenth of a second of white noise, written over and over.
std::int16_t noise[kRate / 10 * kChannels];

struct Floor {
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::size_t left = 0;      // bytes still to write
    std::size_t position = 0;  // where in `noise` the next write starts
    bool draining = false;
    bool finished = false;
    int status = 1;
};

// The first outcome stands: the disconnects at the end report states too.
void finish(Floor& floor, int status) {
    if (floor.finished) return;
    floor.finished = true;
    floor.status = status;
    pa_mainloop_quit(floor.loop, status);
}

void on_drained(pa_stream*, int success, void* data) {
    auto& floor = *static_cast<Floor*>(data);
    finish(floor, success ? 0 : 1);
}

void on_write(pa_stream* stream, std::size_t bytes, void* data) {
    auto& floor = *static_cast<Floor*>(data);
    while (bytes > 0 && floor.left > 0) {
        std::size_t n = sizeof noise - floor.position;
        if (n > bytes) n = bytes;
        if (n > floor.left) n = floor.left;
        if (pa_stream_write(stream, reinterpret_cast<const char*>(noise) + floor.position, n, nullptr, 0,
                            PA_SEEK_RELATIVE) < 0) {
            finish(floor, 1);
            return;
        }
        floor.position = (floor.position + n) % sizeof noise;
        floor.left -= n;
        bytes -= n;
    }
    if (floor.left == 0 && !floor.draining) {
        floor.draining = true;
        pa_operation* drain = pa_stream_drain(stream, on_drained, data);
        if (drain == nullptr) {
            finish(floor, 1);
            return;
        }
        pa_operation_unref(drain);
    }
}

void on_stream_state(pa_stream* stream, void* data) {
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) finish(*static_cast<Floor*>(data), 1);
}

void on_context_state(pa_context* context, void* data) {
    auto& floor = *static_cast<Floor*>(data);
    const pa_context_state_t state = pa_context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(state)) {
        finish(floor, 1);
        return;
    }
    if (state != PA_CONTEXT_READY || floor.stream != nullptr) return;
    const pa_sample_spec spec{PA_SAMPLE_S16NE, kRate, kChannels};
    floor.stream = pa_stream_new(context, "pulse_floor", &spec, nullptr);
    if (floor.stream == nullptr) {
        finish(floor, 1);
        return;
    }
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kQueueUs, &spec));
    attributes.prebuf = static_cast<std::uint32_t>(pa_usec_to_bytes(kStartUs, &spec));
    attributes.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(kRequestUs, &spec));
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    pa_stream_set_state_callback(floor.stream, on_stream_state, data);
    pa_stream_set_write_callback(floor.stream, on_write, data);
    if (pa_stream_connect_playback(floor.stream, nullptr, &attributes, PA_STREAM_NOFLAGS, nullptr, nullptr) < 0) {
        finish(floor, 1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const long seconds = argc == 2 ? std::strtol(argv[1], &end, 10) : 0;
    if (seconds <= 0 || seconds > 3600 || *end != '\0') {
        std::fprintf(stderr, "usage: pulse_floor SECONDS\n");
        return 2;
    }
    std::uint32_t state = 2463534242u;
    for (auto& sample : noise) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        sample = static_cast<std::int16_t>(static_cast<std::int32_t>(state % 32768u) - 16384);
    }
    Floor floor;
    floor.left = static_cast<std::size_t>(seconds) * kRate * kChannels * sizeof noise[0];
    floor.loop = pa_mainloop_new();
    if (floor.loop == nullptr) return 1;
    floor.context = pa_context_new(pa_mainloop_get_api(floor.loop), "pulse_floor");
    if (floor.context == nullptr) return 1;
    pa_context_set_state_callback(floor.context, on_context_state, &floor);
    if (pa_context_connect(floor.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        std::fprintf(stderr, "pulse_floor: no sound server\n");
        return 1;
    }
    pa_mainloop_run(floor.loop, nullptr);
    if (floor.status != 0) std::fprintf(stderr, "pulse_floor: the stream failed\n");
    if (floor.stream != nullptr) {
        pa_stream_disconnect(floor.stream);
        pa_stream_unref(floor.stream);
    }
    pa_context_disconnect(floor.context);
    pa_context_unref(floor.context);
    pa_mainloop_free(floor.loop);
    return floor.status;
}
