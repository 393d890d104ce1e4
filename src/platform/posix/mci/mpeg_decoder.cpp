// MPEG audio (MP3) through libmpg123.
#include <fcntl.h>
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "decoder.h"

namespace mci {
namespace {

// The file as libmpg123 reads it. On a bare descriptor it makes two read()
// calls per frame, a header and a body, and those system calls were most of
// the cost of the length scan; served from a buffer they are few.
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

void delete_handle(mpg123_handle* handle) {
    mpg123_close(handle);
    mpg123_delete(handle);
}

// What the frame walk learns of a file: its exact length and whether the
// encoder's padding at its end is cut.
struct Walk {
    std::uint32_t length_ms = 0;
    bool trim_end = false;
    std::uint64_t end = 0;  // with trim_end: the sample after the last one played
};

// The decoder's output starts 529 samples late (layer III's decoder delay);
// an encoder's tag counts its delay and padding without it, so the sound
// proper starts this much later and ends this much later than the tag says.
const std::uint64_t kDecoderDelay = 529;

// Two handles on one file. The play handle decodes from the start at once;
// the walk handle, on a thread of its own, reads every frame's header for
// the exact length once that is first needed, so that the first sample
// never waits for a walk over the whole file.
//
// The encoder's delay and padding (the LAME tag as libmpg123 reports it:
// 1105 samples of silence, 25 ms, at the start of a lame file at 44.1 kHz,
// and up to a frame at its end) are cut by this class, not by libmpg123:
// its own gapless decoding trims by what the tag promises and so also trims
// the middle of a file joined from parts. The start is cut whenever a layer
// III file carries the tag, since the first sample cannot wait for the
// walk. The end is cut only when the walk finds the file as its tag
// describes it: exactly the frames the tag counts, of one rate and channel
// count, read to the end without fault. A truncated, damaged or joined file
// plays every frame from the tag's start to the file's end, and a file
// without the tag plays every frame.
class MpegDecoder final : public Decoder {
public:
    MpegDecoder(mpg123_handle* walk_handle, std::unique_ptr<FileReader> walk_file, mpg123_handle* play_handle,
                std::unique_ptr<FileReader> play_file)
        : walk_handle_(walk_handle),
          walk_file_(std::move(walk_file)),
          handle_(play_handle),
          file_(std::move(play_file)) {}
    ~MpegDecoder() override {
        std::thread walker;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            walker.swap(walker_);
        }
        if (walker.joinable()) {
            stop_walk_.store(true);
            walker.join();
        }
        if (walk_handle_ != nullptr) delete_handle(walk_handle_);
        delete_handle(handle_);
    }
    MpegDecoder(const MpegDecoder&) = delete;
    MpegDecoder& operator=(const MpegDecoder&) = delete;

    // Reads the format and the tag; false when the file holds no MPEG audio.
    // Both handles have read their first frame.
    bool start() {
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        if (mpg123_getformat(walk_handle_, &rate, &channels, &encoding) != MPG123_OK) return false;
        if (rate <= 0 || channels <= 0 || encoding != MPG123_ENC_SIGNED_16) return false;
        long play_rate = 0;
        int play_channels = 0;
        if (mpg123_getformat(handle_, &play_rate, &play_channels, &encoding) != MPG123_OK || play_rate != rate ||
            play_channels != channels) {
            return false;
        }
        rate_ = static_cast<unsigned>(rate);
        channels_ = static_cast<unsigned>(channels);

        long delay = -1;
        long padding = -1;
        double unused = 0;
        mpg123_frameinfo frame;
        if (mpg123_info(walk_handle_, &frame) == MPG123_OK && frame.layer == 3 &&
            mpg123_getstate(walk_handle_, MPG123_ENC_DELAY, &delay, &unused) == MPG123_OK &&
            mpg123_getstate(walk_handle_, MPG123_ENC_PADDING, &padding, &unused) == MPG123_OK && delay >= 0 &&
            padding >= 0) {
            begin_ = static_cast<std::uint64_t>(delay) + kDecoderDelay;
            const std::uint64_t pad = static_cast<std::uint64_t>(padding);
            end_cut_ = pad > kDecoderDelay ? pad - kDecoderDelay : 0;
            // With gapless decoding off, the length libmpg123 gives before
            // any scan is the tag's own count of frames times their samples.
            const off_t declared = mpg123_length(walk_handle_);
            tagged_samples_ = declared > 0 ? static_cast<std::uint64_t>(declared) : 0;
        }
        return true;
    }

    unsigned rate() const override { return rate_; }
    unsigned channels() const override { return channels_; }

    // Starts the walk unless it runs already, and waits for it.
    std::uint32_t length_ms() override {
        std::unique_lock<std::mutex> lock(mutex_);
        walk_to_end(lock);
        return walk_.length_ms;
    }

    std::size_t read(std::int16_t* out, std::size_t frames) override {
        // The caller made room for `frames` frames of the format it was told
        // before this read; a format that changes while the delay is skipped
        // must not make it more.
        const std::size_t room = frames * channels_ * sizeof *out;
        for (;;) {
            const std::size_t got = decode(out, frames, room);
            if (got == 0) return 0;
            const std::uint64_t first = position_;
            position_ += got;
            std::size_t keep = got;
            std::size_t skip = 0;
            if (first < begin_) {
                skip = static_cast<std::size_t>(std::min<std::uint64_t>(got, begin_ - first));
                keep -= skip;
            }
            if (end_cut_ > 0 && keep > 0 && position_ + end_cut_ > tagged_samples_) {
                // These may be the padding: they lie past where it starts
                // if the tag is right, which the walk tells. Up to there
                // nothing waits, whatever the walk finds: a file that
                // disagrees with its tag keeps every sample.
                std::unique_lock<std::mutex> lock(mutex_);
                walk_to_end(lock);
                if (walk_.trim_end && position_ > walk_.end) {
                    keep -= static_cast<std::size_t>(std::min<std::uint64_t>(keep, position_ - walk_.end));
                }
            }
            if (keep == 0) {
                // Delay still to skip goes on; past the padding is the end.
                if (first < begin_) continue;
                return 0;
            }
            if (skip > 0) std::memmove(out, out + skip * channels_, keep * channels_ * sizeof *out);
            return keep;
        }
    }

    bool skip_to(std::uint32_t ms) override {
        // Offsets count the decoded samples, the encoder's delay included
        // (gapless decoding is off), as position_ does.
        const off_t target = static_cast<off_t>(begin_ + std::uint64_t{ms} * rate_ / 1000);
        const off_t reached = mpg123_seek(handle_, target, SEEK_SET);
        if (reached < 0) return false;
        position_ = static_cast<std::uint64_t>(reached);
        format_changed_ = false;
        return take_format();
    }

private:
    // Starts the walk if nobody has, and waits for its end; `lock` holds
    // mutex_. A thread that cannot be started leaves the walk to this one.
    void walk_to_end(std::unique_lock<std::mutex>& lock) {
        if (!walk_started_) {
            walk_started_ = true;
            try {
                walker_ = std::thread(&MpegDecoder::walk, this);
            } catch (const std::system_error&) {
                lock.unlock();
                walk();
                lock.lock();
            }
        }
        walked_.wait(lock, [this] { return walk_done_; });
    }

    // A walk over all the frames (their headers; nothing is decoded): the
    // only way to the true length of a VBR file without a Xing header (its
    // first frame would suggest less than half), of a truncated one (its
    // header would promise the whole), of one whose tag holds nonsense, and
    // of a file joined from parts at different sample rates, where each
    // frame lasts as its own rate says (the library's own count takes them
    // all at the first rate). The first frame was read already, to learn the
    // format, and counts too. A frame that cannot be read ends the decoding
    // as well, so it ends the walk.
    // Samples are counted per run of one rate and turned into time once per
    // run, in whole numbers: a file of one rate gets its length to the
    // millisecond, rounded down, with nothing lost to fractions.
    void walk() {
        std::uint64_t ms = 0;
        std::uint64_t total = 0;
        std::uint64_t run_samples = 0;
        long run_rate = 0;
        bool first_run = true;
        int first_mode = -1;
        bool one_format = true;
        // A run's time, less the delay cut at the start of the first.
        const auto add_run = [&] {
            if (first_run) run_samples -= std::min(run_samples, begin_);
            first_run = false;
            ms += run_samples * 1000 / static_cast<std::uint64_t>(run_rate);
        };
        int result = MPG123_OK;
        for (; result == MPG123_OK || result == MPG123_NEW_FORMAT; result = mpg123_framebyframe_next(walk_handle_)) {
            if (stop_walk_.load()) break;
            mpg123_frameinfo frame;
            const int samples = mpg123_spf(walk_handle_);
            if (mpg123_info(walk_handle_, &frame) != MPG123_OK || frame.rate <= 0 || samples <= 0) break;
            if (first_mode == -1) first_mode = frame.mode == MPG123_M_MONO;
            if ((frame.mode == MPG123_M_MONO) != (first_mode == 1)) one_format = false;
            if (frame.rate != run_rate) {
                if (run_rate != 0) {
                    add_run();
                    one_format = false;
                }
                run_rate = frame.rate;
                run_samples = 0;
            }
            run_samples += static_cast<std::uint64_t>(samples);
            total += static_cast<std::uint64_t>(samples);
        }
        Walk found;
        found.trim_end = end_cut_ > 0 && result == MPG123_DONE && one_format && total == tagged_samples_ &&
                         total >= begin_ + end_cut_;
        if (found.trim_end) {
            found.end = total - end_cut_;
            ms = (found.end - begin_) * 1000 / static_cast<std::uint64_t>(run_rate);
        } else if (run_rate != 0) {
            add_run();
        }
        found.length_ms = ms < 0xFFFFFFFFu ? static_cast<std::uint32_t>(ms) : 0xFFFFFFFFu;
        // Its work done, the walk's handle and buffer go at once.
        delete_handle(walk_handle_);
        walk_handle_ = nullptr;
        walk_file_.reset();
        std::lock_guard<std::mutex> lock(mutex_);
        walk_ = found;
        walk_done_ = true;
        walked_.notify_all();
    }

    // Decodes up to `frames` frames as they are in the file, encoder's delay
    // and padding included, into `room` bytes. Frames of a format with more
    // channels take more of it, so the room is counted in bytes; never more
    // than `frames` frames, though, also when fewer channels would fit more.
    std::size_t decode(std::int16_t* out, std::size_t frames, std::size_t room) {
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

    // The walk's; its thread alone uses them once started.
    mpg123_handle* walk_handle_;
    std::unique_ptr<FileReader> walk_file_;
    std::atomic<bool> stop_walk_{false};

    // Set before the walk starts, read by both threads.
    std::uint64_t begin_ = 0;           // samples of delay cut at the start
    std::uint64_t end_cut_ = 0;         // samples of padding cut at the end, if the walk agrees
    std::uint64_t tagged_samples_ = 0;  // the frames the tag counts, in samples

    std::mutex mutex_;
    std::condition_variable walked_;
    std::thread walker_;
    bool walk_started_ = false;
    bool walk_done_ = false;
    Walk walk_;

    // The play handle's; the thread that reads alone uses them.
    mpg123_handle* handle_;
    std::unique_ptr<FileReader> file_;
    std::uint64_t position_ = 0;  // samples decoded so far, per channel
    bool format_changed_ = false;
    unsigned rate_ = 0;
    unsigned channels_ = 0;
};

// A handle reading `file`: quiet, tags skipped, every frame whole, signed
// 16-bit at the file's own rate and channel count. Null on failure.
mpg123_handle* new_handle(FileReader* file) {
    int error = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    if (handle == nullptr) return nullptr;
    // Quiet: the player prints nothing of its own. The tags are skipped, not
    // parsed: nothing here shows them, and a large picture costs time.
    // Gapless decoding off: the trimming is done above, by the walk's rules.
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_SKIP_ID3V2, 0.0);
    mpg123_param(handle, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0.0);
    // No resampling, and one format for the sound card.
    mpg123_format_none(handle);
    const long* rates = nullptr;
    std::size_t count = 0;
    mpg123_rates(&rates, &count);
    for (std::size_t i = 0; i < count; ++i) {
        mpg123_format(handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    }
    if (mpg123_replace_reader_handle(handle, FileReader::read, FileReader::seek, nullptr) != MPG123_OK ||
        mpg123_open_handle(handle, file) != MPG123_OK) {
        mpg123_delete(handle);
        return nullptr;
    }
    return handle;
}

}  // namespace

Refusal open_mpeg(int fd, std::unique_ptr<Decoder>& decoder) {
    static std::once_flag init;
    std::call_once(init, [] { mpg123_init(); });

    // Each handle reads through its own descriptor and buffer.
    const int play_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::unique_ptr<FileReader> walk_file(new (std::nothrow) FileReader(fd));
    if (walk_file == nullptr) close(fd);
    if (play_fd == -1 || walk_file == nullptr) {
        if (play_fd != -1) close(play_fd);
        return Refusal::no_memory;
    }
    std::unique_ptr<FileReader> play_file(new (std::nothrow) FileReader(play_fd));
    if (play_file == nullptr) {
        close(play_fd);
        return Refusal::no_memory;
    }
    mpg123_handle* walk_handle = new_handle(walk_file.get());
    if (walk_handle == nullptr) return Refusal::not_sound;
    mpg123_handle* play_handle = new_handle(play_file.get());
    if (play_handle == nullptr) {
        delete_handle(walk_handle);
        return Refusal::not_sound;
    }
    auto mpeg = std::make_unique<MpegDecoder>(walk_handle, std::move(walk_file), play_handle, std::move(play_file));
    if (!mpeg->start()) return Refusal::not_sound;
    decoder = std::move(mpeg);
    return Refusal::none;
}

}  // namespace mci
