// A sound card for the MCI tests: an ALSA PCM plugin that takes the frames
// written to it at the pace of their sample rate and throws them away. Under
// ALSA's file plugin it gives a test a device that fills up, makes the writer
// wait and plays in real time, with no hardware and no sound server.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace {

struct Paced {
    snd_pcm_ioplug_t io{};
    int timer_fd = -1;
    bool running = false;
    timespec started{};
    // Frames handed to us since the last prepare, and those "heard" of them
    // when the clock last moved on; the clock never plays what is not there.
    snd_pcm_uframes_t written = 0;
    snd_pcm_uframes_t played = 0;
    snd_pcm_uframes_t avail_min = 1;
};

Paced* paced(snd_pcm_ioplug_t* io) { return static_cast<Paced*>(io->private_data); }

std::int64_t nanoseconds_since(const timespec& then) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<std::int64_t>(now.tv_sec) - then.tv_sec) * 1000000000LL + (now.tv_nsec - then.tv_nsec);
}

void advance(Paced& p) {
    if (!p.running) return;
    const auto due = static_cast<snd_pcm_uframes_t>(nanoseconds_since(p.started) * p.io.rate / 1000000000LL);
    p.played = std::min(due, p.written);
}

int paced_start(snd_pcm_ioplug_t* io) {
    Paced& p = *paced(io);
    clock_gettime(CLOCK_MONOTONIC, &p.started);
    p.running = true;
    return 0;
}

int paced_stop(snd_pcm_ioplug_t* io) {
    paced(io)->running = false;
    return 0;
}

int paced_prepare(snd_pcm_ioplug_t* io) {
    Paced& p = *paced(io);
    p.running = false;
    p.written = 0;
    p.played = 0;
    return 0;
}

snd_pcm_sframes_t paced_pointer(snd_pcm_ioplug_t* io) {
    Paced& p = *paced(io);
    advance(p);
    return static_cast<snd_pcm_sframes_t>(p.played % io->buffer_size);
}

snd_pcm_sframes_t paced_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t*, snd_pcm_uframes_t,
                                 snd_pcm_uframes_t size) {
    paced(io)->written += size;
    return static_cast<snd_pcm_sframes_t>(size);
}

int paced_sw_params(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
    return snd_pcm_sw_params_get_avail_min(params, &paced(io)->avail_min);
}

// The timer ticks every few milliseconds; the stream is writable when the
// clock has made room for avail_min frames, as a sound card would report.
int paced_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds, unsigned short* revents) {
    if (nfds != 1) return -EINVAL;
    std::uint64_t ticks = 0;
    (void)!read(pfd[0].fd, &ticks, sizeof ticks);
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(io->pcm);
    if (avail < 0) {
        *revents = POLLERR;
    } else {
        *revents = static_cast<snd_pcm_uframes_t>(avail) >= paced(io)->avail_min ? POLLOUT : 0;
    }
    return 0;
}

int paced_close(snd_pcm_ioplug_t* io) {
    Paced* p = paced(io);
    close(p->timer_fd);
    delete p;
    return 0;
}

const snd_pcm_ioplug_callback_t callbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = paced_start;
    c.stop = paced_stop;
    c.pointer = paced_pointer;
    c.transfer = paced_transfer;
    c.close = paced_close;
    c.sw_params = paced_sw_params;
    c.prepare = paced_prepare;
    c.poll_revents = paced_poll_revents;
    return c;
}();

int set_constraints(snd_pcm_ioplug_t* io) {
    static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned int formats[] = {SND_PCM_FORMAT_S16_LE};
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, access);
    if (err >= 0) err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats);
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 8);
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, 8000, 192000);
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 1 << 20);
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64);
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 128, 4 << 20);
    return err;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(tamblo_paced) {
    (void)root;
    (void)conf;
    if (stream != SND_PCM_STREAM_PLAYBACK) return -EINVAL;
    auto* p = new Paced;
    p->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const itimerspec every_5ms{{0, 5000000}, {0, 5000000}};
    if (p->timer_fd == -1 || timerfd_settime(p->timer_fd, 0, &every_5ms, nullptr) == -1) {
        if (p->timer_fd != -1) close(p->timer_fd);
        delete p;
        return -errno;
    }
    p->io.version = SND_PCM_IOPLUG_VERSION;
    p->io.name = "Tamblo test clock";
    p->io.mmap_rw = 0;
    p->io.callback = &callbacks;
    p->io.private_data = p;
    p->io.poll_fd = p->timer_fd;
    p->io.poll_events = POLLIN;
    int err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
    if (err < 0) {
        close(p->timer_fd);
        delete p;
        return err;
    }
    err = set_constraints(&p->io);
    if (err < 0) {
        snd_pcm_ioplug_delete(&p->io);  // calls paced_close
        return err;
    }
    *pcmp = p->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(tamblo_paced);
}
