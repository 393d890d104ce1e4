// MPEG audio (MP3) through libmpg123.
#include <mpg123.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "decoder.h"

namespace mci {
namespace {

class MpegDecoder final : public Decoder {
public:
    MpegDecoder(mpg123_handle* handle, int fd) : handle_(handle), fd_(fd) {}
    ~MpegDecoder() override {
        mpg123_close(handle_);
        mpg123_delete(handle_);
        close(fd_);
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
    int fd_;
    bool format_changed_ = false;
    unsigned rate_ = 0;
    unsigned channels_ = 0;
    DWORD length_ms_ = 0;
};

}  // namespace

MCIERROR open_mpeg(int fd, std::unique_ptr<Decoder>& decoder) {
    static std::once_flag init;
    std::call_once(init, [] { mpg123_init(); });

    int error = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    if (handle == nullptr) {
        close(fd);
        return MCIERR_OUT_OF_MEMORY;
    }
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
    if (mpg123_open_fd(handle, fd) != MPG123_OK) {
        mpg123_delete(handle);
        close(fd);
        return MCIERR_INVALID_FILE;
    }
    auto mpeg = std::make_unique<MpegDecoder>(handle, fd);
    if (!mpeg->start()) return MCIERR_INVALID_FILE;
    decoder = std::move(mpeg);
    return 0;
}

}  // namespace mci
