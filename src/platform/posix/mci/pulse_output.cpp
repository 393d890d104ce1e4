// Sound output through the desktop's sound server, speaking its native
// protocol (pulse_wire.h) on a socket of the player's own: PulseAudio, and
// PipeWire through pipewire-pulse.
//
// Not through libpulse: loading it brings some twenty libraries (X11, D-Bus,
// systemd, libsndfile and its codecs), 2.8 MiB of resident memory, more
// than the whole player's own, and their loading delays the first sound;
// and libpulse writes a cookie and a runtime folder into the home where it
// finds none. A playback stream needs little of the protocol, and every
// wait here is one poll() that also watches the interrupt, so a close never
// waits for the server, whatever state it is in. A server is never started,
// and nothing is written to the user's files: the cookie is read where the
// user has one, and zeros are sent where not (a desktop's server knows its
// own user by the socket's credentials).
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "output.h"
#include "pulse_wire.h"

namespace mci {
namespace {

using Clock = std::chrono::steady_clock;

// A long queue, refilled in large steps: the thread wakes about twice a
// second, and a stall of the machine shorter than the queue is never heard.
// A close costs no more for it, since the server drops the queue. The sound
// starts once the first two chunks are there: the second is decoded in well
// under a millisecond, and a stall of the thread just after the start then
// has half a second before it is heard, not a quarter.
const std::uint64_t kQueueUs = 2000000;
const std::uint64_t kRequestUs = 500000;
const std::uint64_t kStartUs = 300000;
// A server that has not answered by then is taken for one that does not:
// nothing else is tried, and the playback thread tries it again.
const std::chrono::milliseconds kAnswerTime{2000};
const std::uint32_t kMaxChannels = 32;
const std::uint32_t kMaxRate = 384000;
const char* const kDefaultPort = "4713";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string home_path(const char* below) {
    const std::string home = environment("HOME");
    return home.empty() ? "" : home + below;
}

std::string config_folder() {
    const std::string config = environment("XDG_CONFIG_HOME");
    return config.empty() ? home_path("/.config") : config;
}

bool is_socket(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The addresses in a list such as PULSE_SERVER holds, apart by blanks;
// "{machine}" before one is dropped.
void add_places(const std::string& list, std::vector<std::string>& places) {
    std::size_t at = 0;
    while ((at = list.find_first_not_of(" \t", at)) != std::string::npos) {
        std::size_t end = list.find_first_of(" \t", at);
        std::string place = list.substr(at, end - at);
        if (place[0] == '{' && place.find('}') != std::string::npos) place.erase(0, place.find('}') + 1);
        if (!place.empty()) places.push_back(place);
        at = end;
    }
}

// The first line of a file that begins with `key` (blanks aside), less the
// key; "" where there is none.
std::string line_after(const std::string& path, const char* key) {
    std::string found;
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) return found;
    char line[1024];
    while (found.empty() && std::fgets(line, sizeof line, file) != nullptr) {
        const char* at = line + std::strspn(line, " \t");
        if (std::strncmp(at, key, std::strlen(key)) != 0) continue;
        found.assign(at + std::strlen(key), std::strcspn(at + std::strlen(key), "\n"));
    }
    std::fclose(file);
    return found;
}

// A setting of the client configuration, as libpulse reads it: the
// environment's variable, else the user's client.conf, else the system's;
// "" where none says.
std::string client_setting(const char* variable, const char* key) {
    std::string value = environment(variable);
    const std::string conf = environment("PULSE_CLIENTCONFIG");
    for (const std::string& path : {conf.empty() ? config_folder() + "/pulse/client.conf" : conf,
                                    std::string(conf.empty() ? "/etc/pulse/client.conf" : "")}) {
        if (!value.empty() || path.empty()) continue;
        const std::string rest = line_after(path, key);
        const std::size_t equals = rest.find('=');
        if (equals != std::string::npos) value = rest.substr(equals + 1);
    }
    const std::size_t start = value.find_first_not_of(" \t");
    return start == std::string::npos ? "" : value.substr(start, value.find_last_not_of(" \t") - start + 1);
}

// Where a server may be, in the order libpulse looks: PULSE_SERVER or the
// client configuration's default-server, the user's socket, the system's.
std::vector<std::string> server_places() {
    std::vector<std::string> places;
    add_places(client_setting("PULSE_SERVER", "default-server"), places);
    if (!places.empty()) return places;
    std::string runtime = environment("PULSE_RUNTIME_PATH");
    if (runtime.empty() && !environment("XDG_RUNTIME_DIR").empty()) runtime = environment("XDG_RUNTIME_DIR") + "/pulse";
    if (runtime.empty()) {
        // libpulse's own place without XDG_RUNTIME_DIR: a link in the home.
        const std::string machine = line_after("/etc/machine-id", "");
        if (!machine.empty() && !home_path("").empty()) runtime = config_folder() + "/pulse/" + machine + "-runtime";
    }
    if (!runtime.empty()) places.push_back(runtime + "/native");
    places.push_back("/var/run/pulse/native");
    return places;
}

// The path of a local place, or "" for one on the network.
std::string local_path(const std::string& place) {
    if (place.compare(0, 5, "unix:") == 0) return place.substr(5);
    return place[0] == '/' ? place : "";
}

// The user's cookie, or zeros where there is none.
std::vector<std::uint8_t> cookie() {
    std::vector<std::uint8_t> bytes(pulse::kCookieBytes);
    std::string path = environment("PULSE_COOKIE");
    if (path.empty()) path = config_folder() + "/pulse/cookie";
    int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file == -1) file = ::open(home_path("/.pulse-cookie").c_str(), O_RDONLY | O_CLOEXEC);
    if (file != -1) {
        (void)!::read(file, bytes.data(), bytes.size());
        ::close(file);
    }
    return bytes;
}

class PulseOutput final : public Output {
public:
    explicit PulseOutput(Interrupt& interrupt) : interrupt_(interrupt) {}
    ~PulseOutput() override { close(); }
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    Opened open(unsigned rate, unsigned channels) override {
        close();
        if (channels == 0 || channels > kMaxChannels || rate == 0 || rate > kMaxRate) return Opened::nothing_here;
        const auto answered = Clock::now() + kAnswerTime;
        bool lives_here = false;
        for (const std::string& place : server_places()) {
            lives_here = lives_here || is_socket(local_path(place));
            if (connect_to(place, answered)) break;
        }
        // Nobody listening where no server lives is no server; anything else
        // is a server that does not answer now.
        if (socket_ == -1) return lives_here ? Opened::no_answer : Opened::nothing_here;

        // All at once: the server takes them in order, and leaves a client it
        // refuses before it reads the rest.
        const std::vector<std::uint8_t> secret = cookie();
        // A sink the user named (PULSE_SINK, default-sink); else the server's default.
        const std::string sink = client_setting("PULSE_SINK", "default-sink");
        const std::uint8_t n = static_cast<std::uint8_t>(channels);
        const std::uint32_t second = rate * channels * 2;
        const auto bytes = [second](std::uint64_t us) { return static_cast<std::uint32_t>(second * us / 1000000); };
        pulse::Message auth(pulse::kAuth, tag_++);
        pulse::Message name(pulse::kSetClientName, tag_++);
        pulse::Message create(pulse::kCreatePlaybackStream, tag_++);
        auth.u32(pulse::kVersion).bytes(secret.data(), secret.size());
        name.properties({{"application.name", "Tamblo"}});
        create.sample_spec(pulse::s16_native(), n, rate)
            .channel_map(n)
            .u32(pulse::kNoIndex)
            .string(sink.empty() ? nullptr : sink.c_str())
            .u32(0xFFFFFFFFu)  // the most the server allows queued
            .boolean(false)    // not corked
            .u32(bytes(kQueueUs))
            .u32(bytes(kStartUs))
            .u32(bytes(kRequestUs))
            .u32(0)  // sync group
            .full_volume(n);
        // No remapping, remixing or fixed format asked for; not a stream
        // that must stay where it is, nor one of variable rate.
        for (int i = 0; i < 7; ++i)
            create.boolean(false);
        create.boolean(false).boolean(false);  // not muted; no latency adjusted
        create.properties({{"media.name", "Tamblo"}, {"media.role", "music"}});
        create.boolean(false).boolean(false);                 // volume as it is; requests when due
        create.boolean(false).boolean(false).boolean(false);  // mute as it is; suspend as usual
        create.boolean(false).boolean(false);                 // absolute volume; no passthrough
        create.u8(0);                                         // no encoded formats: PCM as set above
        awaited_ = create_tag_ = tag_ - 1;
        if (!send(auth.packet(), true) || !send(name.packet()) || !send(create.packet()) || !await_reply(answered)) {
            close();
            return Opened::no_answer;
        }
        frame_bytes_ = std::size_t{channels} * 2;
        return Opened::yes;
    }

    bool write(const std::int16_t* samples, std::size_t frames) override {
        const auto* data = reinterpret_cast<const std::uint8_t*>(samples);
        std::size_t left = frames * frame_bytes_;
        while (left > 0) {
            if (!pump(0)) return false;
            std::size_t n = std::min<std::size_t>({left, credit_, pulse::kMaxSoundBytes});
            n -= n % frame_bytes_;
            if (n == 0 || !unsent_.empty()) {
                if (!pump(-1)) return false;
                continue;
            }
            if (!send_sound(data, n)) return false;
            credit_ -= n;
            data += n;
            left -= n;
        }
        return true;
    }

    bool drain() override {
        pulse::Message drain(pulse::kDrainPlaybackStream, tag_++);
        drain.u32(channel_);
        awaited_ = tag_ - 1;
        return send(drain.packet()) && await_reply(Clock::time_point::max());
    }

    void close() override {
        if (socket_ == -1) return;
        if (channel_ != pulse::kNoIndex && unsent_.empty()) {
            // Silent at once: the server pauses the stream and drops its
            // queue, also what its sink has taken ahead; then it goes with
            // the connection. Sent only if the socket takes them now.
            pulse::Message pause(pulse::kCorkPlaybackStream, tag_++);
            pulse::Message flush(pulse::kFlushPlaybackStream, tag_++);
            pause.u32(channel_).boolean(true);
            flush.u32(channel_);
            send(pause.packet()) && send(flush.packet());
        }
        ::close(socket_);
        socket_ = -1;
        channel_ = pulse::kNoIndex;
        credit_ = 0;
        unsent_.clear();
        received_.clear();
    }

private:
    // Connects to one place; false where nobody listens or it cannot be
    // reached by `deadline`.
    bool connect_to(const std::string& place, Clock::time_point deadline) {
        const std::string path = local_path(place);
        if (!path.empty()) {
            sockaddr_un address{};
            if (path.size() >= sizeof address.sun_path) return false;
            address.sun_family = AF_UNIX;
            std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
            socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (socket_ != -1 && ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                return true;
            }
        } else {
            std::string host = place.substr(place.compare(0, 3, "tcp") == 0 ? place.find(':') + 1 : 0);
            std::string port = kDefaultPort;
            const std::size_t colon = host.rfind(':');
            if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
                port = host.substr(colon + 1);
                host.erase(colon);
            }
            if (host.size() > 1 && host.front() == '[') host = host.substr(1, host.size() - 2);
            addrinfo hints{};
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            {
                // A name is looked up before this returns.
                Interrupt::Blocking lookup(interrupt_);
                if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
            }
            socket_ = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const bool started =
                socket_ != -1 && (::connect(socket_, found->ai_addr, found->ai_addrlen) == 0 || errno == EINPROGRESS);
            freeaddrinfo(found);
            int error = 0;
            socklen_t size = sizeof error;
            const int on = 1;
            if (started && wait(POLLOUT, deadline) && getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
                error == 0) {
                setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                return true;
            }
        }
        if (socket_ != -1) ::close(socket_);
        socket_ = -1;
        return false;
    }

    // Waits for `events` on the socket, or until the deadline or the
    // interrupt; true when they came.
    bool wait(short events, Clock::time_point deadline) {
        pollfd fds[] = {{socket_, events, 0}, {interrupt_.fd(), POLLIN, 0}};
        for (;;) {
            int timeout = -1;
            if (deadline != Clock::time_point::max()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                timeout = static_cast<int>(std::max<long long>(0, left.count()));
            }
            const int ready = poll(fds, 2, timeout);
            if (ready == -1 && errno == EINTR) continue;
            return ready > 0 && fds[1].revents == 0 && fds[0].revents != 0;
        }
    }

    // Sends a command, or keeps what the socket does not take for later.
    // The first carries the process's credentials, by which a local server
    // knows its own user.
    bool send(const std::vector<std::uint8_t>& packet, bool credentials = false) {
        if (!unsent_.empty()) {
            unsent_.insert(unsent_.end(), packet.begin(), packet.end());
            return true;
        }
        iovec part{const_cast<std::uint8_t*>(packet.data()), packet.size()};
        return send_parts(&part, 1, credentials);
    }

    bool send_sound(const std::uint8_t* data, std::size_t size) {
        std::uint8_t descriptor[pulse::kDescriptorBytes];
        pulse::put_descriptor(descriptor, static_cast<std::uint32_t>(size), channel_);
        iovec parts[] = {{descriptor, sizeof descriptor}, {const_cast<std::uint8_t*>(data), size}};
        return send_parts(parts, 2, false);
    }

    bool send_parts(iovec* parts, int count, bool credentials) {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<std::size_t>(count);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        sockaddr_storage address;
        socklen_t length = sizeof address;
        if (credentials && getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            address.ss_family == AF_UNIX) {
            const ucred mine{getpid(), getuid(), getgid()};
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_CREDENTIALS;
            header->cmsg_len = CMSG_LEN(sizeof mine);
            std::memcpy(CMSG_DATA(header), &mine, sizeof mine);
        }
        ssize_t sent = 0;
        do {
            sent = sendmsg(socket_, &message, MSG_NOSIGNAL);
        } while (sent == -1 && errno == EINTR);
        if (sent == -1 && errno != EAGAIN) return false;
        std::size_t done = sent > 0 ? static_cast<std::size_t>(sent) : 0;
        for (int i = 0; i < count; ++i) {
            const auto* from = static_cast<const std::uint8_t*>(parts[i].iov_base);
            const std::size_t skip = std::min(done, parts[i].iov_len);
            unsent_.insert(unsent_.end(), from + skip, from + parts[i].iov_len);
            done -= skip;
        }
        return true;
    }

    // Waits for the reply to `awaited_`, handling what else comes.
    bool await_reply(Clock::time_point deadline) {
        replied_ = false;
        while (!replied_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (deadline != Clock::time_point::max() && left <= 0) return false;
            if (!pump(deadline == Clock::time_point::max() ? -1 : static_cast<int>(left))) return false;
        }
        return true;
    }

    // One wait of at most `timeout_ms` (-1: for ever) for the socket or the
    // interrupt; sends what is waiting and handles what has come. False when
    // interrupted or when the server is gone or refused something.
    bool pump(int timeout_ms) {
        pollfd fds[] = {{socket_, static_cast<short>(POLLIN | (unsent_.empty() ? 0 : POLLOUT)), 0},
                        {interrupt_.fd(), POLLIN, 0}};
        int ready = 0;
        do {
            ready = poll(fds, 2, timeout_ms);
        } while (ready == -1 && errno == EINTR);
        if (ready == -1 || fds[1].revents != 0) return false;
        if ((fds[0].revents & POLLOUT) != 0) {
            const ssize_t sent = ::send(socket_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL);
            if (sent == -1 && errno != EAGAIN && errno != EINTR) return false;
            if (sent > 0) unsent_.erase(unsent_.begin(), unsent_.begin() + sent);
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            std::uint8_t buffer[4096];
            const ssize_t got = recv(socket_, buffer, sizeof buffer, 0);
            if (got == 0 || (got == -1 && errno != EAGAIN && errno != EINTR)) return false;
            if (got > 0) received_.insert(received_.end(), buffer, buffer + got);
            return handle_received();
        }
        return true;
    }

    // Takes the whole packets received; false when one says that the
    // stream or the connection is over.
    bool handle_received() {
        std::size_t at = 0;
        bool fine = true;
        while (fine && received_.size() - at >= pulse::kDescriptorBytes) {
            const std::uint8_t* d = &received_[at];
            const std::size_t length = static_cast<std::size_t>(d[0]) << 24 | d[1] << 16 | d[2] << 8 | d[3];
            const bool command = d[4] == 0xFF && d[5] == 0xFF && d[6] == 0xFF && d[7] == 0xFF;
            // Commands to a player are short; a longer one is no server's.
            if (command && length > pulse::kMaxSoundBytes) return false;
            if (received_.size() - at - pulse::kDescriptorBytes < length) break;
            if (command) fine = handle(pulse::Reader(d + pulse::kDescriptorBytes, length));
            at += pulse::kDescriptorBytes + length;
        }
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(at));
        return fine;
    }

    bool handle(pulse::Reader command) {
        std::uint32_t code = 0;
        std::uint32_t tag = 0;
        std::uint32_t channel = 0;
        std::uint32_t value = 0;
        if (!command.u32(code) || !command.u32(tag)) return true;
        switch (code) {
        case pulse::kError:
            return false;
        case pulse::kReply:
            if (tag != awaited_) return true;
            replied_ = true;
            // The stream's reply: its channel, its index, and how much the
            // server asks for at first.
            if (tag == create_tag_) {
                return command.u32(channel_) && command.u32(value) && command.u32(value) && (credit_ = value, true);
            }
            return true;
        case pulse::kRequest:
            if (command.u32(channel) && channel == channel_ && command.u32(value)) credit_ += value;
            return true;
        case pulse::kPlaybackStreamKilled:
            return !command.u32(channel) || channel != channel_;
        default:
            return true;  // news the player has no use for
        }
    }

    Interrupt& interrupt_;
    int socket_ = -1;
    std::uint32_t tag_ = 0;
    std::uint32_t awaited_ = 0;
    std::uint32_t create_tag_ = 0;
    bool replied_ = false;
    std::uint32_t channel_ = pulse::kNoIndex;
    std::size_t credit_ = 0;  // bytes the server has asked for and not had
    std::size_t frame_bytes_ = 0;
    std::vector<std::uint8_t> unsent_;
    std::vector<std::uint8_t> received_;
};

}  // namespace

std::unique_ptr<Output> make_pulse_output(Interrupt& interrupt) { return std::make_unique<PulseOutput>(interrupt); }

}  // namespace mci
