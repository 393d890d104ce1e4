// MPEG audio (MP3) through libmpg123.
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "decoder.h"

namespace mci {
namespace {

// The file as libmpg123 reads it. On a bare descriptor it makes two read()
// calls per frame, a header and a body: some 46,000 system calls for a
// 10-minute 320 kbit/s file, which were most of the cost of the length
// scan. Served from a buffer they become a few hundred.
class FileReader {
public:
    explicit FileReader(int fd) : fd_(fd) {}
    ~FileReader() { close(fd_); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // The callbacks libmpg123 calls with this reader as its handle; they
    // behave like read() and lseek().
    static mpg123_ssize_t read(void* handle, void* out, std::size_t size) {
        return static_cast<FileReader*>(handle)->read(static_cast<char*>(out), size);
    }
    static off_t seek(void* handle, off_t offset, int whence) {
        return static_cast<FileReader*>(handle)->seek(offset, whence);
    }

private:
    mpg123_ssize_t read(char* out, std::size_t size) {
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

    off_t seek(off_t offset, int whence) {
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

    int fd_;
    off_t position_ = 0;      // where the next read starts
    off_t buffer_start_ = 0;  // the file offset of buffer_[0]
    std::size_t buffered_ = 0;
    char buffer_[16384];
};

class MpegDecoder final : public Decoder {
public:
    MpegDecoder(mpg123_handle* handle, std::unique_ptr<FileReader> file) : handle_(handle), file_(std::move(file)) {}
    ~MpegDecoder() override {
        mpg123_close(handle_);
        mpg123_delete(handle_);
    }
    MpegDecoder(const MpegDecoder&) = delete;
    MpegDecoder& operator=(const MpegDecoder&) = delete;

    // Reads the format and the exact length; false when the file holds no
    // MPEG audio.
    bool start() {
        // A full scan of the frames: the only way to the true length of a VBR
        // file without a Xing header (its first frame would suggest less than
        // half) or of a truncated one (its header would promise the whole).
        if (mpg123_scan(handle_) != MPG123_OK) return false;
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK) return false;
        if (rate <= 0 || channels <= 0 || encoding != MPG123_ENC_SIGNED_16) return false;
        rate_ = static_cast<unsigned>(rate);
        channels_ = static_cast<unsigned>(channels);
        const off_t samples = mpg123_length(handle_);
        if (samples <= 0) return false;
        length_ms_ = static_cast<DWORD>(static_cast<unsigned long long>(samples) * 1000ULL / rate_);
        return true;
    }

    unsigned rate() const override { return rate_; }
    unsigned channels() const override { return channels_; }
    DWORD length_ms() const override { return length_ms_; }

    std::size_t read(std::int16_t* out, std::size_t frames) override {
        for (;;) {
            std::size_t done = 0;
            const int result = mpg123_read(handle_, out, frames * channels_ * sizeof *out, &done);
            if (result == MPG123_NEW_FORMAT && done == 0) {
                long rate = 0;
                int channels = 0;
                int encoding = 0;
                if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK || rate <= 0 || channels <= 0) {
                    return 0;
                }
                rate_ = static_cast<unsigned>(rate);
                channels_ = static_cast<unsigned>(channels);
                continue;
            }
            if (result != MPG123_OK && result != MPG123_DONE && result != MPG123_NEW_FORMAT) return 0;
            return done / (channels_ * sizeof *out);
        }
    }

private:
    mpg123_handle* handle_;
    std::unique_ptr<FileReader> file_;
    unsigned rate_ = 0;
    unsigned channels_ = 0;
    DWORD length_ms_ = 0;
};

}  // namespace

MCIERROR open_mpeg(int fd, std::unique_ptr<Decoder>& decoder) {
    static std::once_flag init;
    std::call_once(init, [] { mpg123_init(); });

    std::unique_ptr<FileReader> file(new (std::nothrow) FileReader(fd));
    if (file == nullptr) {
        close(fd);
        return MCIERR_OUT_OF_MEMORY;
    }
    int error = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    if (handle == nullptr) return MCIERR_OUT_OF_MEMORY;
    // Quiet: the player prints nothing of its own. The tags are skipped, not
    // parsed: nothing here shows them, and a large picture costs time.
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_SKIP_ID3V2, 0.0);
    // Signed 16-bit at the file's own rate and channel count, nothing else:
    // no resampling, and one format for the sound card.
    mpg123_format_none(handle);
    const long* rates = nullptr;
    std::size_t count = 0;
    mpg123_rates(&rates, &count);
    for (std::size_t i = 0; i < count; ++i) {
        mpg123_format(handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    }
    if (mpg123_replace_reader_handle(handle, FileReader::read, FileReader::seek, nullptr) != MPG123_OK ||
        mpg123_open_handle(handle, file.get()) != MPG123_OK) {
        mpg123_delete(handle);
        return MCIERR_INVALID_FILE;
    }
    auto mpeg = std::make_unique<MpegDecoder>(handle, std::move(file));
    if (!mpeg->start()) return MCIERR_INVALID_FILE;
    decoder = std::move(mpeg);
    return 0;
}

}  // namespace mci
