// The buffered file libmpg123 reads.
#include "buffered_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mci {

BufferedFile::~BufferedFile() { close(fd_); }

mpg123_ssize_t BufferedFile::read(void* handle, void* out, std::size_t size) {
    return static_cast<BufferedFile*>(handle)->read(static_cast<char*>(out), size);
}

off_t BufferedFile::seek(void* handle, off_t offset, int whence) {
    return static_cast<BufferedFile*>(handle)->seek(offset, whence);
}

mpg123_ssize_t BufferedFile::read(char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const off_t buffer_end = buffer_start_ + static_cast<off_t>(buffered_);
        if (position_ >= buffer_start_ && position_ < buffer_end) {
            const std::size_t n = std::min(size - done, static_cast<std::size_t>(buffer_end - position_));
            std::memcpy(out + done, buffer_ + (position_ - buffer_start_), n);
            position_ += static_cast<off_t>(n);
            done += n;
            continue;
        }
        // What would not fit the buffer anyway goes straight to the caller.
        const bool direct = size - done >= sizeof buffer_;
        char* into = direct ? out + done : buffer_;
        const ssize_t got = pread(fd_, into, direct ? size - done : sizeof buffer_, position_);
        if (got == -1 && errno == EINTR) continue;
        if (got == -1) return done > 0 ? static_cast<mpg123_ssize_t>(done) : -1;
        if (got == 0) break;
        if (direct) {
            position_ += got;
            done += static_cast<std::size_t>(got);
        } else {
            buffer_start_ = position_;
            buffered_ = static_cast<std::size_t>(got);
        }
    }
    return static_cast<mpg123_ssize_t>(done);
}

off_t BufferedFile::seek(off_t offset, int whence) {
    off_t base = 0;
    if (whence == SEEK_CUR) {
        base = position_;
    } else if (whence == SEEK_END) {
        struct stat st;
        if (fstat(fd_, &st) == -1) return -1;
        base = st.st_size;
    } else if (whence != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    if (offset < -base) {
        errno = EINVAL;
        return -1;
    }
    position_ = base + offset;
    return position_;
}

}  // namespace mci
