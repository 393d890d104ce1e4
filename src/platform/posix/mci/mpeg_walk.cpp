// A walk over all the frames (their headers; nothing is decoded): the only
// way to the true length of a VBR file without a Xing header (its first
// frame would suggest less than half), of a truncated one (its header would
// promise the whole), of one whose tag holds nonsense, and of a file joined
// from parts at different sample rates, where each frame lasts as its own
// rate says (the library's own count takes them all at the first rate).
#include "mpeg_walk.h"

#include <algorithm>
#include <optional>
#include <system_error>

namespace mci {

FrameWalk::~FrameWalk() {
    std::thread walker;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        walker.swap(thread_);
    }
    if (walker.joinable()) {
        stop_.store(true);
        walker.join();
    }
}

Walk FrameWalk::result() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_) {
        started_ = true;
        try {
            thread_ = std::thread(&FrameWalk::walk, this);
        } catch (const std::system_error&) {  // then this thread walks
            lock.unlock();
            walk();
            lock.lock();
        }
    }
    done_changed_.wait(lock, [this] { return done_; });
    // Done, it only has to return: joined by whoever learns the result
    // first, not left to the decoder's end, which a playback thread held
    // in a library call may put off until the process ends.
    if (thread_.joinable()) thread_.join();
    return found_;
}

// The first frame was read already, to learn the format, and counts too. A
// frame that cannot be read ends the decoding as well, so it ends the walk.
// Samples are counted per run of one rate and turned into time once per
// run, in whole numbers: a file of one rate gets its length to the
// millisecond, rounded down, with nothing lost to fractions.
void FrameWalk::walk() {
    std::uint64_t ms = 0;
    std::uint64_t total = 0;
    std::uint64_t run_samples = 0;
    long run_rate = 0;
    bool first_run = true;
    std::optional<bool> first_mono;
    bool one_format = true;
    // A run's time, less the delay cut at the start of the first.
    const auto add_run = [&] {
        if (first_run) run_samples -= std::min(run_samples, tag_.begin);
        first_run = false;
        ms += run_samples * 1000 / static_cast<std::uint64_t>(run_rate);
    };
    mpg123_handle* handle = handle_.get();
    int result = MPG123_OK;
    for (; result == MPG123_OK || result == MPG123_NEW_FORMAT; result = mpg123_framebyframe_next(handle)) {
        if (stop_.load()) break;
        mpg123_frameinfo frame;
        const int samples = mpg123_spf(handle);
        if (mpg123_info(handle, &frame) != MPG123_OK || frame.rate <= 0 || samples <= 0) break;
        const bool mono = frame.mode == MPG123_M_MONO;
        if (!first_mono) first_mono = mono;
        if (mono != *first_mono) one_format = false;
        if (frame.rate != run_rate) {
            if (run_rate != 0) {
                add_run();
                one_format = false;
            }
            run_rate = frame.rate;
            run_samples = 0;
        }
        run_samples += static_cast<std::uint64_t>(samples);
        total += static_cast<std::uint64_t>(samples);
    }
    Walk found;
    found.trim_end = tag_.end_cut > 0 && result == MPG123_DONE && one_format && total == tag_.samples &&
                     total >= tag_.begin + tag_.end_cut;
    if (found.trim_end) {
        found.end = total - tag_.end_cut;
        ms = (found.end - tag_.begin) * 1000 / static_cast<std::uint64_t>(run_rate);
    } else if (run_rate != 0) {
        add_run();
    }
    found.length_ms = ms < 0xFFFFFFFFu ? static_cast<std::uint32_t>(ms) : 0xFFFFFFFFu;
    // Its work done, the walk's handle and buffer go at once.
    handle_.reset();
    file_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    found_ = found;
    done_ = true;
    done_changed_.notify_all();
}

}  // namespace mci
