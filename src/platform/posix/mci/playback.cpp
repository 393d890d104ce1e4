// The playback thread. Closing wakes it through an eventfd that every wait
// of the output also watches; the output then drops its sound at once and
// the thread ends.
#include "playback.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <system_error>
#include <vector>

#include "output.h"

namespace mci {
namespace {

// Frames decoded per write: a quarter second at 44.1 kHz. ALSA starts the
// sound at half its period of this length, and the sound server once the
// first write is queued, so the first sound waits for one chunk's decoding.
const std::size_t kChunkFrames = 11025;

}  // namespace

Playback::~Playback() {
    if (thread_.joinable()) {
        stop_.store(true);
        const std::uint64_t one = 1;
        // An eventfd only refuses a write when its counter is full, and then
        // it is readable already.
        (void)!::write(wake_fd_, &one, sizeof one);
        thread_.join();
    }
    if (wake_fd_ != -1) ::close(wake_fd_);
}

bool Playback::start() {
    if (thread_.joinable()) return true;
    if (wake_fd_ == -1) wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ == -1) return false;
    try {
        thread_ = std::thread(&Playback::run, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void Playback::wait_until_sounding(std::chrono::milliseconds limit) {
    if (!thread_.joinable()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    sounding_changed_.wait_for(lock, limit, [this] { return sounding_or_done_; });
}

void Playback::run() {
    // However the thread ends, nobody waits for the sound to start any more.
    struct Done {
        Playback* playback;
        ~Done() { playback->sounding(); }
    } done{this};
    std::unique_ptr<Output> output;
    std::vector<std::int16_t> samples;
    unsigned rate = 0;
    unsigned channels = 0;
    while (!stop_.load()) {
        if (samples.size() < kChunkFrames * decoder_.channels()) samples.resize(kChunkFrames * decoder_.channels());
        const std::size_t frames = decoder_.read(samples.data(), kChunkFrames);
        if (frames == 0) {
            if (output != nullptr) output->drain();
            return;
        }
        if (decoder_.rate() != rate || decoder_.channels() != channels) {
            // The first frames, or a stream that changes its format midway:
            // the old stream plays out before the new one opens.
            if (output != nullptr && !output->drain()) return;
            output.reset();
            rate = decoder_.rate();
            channels = decoder_.channels();
            output = open_output(wake_fd_, rate, channels);
        }
        if (!output->write(samples.data(), frames)) return;
        if (output->started()) sounding();
    }
}

void Playback::sounding() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sounding_or_done_) return;
    sounding_or_done_ = true;
    sounding_changed_.notify_all();
}

}  // namespace mci
