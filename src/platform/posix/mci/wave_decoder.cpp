// Wave audio (RIFF WAV and WAVE_FORMAT_EXTENSIBLE) through libsndfile,
// loaded when the first wave file is opened.
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <vector>

#include "decoder.h"
#include "library.h"

namespace mci {
namespace {

// libsndfile and the codec libraries it links (FLAC, Vorbis, Opus, lame's)
// are loaded by the first wave file (library.h): a run of MP3s never uses
// them. The package depends on it all the same.
#define TAMBLO_SNDFILE(X) X(sf_open_fd) X(sf_close) X(sf_readf_short) X(sf_readf_float) X(sf_seek)
struct Sndfile {
    TAMBLO_FUNCTIONS(TAMBLO_SNDFILE)
};

// The library's functions, or null when it cannot be loaded.
const Sndfile* sndfile() { return load_library<Sndfile>("libsndfile.so.1"); }

// A floating-point sample (full scale at 1.0) as a 16-bit one: rounded, with
// whatever lies beyond full scale clipped rather than wrapped round.
std::int16_t to_16_bits(float sample) {
    if (std::isnan(sample)) return 0;
    const float scaled = sample * 32768.0f;
    if (scaled >= 32767.0f) return 32767;
    if (scaled <= -32768.0f) return -32768;
    return static_cast<std::int16_t>(std::lrint(scaled));
}

class WaveDecoder final : public Decoder {
public:
    WaveDecoder(const Sndfile& sf, SNDFILE* file, int fd, const SF_INFO& info)
        : sf_(sf),
          file_(file),
          fd_(fd),
          rate_(static_cast<unsigned>(info.samplerate)),
          channels_(static_cast<unsigned>(info.channels)),
          length_ms_(static_cast<std::uint32_t>(static_cast<unsigned long long>(info.frames) * 1000ULL / rate_)),
          floating_((info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT ||
                    (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_DOUBLE) {}
    ~WaveDecoder() override {
        sf_.sf_close(file_);
        close(fd_);
    }
    WaveDecoder(const WaveDecoder&) = delete;
    WaveDecoder& operator=(const WaveDecoder&) = delete;

    unsigned rate() const override { return rate_; }
    unsigned channels() const override { return channels_; }
    std::uint32_t length_ms() override { return length_ms_; }

    std::size_t read(std::int16_t* out, std::size_t frames) override {
        if (!floating_) {
            const sf_count_t done = sf_.sf_readf_short(file_, out, static_cast<sf_count_t>(frames));
            return done > 0 ? static_cast<std::size_t>(done) : 0;
        }
        // libsndfile hands floating-point samples to a 16-bit reader without
        // scaling them (full scale, 1.0, comes out as 1 of 32767: the whole
        // track is silence) unless told to scale, and then it scales to the
        // file's own peak, changing its loudness. So they are read as they
        // are and converted here.
        floats_.resize(frames * channels_);
        const sf_count_t done = sf_.sf_readf_float(file_, floats_.data(), static_cast<sf_count_t>(frames));
        if (done <= 0) return 0;
        const std::size_t samples = static_cast<std::size_t>(done) * channels_;
        for (std::size_t i = 0; i < samples; ++i)
            out[i] = to_16_bits(floats_[i]);
        return static_cast<std::size_t>(done);
    }

    bool skip_to(std::uint32_t ms) override {
        return sf_.sf_seek(file_, static_cast<sf_count_t>(std::uint64_t{ms} * rate_ / 1000), SEEK_SET) >= 0;
    }

private:
    const Sndfile& sf_;
    SNDFILE* file_;
    int fd_;
    unsigned rate_;
    unsigned channels_;
    std::uint32_t length_ms_;
    bool floating_;
    std::vector<float> floats_;
};

}  // namespace

Refusal open_wave(int fd, std::unique_ptr<Decoder>& decoder) {
    const Sndfile* sf = sndfile();
    if (sf == nullptr) {
        close(fd);
        return Refusal::no_library;
    }
    SF_INFO info{};
    // The descriptor stays ours: told to close it, libsndfile also does so
    // when the open fails, and a second close here could hit a descriptor
    // that another thread has opened meanwhile.
    SNDFILE* file = sf->sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    if (file == nullptr) {
        close(fd);
        return Refusal::not_sound;
    }
    // libsndfile reads many formats (MP3, FLAC, AIFF...); the wave audio
    // device plays wave files only.
    const int container = info.format & SF_FORMAT_TYPEMASK;
    if ((container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX) || info.samplerate <= 0 || info.channels <= 0 ||
        info.frames <= 0) {
        sf->sf_close(file);
        close(fd);
        return Refusal::not_sound;
    }
    decoder = std::make_unique<WaveDecoder>(*sf, file, fd, info);
    return Refusal::none;
}

}  // namespace mci
