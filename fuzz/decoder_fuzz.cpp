// Fuzzes the MPEG and wave audio devices with arbitrary file contents: the
// file is opened, its length asked and a little of it decoded, first through
// the decoders themselves and then through mciSendCommandA.
//
// A file must either be refused with an MCI error or give a decoder with a
// format the sound card can take, whose reads never deliver more than asked
// (each read's buffer is exactly as large as the current format needs, so
// ASan sees any write beyond it); the MCI commands must agree with the
// decoder on whether the file opens and on its length.
#include <mpg123.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "decoder.h"
#include "winapi.h"

namespace {

// Reads of several sizes, in turn: the fewest a reader may ask (a frame of
// any format a stream may change to fits), an MPEG frame's worth,
// less and more.
const std::size_t kReadFrames[] = {2, 1152, 1000, 4096, 333};
// Far more than any input of a few kilobytes holds; a bound all the same.
const std::size_t kMaxFrames = 1 << 20;
// The most samples per channel in one MPEG frame.
const double kMpegFrameSamples = 1152;

// libsndfile takes no more channels than this.
const unsigned kMaxChannels = 1024;

struct Kind {
    const char* device_type;
    MCIERROR (*open)(int, std::unique_ptr<mci::Decoder>&);
    bool mpeg;
};

const Kind kKinds[] = {{"MPEGVideo", mci::open_mpeg, true}, {"waveaudio", mci::open_wave, false}};

[[noreturn]] void fail(const char* kind, const char* what, unsigned long long value) {
    std::fprintf(stderr, "decoder_fuzz: %s: %s (%llu)\n", kind, what, value);
    std::abort();
}

bool mpeg_rate(unsigned rate) {
    const long* rates = nullptr;
    std::size_t count = 0;
    mpg123_rates(&rates, &count);
    for (std::size_t i = 0; i < count; ++i) {
        if (rates[i] == static_cast<long>(rate)) return true;
    }
    return false;
}

void check_format(const Kind& kind, const mci::Decoder& decoder) {
    if (decoder.rate() == 0) fail(kind.device_type, "no sample rate", 0);
    if (decoder.channels() == 0) fail(kind.device_type, "no channels", 0);
    if (kind.mpeg) {
        if (decoder.channels() > 2)
            fail(kind.device_type, "MPEG audio with more than two channels", decoder.channels());
        if (!mpeg_rate(decoder.rate())) fail(kind.device_type, "a rate MPEG audio does not have", decoder.rate());
    } else if (decoder.channels() > kMaxChannels) {
        fail(kind.device_type, "more channels than libsndfile takes", decoder.channels());
    }
}

bool refusal(MCIERROR error) { return error == MCIERR_INVALID_FILE || error == MCIERR_OUT_OF_MEMORY; }

// Opens `path` as the decoders do; the length, or -1 when refused.
long long decode(const Kind& kind, const char* path, bool empty) {
    MCIERROR error = 0;
    const int fd = mci::open_sound_file(path, error);
    if (empty) {
        // Nothing to play: refused before any decoder sees it.
        if (fd != -1 || error != MCIERR_INVALID_FILE) fail(kind.device_type, "an empty file was not refused", error);
        return -1;
    }
    if (fd == -1) fail(kind.device_type, "a regular file could not be opened", error);

    std::unique_ptr<mci::Decoder> decoder;
    error = kind.open(fd, decoder);
    if (error != 0) {
        if (!refusal(error)) fail(kind.device_type, "refused with an unexpected error", error);
        if (decoder) fail(kind.device_type, "refused yet gave a decoder", error);
        return -1;
    }
    if (!decoder) fail(kind.device_type, "opened without a decoder", 0);
    check_format(kind, *decoder);
    const long long length = decoder->length_ms();
    const unsigned rate = decoder->rate();
    const unsigned channels = decoder->channels();

    double decoded_ms = 0;  // each read at its own rate
    std::size_t total = 0;
    bool ended = false;
    for (std::size_t i = 0; total < kMaxFrames && !ended; ++i) {
        const std::size_t frames = kReadFrames[i % (sizeof kReadFrames / sizeof kReadFrames[0])];
        // Sized for the format as it stands before the read, as the playback
        // thread sizes its buffer.
        const std::size_t samples = frames * decoder->channels();
        std::unique_ptr<std::int16_t[]> out(new std::int16_t[samples]);
        const std::size_t done = decoder->read(out.get(), frames);
        if (done > frames) fail(kind.device_type, "a read gave more frames than asked", done);
        check_format(kind, *decoder);
        if (!kind.mpeg && (decoder->rate() != rate || decoder->channels() != channels)) {
            fail(kind.device_type, "a wave file changed its format", decoder->rate());
        }
        total += done;
        decoded_ms += 1000.0 * static_cast<double>(done) / decoder->rate();
        ended = done == 0;
    }
    // Read to its end, a file has given no more sound than its length says:
    // the player gives a track its length, and samples taken for the wrong
    // format would come out longer. The length is cut to whole milliseconds;
    // an MPEG stream may end in a frame that its scan did not count whole.
    const double slack_ms = 1 + (kind.mpeg ? 1000.0 * kMpegFrameSamples / decoder->rate() : 0.0);
    if (ended && decoded_ms > static_cast<double>(length) + slack_ms) {
        fail(kind.device_type, "decoded more sound than the length", static_cast<unsigned long long>(decoded_ms));
    }
    if (static_cast<long long>(decoder->length_ms()) != length) fail(kind.device_type, "the length changed", length);
    return length;
}

// The same file through the MCI commands: open, status length, close.
void command(const Kind& kind, const char* path, long long length) {
    std::string type = kind.device_type;
    std::string element = path;
    MCI_OPEN_PARMSA open{};
    open.lpstrDeviceType = type.c_str();
    open.lpstrElementName = element.c_str();
    const MCIERROR opened =
        mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&open));
    if (length < 0) {
        if (opened == 0) fail(kind.device_type, "the device opened a file that the decoder refused", open.wDeviceID);
        return;
    }
    if (opened != 0) fail(kind.device_type, "the device refused a file that the decoder opened", opened);
    if (open.wDeviceID == 0) fail(kind.device_type, "opened as device 0", 0);

    MCI_STATUS_PARMS status{};
    status.dwItem = MCI_STATUS_LENGTH;
    const MCIERROR asked =
        mciSendCommandA(open.wDeviceID, MCI_STATUS, MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&status));
    if (asked != 0) fail(kind.device_type, "the length query failed", asked);
    if (static_cast<long long>(status.dwReturn) != length) {
        fail(kind.device_type, "the device's length differs from the decoder's", status.dwReturn);
    }
    if (mciSendCommandA(open.wDeviceID, MCI_CLOSE, 0, 0) != 0) fail(kind.device_type, "close failed", 0);
    if (mciSendCommandA(open.wDeviceID, MCI_STATUS, MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&status)) !=
        MCIERR_INVALID_DEVICE_ID) {
        fail(kind.device_type, "the device answered after its close", open.wDeviceID);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The file lives in memory; the decoders open it by name like any other.
    static const int file = memfd_create("decoder_fuzz", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(file);
    if (file == -1 || ftruncate(file, 0) == -1) std::abort();
    if (size > 0 && pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

    for (const Kind& kind : kKinds) {
        const long long length = decode(kind, path.c_str(), size == 0);
        command(kind, path.c_str(), length);
    }
    return 0;
}
