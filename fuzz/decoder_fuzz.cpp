// Arbitrary file contents for the MPEG and wave audio devices. A file must be
// refused as not sound, or give a decoder of a format the sound
// card takes whose reads never deliver more than asked (each read's buffer is
// exactly what the current format needs, so ASan sees any write past it) and,
// read to the end, no more sound than its length; the MCI commands must agree
// with the decoder on the open and the length.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "decoder.h"
#include "winapi.h"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "decoder_fuzz: %s\n", what);
    std::abort();
}

using Open = mci::Refusal (*)(int, std::unique_ptr<mci::Decoder>&);

long long decode(Open open, const char* path) {
    mci::Refusal refusal = mci::Refusal::none;
    const int fd = mci::open_sound_file(path, refusal);
    if (fd == -1) return -1;
    std::unique_ptr<mci::Decoder> decoder;
    refusal = open(fd, decoder);
    check((refusal == mci::Refusal::none) == (decoder != nullptr) &&
              (refusal == mci::Refusal::none || refusal == mci::Refusal::not_sound),
          "open's answer");
    if (refusal != mci::Refusal::none) return -1;
    const long long length = decoder->length_ms();
    // Reads of several sizes, down to the fewest a reader may ask.
    const std::size_t sizes[] = {2, 1152, 1000, 4096, 333};
    double decoded_ms = 0;
    long long runs = 1;
    for (std::size_t i = 0, done = 1, rate = decoder->rate(); done > 0 && decoded_ms < 1e7; ++i) {
        const std::size_t frames = sizes[i % 5];
        std::vector<std::int16_t> out(frames * decoder->channels());
        done = decoder->read(out.data(), frames);
        check(done <= frames, "a read gave more than asked");
        check(decoder->rate() > 0 && decoder->channels() >= 1 && decoder->channels() <= 1024, "a format with no sound");
        decoded_ms += 1000.0 * static_cast<double>(done) / decoder->rate();
        runs += decoder->rate() != rate;
        rate = decoder->rate();
    }
    // The length is cut to whole milliseconds once per run of one rate.
    check(decoded_ms < static_cast<double>(length + runs), "more sound than the length");
    return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The file lives in memory; the decoders open it by name like any other.
    static const int file = memfd_create("decoder_fuzz", MFD_CLOEXEC);
    static std::string path = "/proc/self/fd/" + std::to_string(file);
    if (file == -1 || ftruncate(file, 0) == -1 || pwrite(file, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    for (const mci::DeviceKind& kind : mci::kDeviceKinds) {
        const long long length = decode(kind.open, path.c_str());
        MCI_OPEN_PARMSA open{};
        std::string type = kind.type;
        open.lpstrDeviceType = type.data();
        open.lpstrElementName = path.data();
        const MCIERROR opened =
            mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&open));
        check((opened == 0) == (length >= 0), "the device and the decoder disagree on the open");
        if (opened != 0) continue;
        MCI_STATUS_PARMS status{};
        status.dwItem = MCI_STATUS_LENGTH;
        mciSendCommandA(open.wDeviceID, MCI_STATUS, MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&status));
        check(static_cast<long long>(status.dwReturn) == length, "the device's length is not the decoder's");
        check(mciSendCommandA(open.wDeviceID, MCI_CLOSE, 0, 0) == 0, "close failed");
    }
    return 0;
}
