// Sound output through the desktop's sound server, natively through libpulse:
// PulseAudio, and PipeWire through pipewire-pulse.
//
// The stream lives on the playback thread's own main loop, which also
// watches the interrupt: libpulse starts no thread of its own, and a close
// ends any wait at once, also while a stopped server answers nothing. A
// server is never started (no autospawn), and nothing is written to the
// user's files: libpulse would make its runtime folder before looking for a
// server in it, and a cookie where the user has none (see find_server and
// user_has_cookie).
#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "library.h"
#include "output.h"

namespace mci {
namespace {

// A long queue, refilled in large steps: the thread wakes about twice a
// second, and a stall of the machine shorter than the queue is never heard.
// A close costs no more for it, since the server drops the queue. The
// sound starts early, so that the first sound waits for the first chunk's
// decoding only.
const std::uint64_t kQueueUs = 2000000;
const std::uint64_t kRequestUs = 500000;
const std::uint64_t kStartUs = 100000;
// A server that has not answered by then is taken for one that does not:
// nothing else is tried, and the playback thread tries it again.
const std::chrono::milliseconds kAnswerTime{2000};

// clang-format off
#define TAMBLO_PULSE(X) \
    X(pa_context_connect) X(pa_context_disconnect) X(pa_context_errno) X(pa_context_get_state) \
    X(pa_context_load_cookie_from_file) X(pa_context_new_with_proplist) X(pa_context_unref) \
    X(pa_frame_size) X(pa_mainloop_dispatch) X(pa_mainloop_free) X(pa_mainloop_get_api) \
    X(pa_mainloop_iterate) X(pa_mainloop_new) X(pa_mainloop_poll) X(pa_mainloop_prepare) \
    X(pa_operation_cancel) X(pa_operation_unref) X(pa_proplist_free) X(pa_proplist_new) \
    X(pa_proplist_sets) X(pa_stream_connect_playback) X(pa_stream_cork) X(pa_stream_disconnect) \
    X(pa_stream_drain) X(pa_stream_flush) X(pa_stream_get_state) X(pa_stream_new) X(pa_stream_unref) \
    X(pa_stream_writable_size) X(pa_stream_write) X(pa_usec_to_bytes)
// clang-format on

// libpulse's functions, by their own names.
struct Pulse {
    TAMBLO_FUNCTIONS(TAMBLO_PULSE)
};

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The user's runtime folder of the sound server, or "".
std::string runtime_folder() {
    std::string runtime = environment("PULSE_RUNTIME_PATH");
    if (!runtime.empty() || environment("XDG_RUNTIME_DIR").empty()) return runtime;
    return environment("XDG_RUNTIME_DIR") + "/pulse";
}

// Where the server is to be found. Empty `server`: libpulse's own search
// (PULSE_SERVER, client.conf, the X display, the user's socket, the
// system's), which creates nothing once the user's runtime folder exists;
// where it does not, libpulse would make it (or, without XDG_RUNTIME_DIR, a
// folder and a link in the home) only to find no server there, so only the
// system-wide server is looked for. False: no server can answer.
bool find_server(std::string& server) {
    server.clear();
    if (!environment("PULSE_SERVER").empty()) return true;
    const std::string runtime = runtime_folder();
    struct stat st;
    if (!runtime.empty() && stat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    server = "unix:/var/run/pulse/native";
    return exists("/var/run/pulse/native");
}

// Whether a server lives here although nobody listens now: a socket left
// where it is looked for. It was killed or is being restarted (after an
// update, a crash), and comes back on the same socket; ALSA's default
// would lead to the same place, or take the sound card away from it.
bool server_lives_here() {
    // PULSE_SERVER may list several, apart by blanks.
    std::string places = runtime_folder() + "/native /var/run/pulse/native " + environment("PULSE_SERVER");
    struct stat st;
    char* rest = nullptr;
    for (char* place = strtok_r(&places[0], " \t", &rest); place != nullptr; place = strtok_r(nullptr, " \t", &rest)) {
        if (std::strncmp(place, "unix:", 5) == 0) place += 5;
        if (place[0] == '/' && stat(place, &st) == 0 && S_ISSOCK(st.st_mode)) return true;
    }
    return false;
}

// Without a cookie of the user's, libpulse makes one in the home folder. A
// desktop's server trusts its own user's processes by their credentials and
// needs none, and a server that checks cookies would refuse a new one just
// the same; so where the user has none, libpulse is given one that it reads
// and never writes (zeros).
bool user_has_cookie() {
    if (!environment("PULSE_COOKIE").empty()) return true;
    const std::string home = environment("HOME");
    std::string config = environment("XDG_CONFIG_HOME");
    if (config.empty()) config = home + "/.config";
    return exists(config + "/pulse/cookie") || exists(home + "/.pulse-cookie");
}

const Pulse* pulse() { return load_library<Pulse>("libpulse.so.0"); }

class PulseOutput final : public Output {
public:
    explicit PulseOutput(Interrupt& interrupt) : interrupt_(interrupt) {}
    ~PulseOutput() override { close(); }
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    Opened open(unsigned rate, unsigned channels) override {
        close();
        std::string server;
        if (channels > PA_CHANNELS_MAX || !find_server(server) || (pa_ = pulse()) == nullptr ||
            (loop_ = pa_->pa_mainloop_new()) == nullptr) {
            return Opened::nothing_here;
        }
        pa_mainloop_api* api = pa_->pa_mainloop_get_api(loop_);
        api->io_new(api, interrupt_.fd(), PA_IO_EVENT_INPUT, on_wake, this);
        pa_proplist* properties = pa_->pa_proplist_new();
        pa_->pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "music");
        context_ = pa_->pa_context_new_with_proplist(api, "Tamblo", properties);
        pa_->pa_proplist_free(properties);
        if (context_ == nullptr) return fail(Opened::nothing_here);
        if (!user_has_cookie()) pa_->pa_context_load_cookie_from_file(context_, "/dev/zero");
        const auto answered = std::chrono::steady_clock::now() + kAnswerTime;
        int connected = 0;
        {
            // A server named by its host is looked up before this returns.
            Interrupt::Blocking lookup(interrupt_);
            connected = pa_->pa_context_connect(context_, server.empty() ? nullptr : server.c_str(),
                                                PA_CONTEXT_NOAUTOSPAWN, nullptr);
        }
        if (connected < 0) return fail(server_lives_here() ? Opened::no_answer : Opened::nothing_here);
        if (!run_until([this] { return pa_->pa_context_get_state(context_) == PA_CONTEXT_READY; }, answered)) {
            // Nobody listening where no server lives is no server; anything
            // else is a server that does not answer now.
            const bool none = pa_->pa_context_get_state(context_) == PA_CONTEXT_FAILED &&
                              pa_->pa_context_errno(context_) == PA_ERR_CONNECTIONREFUSED && !server_lives_here();
            return fail(none ? Opened::nothing_here : Opened::no_answer);
        }
        const pa_sample_spec format{PA_SAMPLE_S16NE, rate, static_cast<std::uint8_t>(channels)};
        stream_ = pa_->pa_stream_new(context_, "Tamblo", &format, nullptr);
        if (stream_ == nullptr) return fail(Opened::no_answer);
        pa_buffer_attr attributes;
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(pa_->pa_usec_to_bytes(kQueueUs, &format));
        attributes.prebuf = static_cast<std::uint32_t>(pa_->pa_usec_to_bytes(kStartUs, &format));
        attributes.minreq = static_cast<std::uint32_t>(pa_->pa_usec_to_bytes(kRequestUs, &format));
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        if (pa_->pa_stream_connect_playback(stream_, nullptr, &attributes, PA_STREAM_NOFLAGS, nullptr, nullptr) < 0 ||
            !run_until([this] { return pa_->pa_stream_get_state(stream_) == PA_STREAM_READY; }, answered)) {
            return fail(Opened::no_answer);
        }
        frame_bytes_ = pa_->pa_frame_size(&format);
        return Opened::yes;
    }

    bool write(const std::int16_t* samples, std::size_t frames) override {
        const auto* data = reinterpret_cast<const std::uint8_t*>(samples);
        std::size_t left = frames * frame_bytes_;
        while (left > 0) {
            std::size_t room = 0;
            const auto has_room = [&] {
                room = pa_->pa_stream_writable_size(stream_);
                return room != 0 && room != static_cast<std::size_t>(-1);
            };
            if (!run_until(has_room)) return false;
            const std::size_t n = left < room ? left : room;
            if (pa_->pa_stream_write(stream_, data, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) return false;
            data += n;
            left -= n;
        }
        // Sent now, not at the next wait.
        return pa_->pa_mainloop_iterate(loop_, 0, nullptr) >= 0 && !failed();
    }

    bool drain() override {
        // Also starts a stream too short to have started.
        bool drained = false;
        pa_operation* drain = pa_->pa_stream_drain(
            stream_, [](pa_stream*, int, void* done) { *static_cast<bool*>(done) = true; }, &drained);
        if (drain == nullptr) return false;
        const bool done = run_until([&] { return drained; });
        if (!done) pa_->pa_operation_cancel(drain);
        pa_->pa_operation_unref(drain);
        return done;
    }

    void close() override {
        if (stream_ != nullptr) {
            // Silent at once: the server pauses the stream and drops its
            // queue, also what its sink has taken ahead; then the stream goes.
            pa_operation* pause = pa_->pa_stream_cork(stream_, 1, nullptr, nullptr);
            pa_operation* flush = pa_->pa_stream_flush(stream_, nullptr, nullptr);
            for (pa_operation* operation : {pause, flush})
                if (operation != nullptr) pa_->pa_operation_unref(operation);
            pa_->pa_stream_disconnect(stream_);
            pa_->pa_mainloop_iterate(loop_, 0, nullptr);
            pa_->pa_stream_unref(stream_);
            stream_ = nullptr;
        }
        if (context_ != nullptr) {
            pa_->pa_context_disconnect(context_);
            pa_->pa_context_unref(context_);
            context_ = nullptr;
        }
        if (loop_ != nullptr) pa_->pa_mainloop_free(loop_);
        loop_ = nullptr;
        woken_ = false;
    }

private:
    static void on_wake(pa_mainloop_api* api, pa_io_event* event, int, pa_io_event_flags_t, void* self) {
        static_cast<PulseOutput*>(self)->woken_ = true;
        // It stays readable; once is enough.
        api->io_enable(event, PA_IO_EVENT_NULL);
    }

    Opened fail(Opened why) {
        close();
        return why;
    }

    bool failed() const {
        return !PA_CONTEXT_IS_GOOD(pa_->pa_context_get_state(context_)) ||
               (stream_ != nullptr && !PA_STREAM_IS_GOOD(pa_->pa_stream_get_state(stream_)));
    }

    // Runs the main loop until `done()` holds (true), or until the server
    // fails, the wake-up descriptor fires or `deadline` passes (false).
    template <typename Done>
    bool run_until(Done done, std::chrono::steady_clock::time_point deadline = {}) {
        while (!done()) {
            if (woken_ || failed()) return false;
            int timeout_us = -1;
            if (deadline != std::chrono::steady_clock::time_point{}) {
                const auto left = deadline - std::chrono::steady_clock::now();
                if (left <= std::chrono::steady_clock::duration::zero()) return false;
                timeout_us = static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(left).count());
            }
            if (pa_->pa_mainloop_prepare(loop_, timeout_us) < 0 || pa_->pa_mainloop_poll(loop_) < 0 ||
                pa_->pa_mainloop_dispatch(loop_) < 0) {
                return false;
            }
        }
        return true;
    }

    Interrupt& interrupt_;
    const Pulse* pa_ = nullptr;
    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool woken_ = false;
    std::size_t frame_bytes_ = 0;
};

}  // namespace

void prepare_pulse_output() {
    // Loading libpulse and the libraries it brings takes longer than opening
    // a track and decoding its first chunk, so it starts here, where a server
    // may answer, on a thread of its own; the first stream waits for it only
    // as long as it is not done. Before the first open it would compete with
    // the listing of the folder. The thread is joined on the way out.
    static struct Loader {
        Loader() {
            std::string server;
            if (!find_server(server)) return;
            try {
                thread = std::thread(pulse);
            } catch (const std::system_error&) {  // then the first stream loads it
            }
        }
        ~Loader() {
            if (thread.joinable()) thread.join();
        }
        std::thread thread;
    } loader;
}

std::unique_ptr<Output> make_pulse_output(Interrupt& interrupt) { return std::make_unique<PulseOutput>(interrupt); }

}  // namespace mci
