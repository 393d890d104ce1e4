// The least a player that goes through ALSA can do: open PCM "default" as
// both players do, set 16-bit stereo at 44.1 kHz with a fifth of a second of
// buffer, and write noise at -6 dBFS at once, nothing decoded, nothing
// printed; then drain. Its first sound and its peak memory are what the
// sound path alone costs (ALSA's configuration, the sound server's client
// and its libraries, the C library), which Tamblo and mpg123 both pay.
//   alsa_floor SECONDS
#include <alsa/asoundlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "noise.h"

namespace {
const unsigned kRate = 44100;
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::atoi(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: alsa_floor SECONDS\n");
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0 ||
        snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 2, kRate, 1, 200000) < 0) {
        std::fprintf(stderr, "alsa_floor: no sound device\n");
        return 1;
    }
    // A tenth of a second of white noise, written over and over.
    static std::int16_t noise[kRate / 10 * 2];
    fill_noise(noise);
    for (int i = 0; i < seconds * 10; ++i) {
        snd_pcm_sframes_t written = snd_pcm_writei(pcm, noise, kRate / 10);
        if (written < 0 && snd_pcm_recover(pcm, static_cast<int>(written), 1) < 0) break;
    }
    snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
    return 0;
}
