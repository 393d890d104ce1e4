// A file read through a buffer of its own, as read() and lseek() would read
// it, for libmpg123: it asks for each frame's header and body in calls of
// their own, and served from the buffer they cost no system call.
#pragma once

#include <mpg123.h>
#include <sys/types.h>

#include <cstddef>

namespace mci {

class BufferedFile {
public:
    // Takes over `fd`.
    explicit BufferedFile(int fd) : fd_(fd) {}
    ~BufferedFile();
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;

    // libmpg123's reader callbacks, with a BufferedFile as their handle.
    static mpg123_ssize_t read(void* handle, void* out, std::size_t size);
    static off_t seek(void* handle, off_t offset, int whence);

private:
    mpg123_ssize_t read(char* out, std::size_t size);
    off_t seek(off_t offset, int whence);

    int fd_;
    off_t position_ = 0;      // where the next read starts
    off_t buffer_start_ = 0;  // the file offset of buffer_[0]
    std::size_t buffered_ = 0;
    char buffer_[16384];
};

}  // namespace mci
