// MPEG audio (MP3) through libmpg123: the handle that plays, the encoder's
// delay and padding cut, and changes of format midway.
#include <fcntl.h>
#include <mpg123.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "buffered_file.h"
#include "decoder.h"
#include "mpeg_walk.h"

namespace mci {
namespace {

void delete_handle(mpg123_handle* handle) {
    mpg123_close(handle);
    mpg123_delete(handle);
}

// The decoder's output starts 529 samples late (layer III's decoder delay);
// an encoder's tag counts its delay and padding without it, so the sound
// proper starts this much later and ends this much later than the tag says.
const std::uint64_t kDecoderDelay = 529;

// The encoder's delay and padding (the LAME tag: 1105 samples of silence,
// 25 ms, at the start of a lame file at 44.1 kHz, and up to a frame at its
// end) are cut here, not by libmpg123: its own gapless decoding trims by
// what the tag promises and so also trims the middle of a file joined from
// parts. The start is cut whenever a layer III file carries the tag, since
// the first sample cannot wait for the walk. The end is cut only when the
// walk finds the file as its tag describes it: exactly the frames the tag
// counts, of one rate and channel count, read to the end without fault. A
// truncated, damaged or joined file plays every frame from the tag's start
// to the file's end, and a file without the tag plays every frame.
class MpegDecoder final : public Decoder {
public:
    MpegDecoder(MpegHandle handle, std::unique_ptr<BufferedFile> file, long rate, int channels, const Tag& tag,
                std::unique_ptr<FrameWalk> walk)
        : file_(std::move(file)),
          handle_(std::move(handle)),
          walk_(std::move(walk)),
          tag_(tag),
          rate_(static_cast<unsigned>(rate)),
          channels_(static_cast<unsigned>(channels)) {}

    unsigned rate() const override { return rate_; }
    unsigned channels() const override { return channels_; }
    std::uint32_t length_ms() override { return walk_->result().length_ms; }

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
            if (first < tag_.begin) {
                skip = static_cast<std::size_t>(std::min<std::uint64_t>(got, tag_.begin - first));
                keep -= skip;
            }
            if (tag_.end_cut > 0 && keep > 0 && position_ + tag_.end_cut > tag_.samples) {
                // These may be the padding: they lie past where it starts
                // if the tag is right, which the walk tells. Up to there
                // nothing waits, whatever the walk finds: a file that
                // disagrees with its tag keeps every sample.
                const Walk walk = walk_->result();
                if (walk.trim_end && position_ > walk.end) {
                    keep -= static_cast<std::size_t>(std::min<std::uint64_t>(keep, position_ - walk.end));
                }
            }
            if (keep == 0) {
                // Delay still to skip goes on; past the padding is the end.
                if (first < tag_.begin) continue;
                return 0;
            }
            if (skip > 0) std::memmove(out, out + skip * channels_, keep * channels_ * sizeof *out);
            return keep;
        }
    }

    bool skip_to(std::uint32_t ms) override {
        // Offsets count the decoded samples, the encoder's delay included
        // (gapless decoding is off), as position_ does.
        const off_t target = static_cast<off_t>(tag_.begin + std::uint64_t{ms} * rate_ / 1000);
        const off_t reached = mpg123_seek(handle_.get(), target, SEEK_SET);
        if (reached < 0) return false;
        position_ = static_cast<std::uint64_t>(reached);
        format_changed_ = false;
        return take_format();
    }

private:
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
            const int result = mpg123_read(handle_.get(), out, fit, &done);
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
        if (mpg123_getformat(handle_.get(), &rate, &channels, &encoding) != MPG123_OK || rate <= 0 || channels <= 0) {
            return false;
        }
        rate_ = static_cast<unsigned>(rate);
        channels_ = static_cast<unsigned>(channels);
        return true;
    }

    std::unique_ptr<BufferedFile> file_;  // outlives the handle that reads it
    MpegHandle handle_;
    std::unique_ptr<FrameWalk> walk_;
    const Tag tag_;
    std::uint64_t position_ = 0;  // samples decoded so far, per channel
    bool format_changed_ = false;
    unsigned rate_;
    unsigned channels_;
};

// A handle reading `file`: quiet, tags skipped, every frame whole, signed
// 16-bit at the file's own rate and channel count. Null on failure.
MpegHandle new_handle(BufferedFile* file) {
    int error = MPG123_OK;
    MpegHandle handle(mpg123_new(nullptr, &error), delete_handle);
    if (handle == nullptr) return handle;
    // Quiet: the player prints nothing of its own. The tags are skipped, not
    // parsed: nothing here shows them, and a large picture costs time.
    // Gapless decoding off: the trimming is done above, by the walk's rules.
    mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_SKIP_ID3V2, 0.0);
    mpg123_param(handle.get(), MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0.0);
    // No resampling, and one format for the sound card.
    mpg123_format_none(handle.get());
    const long* rates = nullptr;
    std::size_t count = 0;
    mpg123_rates(&rates, &count);
    for (std::size_t i = 0; i < count; ++i) {
        mpg123_format(handle.get(), rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    }
    if (mpg123_replace_reader_handle(handle.get(), BufferedFile::read, BufferedFile::seek, nullptr) != MPG123_OK ||
        mpg123_open_handle(handle.get(), file) != MPG123_OK) {
        mpg123_delete(handle.release());
    }
    return handle;
}

// The encoder's tag of a layer III file, as the handle has read it with the
// first frame.
Tag read_tag(mpg123_handle* handle) {
    Tag tag;
    long delay = -1;
    long padding = -1;
    double unused = 0;
    mpg123_frameinfo frame;
    if (mpg123_info(handle, &frame) == MPG123_OK && frame.layer == 3 &&
        mpg123_getstate(handle, MPG123_ENC_DELAY, &delay, &unused) == MPG123_OK &&
        mpg123_getstate(handle, MPG123_ENC_PADDING, &padding, &unused) == MPG123_OK && delay >= 0 && padding >= 0) {
        tag.begin = static_cast<std::uint64_t>(delay) + kDecoderDelay;
        const std::uint64_t pad = static_cast<std::uint64_t>(padding);
        tag.end_cut = pad > kDecoderDelay ? pad - kDecoderDelay : 0;
        // With gapless decoding off, the length libmpg123 gives before any
        // scan is the tag's own count of frames times their samples.
        const off_t declared = mpg123_length(handle);
        tag.samples = declared > 0 ? static_cast<std::uint64_t>(declared) : 0;
    }
    return tag;
}

}  // namespace

// Two handles on one file: the play handle decodes from the start at once,
// while the walk handle reads every frame's header for the exact length once
// that is first needed, so that the first sample never waits for the walk.
Refusal open_mpeg(int fd, std::unique_ptr<Decoder>& decoder) {
    static std::once_flag init;
    std::call_once(init, [] { mpg123_init(); });

    // Each handle reads through its own descriptor and buffer.
    const int play_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::unique_ptr<BufferedFile> walk_file(new (std::nothrow) BufferedFile(fd));
    if (walk_file == nullptr) close(fd);
    if (play_fd == -1 || walk_file == nullptr) {
        if (play_fd != -1) close(play_fd);
        return Refusal::no_memory;
    }
    std::unique_ptr<BufferedFile> play_file(new (std::nothrow) BufferedFile(play_fd));
    if (play_file == nullptr) {
        close(play_fd);
        return Refusal::no_memory;
    }
    MpegHandle walk = new_handle(walk_file.get());
    MpegHandle play = new_handle(play_file.get());
    if (walk == nullptr || play == nullptr) return Refusal::not_sound;

    // The format, which both handles must agree on; reading it reads the
    // first frame.
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    long play_rate = 0;
    int play_channels = 0;
    if (mpg123_getformat(walk.get(), &rate, &channels, &encoding) != MPG123_OK || rate <= 0 || channels <= 0 ||
        encoding != MPG123_ENC_SIGNED_16 ||
        mpg123_getformat(play.get(), &play_rate, &play_channels, &encoding) != MPG123_OK || play_rate != rate ||
        play_channels != channels) {
        return Refusal::not_sound;
    }
    const Tag tag = read_tag(walk.get());
    auto frame_walk = std::make_unique<FrameWalk>(std::move(walk), std::move(walk_file), tag);
    decoder = std::make_unique<MpegDecoder>(std::move(play), std::move(play_file), rate, channels, tag,
                                            std::move(frame_walk));
    return Refusal::none;
}

}  // namespace mci
