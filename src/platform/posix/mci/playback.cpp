// The playback thread, and how it keeps the sound with the track's clock
// through whatever the sound system does meanwhile.
//
// Closing raises the track's interrupt, which every wait of the output
// watches; the output then drops its sound at once and the thread ends.
// When the output is lost (a server killed or restarted, a device gone) or
// none plays at all, the thread tries again twice a second, and once one
// plays, the sound goes on from the position the track's clock has
// reached: the player ends the turn by that clock, so the end of the sound
// still comes where the turn ends.
#include "playback.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include "output.h"

namespace mci {

Interrupt::~Interrupt() {
    if (fd_ != -1) ::close(fd_);
}

void Interrupt::raise() const {
    const std::uint64_t one = 1;
    // An eventfd refuses a write only when its counter is full, and then it
    // is readable already.
    (void)!::write(fd_, &one, sizeof one);
}

bool Interrupt::raised() const { return !sleep(0); }

bool Interrupt::sleep(int ms) const {
    pollfd wake{fd_, POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const int ready = poll(&wake, 1, ms);
        if (ready > 0) return false;
        if (ready == 0) return true;
        // A signal: the rest of the time.
        ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
        if (ms < 0) return true;
    }
}

namespace {

using Clock = std::chrono::steady_clock;

// Frames decoded per write: a quarter second at 44.1 kHz.
const std::size_t kChunkFrames = 11025;
// Between two tries at an output while none plays: often enough that the
// sound is back within a second of a server answering, rare enough to cost
// nothing while none is there.
const int kRetryMs = 500;
// A write that kept the thread waiting this long met a server that stopped
// and was let go: what it still holds has fallen behind the track's clock.
// A healthy server asks for more well within it.
const Clock::duration kLate = std::chrono::milliseconds(1000);
// A first sound that comes this late (a server stopped or slow when the
// track opened) starts where the clock is instead: the sound may be at most
// half a second away from it.
const Clock::duration kLateStart = std::chrono::milliseconds(400);
// How long a close waits for a thread that sits in a call nothing
// interrupts before leaving it to end by itself.
const std::chrono::milliseconds kCloseGrace{50};

}  // namespace

// What the thread uses: shared with the device, so that a thread left to
// end by itself still has it all.
struct Playback::Track {
    explicit Track(std::shared_ptr<Decoder> from) : decoder(std::move(from)) {}

    std::shared_ptr<Decoder> decoder;
    Interrupt interrupt{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    Clock::time_point started = Clock::now();
    std::mutex mutex;
    std::condition_variable ended_changed;
    bool ended = false;
    // The thread's own.
    std::unique_ptr<Output> output;
    unsigned rate = 0;  // the format the output was opened for
    unsigned channels = 0;

    void run();
    void play();
    bool open();
    bool resume(bool wait_first);
};

Playback::~Playback() {
    if (!thread_.joinable()) return;
    track_->interrupt.raise();
    std::unique_lock<std::mutex> lock(track_->mutex);
    while (!track_->ended_changed.wait_for(lock, kCloseGrace, [this] { return track_->ended; })) {
        if (track_->interrupt.inside_blocking_call()) {
            thread_.detach();
            return;
        }
    }
    lock.unlock();
    thread_.join();
}

bool Playback::start() {
    if (thread_.joinable()) return true;
    auto track = std::make_shared<Track>(decoder_);
    if (track->interrupt.fd() == -1) return false;
    try {
        thread_ = std::thread([track] { track->run(); });
    } catch (const std::system_error&) {
        return false;
    }
    track_ = std::move(track);
    return true;
}

void Playback::Track::run() {
    try {
        play();
    } catch (const std::bad_alloc&) {  // the sound ends; the device stays closable
    }
    output.reset();
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
    ended_changed.notify_all();
}

void Playback::Track::play() {
    std::vector<std::int16_t> samples;
    while (!interrupt.raised()) {
        if (samples.size() < kChunkFrames * decoder->channels()) samples.resize(kChunkFrames * decoder->channels());
        const std::size_t frames = decoder->read(samples.data(), kChunkFrames);
        if (frames == 0) {
            // The end. An output lost while its last sound drains leaves
            // the rest to play from where the clock is, if any is left.
            if (output == nullptr || output->drain() || interrupt.raised()) break;
            output.reset();
            if (!resume(true)) break;
            continue;
        }
        if (output == nullptr || decoder->rate() != rate || decoder->channels() != channels) {
            // The first frames, or a stream that changes its format midway:
            // the old stream plays out before the new one opens.
            const bool first = output == nullptr;
            if (!first && !output->drain() && interrupt.raised()) break;
            output.reset();
            if (!open()) {
                if (!resume(true)) break;
                continue;
            }
            if (first && Clock::now() - started > kLateStart) {
                // These frames belong to a moment the clock has left.
                resume(false);
                continue;
            }
        }
        const auto asked = Clock::now();
        const bool written = output->write(samples.data(), frames);
        if (interrupt.raised()) break;
        if (!written || Clock::now() - asked > kLate) {
            // Lost; or a server stopped and let go again, whose queue
            // still holds what the clock has left behind: a new stream
            // drops it.
            output.reset();
            if (!resume(!written)) break;
        }
    }
}

bool Playback::Track::open() {
    rate = decoder->rate();
    channels = decoder->channels();
    output = open_output(interrupt, rate, channels);
    return output != nullptr;
}

// Until an output plays, tries every kRetryMs (at once first unless told
// to wait), then moves the decoder to where the clock is. False when
// stopped, or once the clock has passed the end of the sound.
bool Playback::Track::resume(bool wait_first) {
    for (bool wait = wait_first; output == nullptr; wait = true) {
        if (wait && !interrupt.sleep(kRetryMs)) return false;
        const auto clock = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        if (clock.count() >= decoder->length_ms()) return false;
        open();
    }
    // Where it cannot move, the sound goes on from where it is.
    decoder->skip_to(static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count()));
    return true;
}

}  // namespace mci
