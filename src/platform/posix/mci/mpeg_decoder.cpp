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
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK) return false;
        if (rate <= 0 || channels <= 0 || encoding != MPG123_ENC_SIGNED_16) return false;
        rate_ = static_cast<unsigned>(rate);
        channels_ = static_cast<unsigned>(channels);

        // A walk over all the frames (their headers; nothing is decoded):
        // the only way to the true length of a VBR file without a Xing
        // header (its first frame would suggest less than half), of a
        // truncated one (its header would promise the whole), of one whose
        // tag holds nonsense, and of a file joined from parts at different
        // sample rates, where each frame lasts as its own rate says (the
        // library's own count takes them all at the first rate). The first
        // frame was read already, to learn the format, and counts too. A
        // frame that cannot be read ends the decoding as well, so it ends
        // the walk.
        // Samples are counted per run of one rate and turned into time once
        // per run, in whole numbers: a file of one rate gets its length to
        // the millisecond, rounded down, with nothing lost to fractions.
        std::uint64_t ms = 0;
        std::uint64_t run_samples = 0;
        long run_rate = 0;
        for (int result = MPG123_OK; result == MPG123_OK || result == MPG123_NEW_FORMAT;
             result = mpg123_framebyframe_next(handle_)) {
            mpg123_frameinfo frame;
            const int samples = mpg123_spf(handle_);
            if (mpg123_info(handle_, &frame) != MPG123_OK || frame.rate <= 0 || samples <= 0) break;
            if (frame.rate != run_rate) {
                if (run_rate != 0) ms += run_samples * 1000 / static_cast<std::uint64_t>(run_rate);
                run_rate = frame.rate;
                run_samples = 0;
            }
            run_samples += static_cast<std::uint64_t>(samples);
        }
        if (run_rate != 0) ms += run_samples * 1000 / static_cast<std::uint64_t>(run_rate);
        if (mpg123_seek(handle_, 0, SEEK_SET) != 0 || ms < 1) return false;
        length_ms_ = ms < 0xFFFFFFFFu ? static_cast<DWORD>(ms) : 0xFFFFFFFFu;
        return true;
    }

    unsigned rate() const override { return rate_; }
    unsigned channels() const override { return channels_; }
    DWORD length_ms() const override { return length_ms_; }

    std::size_t read(std::int16_t* out, std::size_t frames) override {
        // The caller made room for `frames` frames of the format it was told
        // before this read; frames of a format with more channels take more
        // of it, so the room is counted in bytes. Never more than `frames`
        // frames, though, also when a format with fewer channels would fit
        // more.
        const std::size_t room = frames * channels_ * sizeof *out;
        for (;;) {
            if (format_changed_) {
                format_changed_ = false;
                if (!take_format()) return 0;
            }
            const std::size_t frame_bytes = channels_ * sizeof *out;
            const std::size_t fit = std::min(room / frame_bytes, frames) * frame_bytes;
            if (fit == 0) return 0;
            std::size_t done = 0;
            const int result = mpg123_read(handle_, out, fit, &done);
            if (result == MPG123_NEW_FORMAT) {
                // What was decoded before the change is still in the old
                // format and goes out as such; the new one holds from the
                // next read on, so that rate() and channels() always tell
                // the format of what the last read gave.
                format_changed_ = true;
                if (done == 0) continue;
            } else if (result != MPG123_OK && result != MPG123_DONE) {
                return 0;
            }
            return done / frame_bytes;
        }
    }

private:
    // Reads the output format the stream has now; false when it has none.
    bool take_format() {
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK || rate <= 0 || channels <= 0) {
            return false;
        }
        rate_ = static_cast<unsigned>(rate);
        channels_ = static_cast<unsigned>(channels);
        return true;
    }

    mpg123_handle* handle_;
    std::unique_ptr<FileReader> file_;
    bool format_changed_ = false;
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
    // Every frame is played whole: the length, counted in whole frames, is
    // then exactly the sound. Gapless trimming would save a few tens of
    // milliseconds of the encoder's silence, which tracks separated by the
    // player's extra second have no use for, and it trims by the file's tag,
    // which may say anything.
    mpg123_param(handle, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0.0);
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
