// Sound output through ALSA's PCM "default", for machines without a sound
// server. alsa-lib is loaded the first time it is needed (library.h): where
// a server answers, it never is.
//
// ALSA reaches a sound server through the pulse plugin, whose libpulse
// blocks, up to 30 s, where a server is stopped, and writes a cookie or a
// runtime folder into the home where it finds none. The native output is
// the way to a server; this one is for what ALSA reaches without one. So
// Debian's configuration hook, which connects to the server while the
// configuration is read to make the plugin the default, is told to stand
// down, as it does inside the server itself; and a default that is the
// plugin left to find its server by itself (no "server" of its own) is not
// opened: its "fallback", when it names one, is. Any ALSA call may still
// sit in a plugin that waits for something; each is marked as one that
// nothing interrupts (Interrupt::Blocking).
//
// The PCM moves through these states here: open (SETUP) -> parameters set
// (PREPARED) -> the first half period written starts it (RUNNING) -> writes,
// with XRUN recovered should the decoder ever fall behind -> at the end, the
// delay waited out -> drop and close.
//
// The stream is non-blocking and every wait is a poll() on its descriptors
// plus the wake-up descriptor, so a close interrupts any wait at once and
// all PCM calls stay on the one playback thread. snd_pcm_drain() is called
// only once little is left to play: through a sound server's plugin it
// blocks until the end, although the stream is non-blocking.
#include <alsa/asoundlib.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "library.h"
#include "output.h"

namespace mci {
namespace {

// A second of buffer, refilled a period (a quarter of it) at a time: a stall
// of the machine shorter than the buffer is never heard, and the thread
// wakes four times a second. Closing does not wait for the buffer: drop
// discards it.
const unsigned kBufferUs = 1000000;
// The drain is called once no more than this is left to play, and until
// then the delay is looked at in steps of at most kStepMs.
const long kDrainAtMs = 20;
const long kStepMs = 50;

// clang-format off
#define TAMBLO_ALSA(X) \
    X(snd_lib_error_set_handler) X(snd_pcm_open) X(snd_pcm_set_params) X(snd_pcm_get_params) \
    X(snd_pcm_sw_params_sizeof) X(snd_pcm_sw_params_current) \
    X(snd_pcm_sw_params_set_start_threshold) X(snd_pcm_sw_params) X(snd_pcm_poll_descriptors_count) \
    X(snd_pcm_poll_descriptors) X(snd_pcm_poll_descriptors_revents) X(snd_pcm_writei) \
    X(snd_pcm_recover) X(snd_pcm_state) X(snd_pcm_start) X(snd_pcm_delay) X(snd_pcm_drain) \
    X(snd_pcm_drop) X(snd_pcm_close) X(snd_config) X(snd_config_update) X(snd_config_search_definition) \
    X(snd_config_search) X(snd_config_get_string) X(snd_config_delete)
// clang-format on

// alsa-lib's functions, by their own names.
struct Alsa {
    TAMBLO_FUNCTIONS(TAMBLO_ALSA)
};

// ALSA prints its own errors on standard error unless told otherwise; the
// player prints nothing but its own dialogue.
void drop_alsa_error(const char*, int, const char*, int, const char*, ...) {}

// The library, or null where it cannot be loaded.
const Alsa* alsa() {
    static const Alsa* const functions = [] {
        const Alsa* loaded = load_library<Alsa>("libasound.so.2");
        if (loaded != nullptr) loaded->snd_lib_error_set_handler(drop_alsa_error);
        return loaded;
    }();
    return functions;
}

class AlsaOutput final : public Output {
public:
    explicit AlsaOutput(Interrupt& interrupt) : interrupt_(interrupt) {}
    ~AlsaOutput() override { close(); }
    AlsaOutput(const AlsaOutput&) = delete;
    AlsaOutput& operator=(const AlsaOutput&) = delete;

    Opened open(unsigned rate, unsigned channels) override {
        close();
        Interrupt::Blocking call(interrupt_);
        alsa_ = alsa();
        std::string name;
        // Non-blocking also at open: a device held by another program fails
        // at once instead of waiting for it.
        if (alsa_ == nullptr || !pcm_to_open(name) ||
            alsa_->snd_pcm_open(&pcm_, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
            pcm_ = nullptr;
            return Opened::nothing_here;
        }
        std::vector<char> sw(alsa_->snd_pcm_sw_params_sizeof());
        auto* sw_params = reinterpret_cast<snd_pcm_sw_params_t*>(sw.data());
        snd_pcm_uframes_t buffer = 0;
        snd_pcm_uframes_t period = 0;
        // The exact rate, converted by ALSA where the card has not got it.
        // The sound starts once half a period is written, not the whole
        // buffer: the first sound waits for the first chunk's decoding only.
        const bool configured = alsa_->snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED,
                                                          channels, rate, 1, kBufferUs) >= 0 &&
                                alsa_->snd_pcm_get_params(pcm_, &buffer, &period) >= 0 &&
                                alsa_->snd_pcm_sw_params_current(pcm_, sw_params) >= 0 &&
                                alsa_->snd_pcm_sw_params_set_start_threshold(pcm_, sw_params, period / 2) >= 0 &&
                                alsa_->snd_pcm_sw_params(pcm_, sw_params) >= 0;
        if (!configured) {
            close();
            return Opened::nothing_here;
        }
        rate_ = rate;
        channels_ = channels;
        buffer_ms_ = static_cast<long>(buffer * 1000 / rate);
        return Opened::yes;
    }

    bool write(const std::int16_t* samples, std::size_t frames) override {
        Interrupt::Blocking call(interrupt_);
        while (frames > 0) {
            const snd_pcm_sframes_t written = alsa_->snd_pcm_writei(pcm_, samples, frames);
            if (written >= 0) {
                samples += static_cast<std::size_t>(written) * channels_;
                frames -= static_cast<std::size_t>(written);
            } else if (written == -EAGAIN) {
                if (!wait(true, -1)) return false;
            } else if (alsa_->snd_pcm_recover(pcm_, static_cast<int>(written), 1) < 0) {
                return false;
            }
        }
        return true;
    }

    bool drain() override {
        Interrupt::Blocking call(interrupt_);
        // A stream shorter than half a period has not started yet.
        if (alsa_->snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) alsa_->snd_pcm_start(pcm_);
        // Never longer than the buffer could hold plus a margin, should the
        // device stop counting down.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(buffer_ms_ + 1000);
        snd_pcm_sframes_t delay = 0;
        while (alsa_->snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING && alsa_->snd_pcm_delay(pcm_, &delay) == 0 &&
               delay * 1000 / rate_ > kDrainAtMs && std::chrono::steady_clock::now() < deadline) {
            if (!wait(false, static_cast<int>(std::min(kStepMs, delay * 1000 / rate_ - kDrainAtMs + 1)))) return false;
        }
        // What is left plays out; a device that drains without blocking
        // answers EAGAIN until it is done.
        while (alsa_->snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING ||
               alsa_->snd_pcm_state(pcm_) == SND_PCM_STATE_DRAINING) {
            if (alsa_->snd_pcm_drain(pcm_) != -EAGAIN || std::chrono::steady_clock::now() >= deadline) break;
            if (!wait(false, 10)) return false;
        }
        return true;
    }

    void close() override {
        if (pcm_ == nullptr) return;
        Interrupt::Blocking call(interrupt_);
        alsa_->snd_pcm_drop(pcm_);
        alsa_->snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }

private:
    // The PCM to open: "default", unless it is the pulse plugin without a
    // server of its own. False when there is none to open.
    bool pcm_to_open(std::string& name) const {
        name = "default";
        snd_config_t* pcm = nullptr;
        if (alsa_->snd_config_update() < 0 ||
            alsa_->snd_config_search_definition(*alsa_->snd_config, "pcm", "default", &pcm) < 0) {
            return true;  // snd_pcm_open reports it
        }
        const auto text = [&](const char* key) -> const char* {
            snd_config_t* node = nullptr;
            const char* value = nullptr;
            return alsa_->snd_config_search(pcm, key, &node) >= 0 && alsa_->snd_config_get_string(node, &value) >= 0
                       ? value
                       : nullptr;
        };
        const char* type = text("type");
        snd_config_t* server = nullptr;
        const bool bare_pulse =
            type != nullptr && std::strcmp(type, "pulse") == 0 && alsa_->snd_config_search(pcm, "server", &server) < 0;
        const char* fallback = bare_pulse ? text("fallback") : nullptr;
        if (fallback != nullptr) name = fallback;
        alsa_->snd_config_delete(pcm);
        return !bare_pulse || fallback != nullptr;
    }

    // Waits for room in the buffer, or `timeout_ms` when `pcm_too` is false;
    // false when woken or when the device fails.
    bool wait(bool pcm_too, int timeout_ms) {
        const int count = pcm_too ? alsa_->snd_pcm_poll_descriptors_count(pcm_) : 0;
        if (count < 0) return false;
        std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
        fds[0] = pollfd{interrupt_.fd(), POLLIN, 0};
        if (count > 0 && alsa_->snd_pcm_poll_descriptors(pcm_, &fds[1], static_cast<unsigned>(count)) != count) {
            return false;
        }
        for (;;) {
            const int ready = poll(fds.data(), fds.size(), timeout_ms);
            if (ready == -1) {
                if (errno == EINTR) continue;
                return false;
            }
            if (fds[0].revents != 0) return false;
            if (!pcm_too) return true;
            unsigned short revents = 0;
            if (alsa_->snd_pcm_poll_descriptors_revents(pcm_, &fds[1], static_cast<unsigned>(count), &revents) < 0) {
                return false;
            }
            // POLLERR is an XRUN, which the next write reports and recovers.
            if ((revents & (POLLOUT | POLLERR)) != 0) return true;
        }
    }

    Interrupt& interrupt_;
    const Alsa* alsa_ = nullptr;
    snd_pcm_t* pcm_ = nullptr;
    unsigned rate_ = 0;
    unsigned channels_ = 0;
    long buffer_ms_ = 0;
};

}  // namespace

void prepare_alsa_output() {
    // Before any thread of the player's runs: the environment is not to be
    // changed while another thread may read it.
    setenv("PULSE_INTERNAL", "1", 0);
}

std::unique_ptr<Output> make_alsa_output(Interrupt& interrupt) { return std::make_unique<AlsaOutput>(interrupt); }

}  // namespace mci
