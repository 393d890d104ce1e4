// The least any player of an MP3 file can spend: libmpg123 decoding it to
// nothing, set up as Tamblo sets it up (quiet, ID3v2 tags skipped, gapless
// decoding off, signed 16-bit at the file's own rate and channel count) and
// read a quarter second at a time as Tamblo's playback thread reads it; no
// sound, no clock. Prints the frames decoded, so that a run that stopped
// early shows.
//   decode_only FILE
#include <mpg123.h>

#include <cstdint>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: decode_only FILE\n");
        return 2;
    }
    mpg123_init();
    int error = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    if (handle == nullptr) return 1;
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_SKIP_ID3V2, 0.0);
    mpg123_param(handle, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0.0);
    mpg123_format_none(handle);
    const long* rates = nullptr;
    std::size_t count = 0;
    mpg123_rates(&rates, &count);
    for (std::size_t i = 0; i < count; ++i) {
        mpg123_format(handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    }
    if (mpg123_open(handle, argv[1]) != MPG123_OK) {
        std::fprintf(stderr, "decode_only: %s does not open\n", argv[1]);
        mpg123_delete(handle);
        return 1;
    }
    // A quarter second of stereo at 44.1 kHz, as the player's chunk.
    const std::size_t kChunkFrames = 11025;
    std::vector<std::int16_t> samples(kChunkFrames * 2);
    unsigned long long bytes = 0;
    int channels = 2;
    int result = MPG123_OK;
    while (result != MPG123_DONE) {
        std::size_t done = 0;
        result = mpg123_read(handle, samples.data(), samples.size() * sizeof samples[0], &done);
        bytes += done;
        if (result == MPG123_NEW_FORMAT) {
            long rate = 0;
            int encoding = 0;
            mpg123_getformat(handle, &rate, &channels, &encoding);
        } else if (result != MPG123_OK && result != MPG123_DONE) {
            std::fprintf(stderr, "decode_only: %s\n", mpg123_strerror(handle));
            break;
        }
    }
    mpg123_close(handle);
    mpg123_delete(handle);
    if (result != MPG123_DONE) return 1;
    std::printf("%llu\n", bytes / (sizeof samples[0] * static_cast<unsigned>(channels)));
    return 0;
}
