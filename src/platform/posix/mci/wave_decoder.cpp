// Wave audio (RIFF WAV and WAVE_FORMAT_EXTENSIBLE) through libsndfile.
#include <sndfile.h>
#include <unistd.h>

#include "decoder.h"

namespace mci {
namespace {

class WaveDecoder final : public Decoder {
public:
    WaveDecoder(SNDFILE* file, const SF_INFO& info)
        : file_(file),
          rate_(static_cast<unsigned>(info.samplerate)),
          channels_(static_cast<unsigned>(info.channels)),
          length_ms_(static_cast<DWORD>(static_cast<unsigned long long>(info.frames) * 1000ULL / rate_)) {}
    ~WaveDecoder() override { sf_close(file_); }
    WaveDecoder(const WaveDecoder&) = delete;
    WaveDecoder& operator=(const WaveDecoder&) = delete;

    unsigned rate() const override { return rate_; }
    unsigned channels() const override { return channels_; }
    DWORD length_ms() const override { return length_ms_; }

    std::size_t read(std::int16_t* out, std::size_t frames) override {
        const sf_count_t done = sf_readf_short(file_, out, static_cast<sf_count_t>(frames));
        return done > 0 ? static_cast<std::size_t>(done) : 0;
    }

private:
    SNDFILE* file_;
    unsigned rate_;
    unsigned channels_;
    DWORD length_ms_;
};

}  // namespace

MCIERROR open_wave(int fd, std::unique_ptr<Decoder>& decoder) {
    SF_INFO info{};
    // libsndfile closes the descriptor with the file.
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (file == nullptr) {
        close(fd);
        return MCIERR_INVALID_FILE;
    }
    // libsndfile reads many formats (MP3, FLAC, AIFF...); the wave audio
    // device plays wave files only.
    const int container = info.format & SF_FORMAT_TYPEMASK;
    if ((container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX) || info.samplerate <= 0 || info.channels <= 0 ||
        info.frames <= 0) {
        sf_close(file);
        return MCIERR_INVALID_FILE;
    }
    // Floating-point samples beyond full scale are clipped, not wrapped round.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    decoder = std::make_unique<WaveDecoder>(file, info);
    return 0;
}

}  // namespace mci
