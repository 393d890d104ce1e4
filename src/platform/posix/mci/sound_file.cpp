// Opening a sound file: without blocking on whatever the name turns out to
// be, and with the decoder of the kind of device it is opened on.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "decoder.h"

namespace mci {

int open_sound_file(const char* path, Refusal& refusal) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd == -1) {
        refusal = errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP ? Refusal::not_found
                                                                                                 : Refusal::not_sound;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        close(fd);
        refusal = Refusal::not_sound;
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    refusal = Refusal::none;
    return fd;
}

const DeviceKind kDeviceKinds[2] = {{"MPEGVideo", open_mpeg}, {"waveaudio", open_wave}};

const DeviceKind* find_device_kind(const char* type) {
    for (const DeviceKind& kind : kDeviceKinds)
        if (strcasecmp(type, kind.type) == 0) return &kind;
    return nullptr;
}

}  // namespace mci
