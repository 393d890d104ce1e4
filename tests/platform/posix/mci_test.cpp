// The MCI layer on POSIX against real files: lengths, the sound that reaches
// ALSA, timing of play and close, hostile names, bad commands, no sound card,
// and leaving the process with a device playing.
//
// The files and their reference decodes come from make_sounds.sh (a CTest
// fixture). ALSA reads the tests' own configuration: PCM "default" is ALSA's
// file plugin, writing everything played to $ALSA_CAPTURE_FILE, over the
// sink that $TAMBLO_TEST_SINK names: "fast" (null: takes everything at
// once), "paced" (our plugin in paced_pcm.cpp: takes frames in real time)
// or "missing" (a sound card that is not there).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "winapi.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kSounds = TAMBLO_TEST_SOUNDS;

std::string sound(const std::string& name) { return kSounds + "/" + name; }

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A fresh folder for one test's own files, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/tamblo-mci-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        if (path_.empty()) return;
        // Only plain entries are made here; a folder inside is removed empty.
        if (DIR* dir = opendir(path_.c_str())) {
            while (dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name == "." || name == "..") continue;
                const std::string full = path_ + "/" + name;
                if (unlink(full.c_str()) != 0) rmdir(full.c_str());
            }
            closedir(dir);
        }
        rmdir(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

// 16-bit PCM from a WAV file: the references and the captures.
struct Pcm {
    unsigned rate = 0;
    unsigned channels = 0;
    std::vector<std::int16_t> samples;
    std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
unsigned le16(const unsigned char* p) { return static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8; }

std::vector<unsigned char> read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads a 16-bit PCM WAV. The data chunk runs to the end of the file when its
// size is 0 or more than the file holds: ALSA's file plugin writes 0 there
// until its stream is closed.
::testing::AssertionResult read_wav(const std::string& path, Pcm& pcm) {
    const std::vector<unsigned char> bytes = read_all(path);
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(&bytes[8], "WAVE", 4) != 0) {
        return ::testing::AssertionFailure() << path << " is not a RIFF WAVE file";
    }
    bool have_format = false;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id(reinterpret_cast<const char*>(&bytes[at]), 4);
        std::size_t size = le32(&bytes[at + 4]);
        at += 8;
        if (id == "fmt " && size >= 16 && at + 16 <= bytes.size()) {
            const unsigned tag = le16(&bytes[at]);
            pcm.channels = le16(&bytes[at + 2]);
            pcm.rate = le32(&bytes[at + 4]);
            const unsigned bits = le16(&bytes[at + 14]);
            if (tag != 1 || bits != 16 || pcm.channels == 0) {
                return ::testing::AssertionFailure() << path << ": not 16-bit PCM";
            }
            have_format = true;
        } else if (id == "data") {
            if (!have_format) return ::testing::AssertionFailure() << path << ": data before fmt";
            if (size == 0 || size > bytes.size() - at) size = bytes.size() - at;
            pcm.samples.resize(size / 2);
            for (std::size_t i = 0; i < pcm.samples.size(); ++i) {
                pcm.samples[i] = static_cast<std::int16_t>(le16(&bytes[at + 2 * i]));
            }
            pcm.samples.resize(pcm.frames() * pcm.channels);
            return ::testing::AssertionSuccess();
        }
        at += size + (size & 1);
    }
    return ::testing::AssertionFailure() << path << ": no data chunk";
}

// The reference decode of a sound file (name.ref.wav beside name.mp3).
::testing::AssertionResult read_reference(const std::string& file, Pcm& pcm) {
    return read_wav(file.substr(0, file.size() - 4) + ".ref.wav", pcm);
}

// The length of a file's reference decode, in whole milliseconds.
DWORD_PTR reference_ms(const std::string& name) {
    Pcm reference;
    if (!read_reference(sound(name), reference) || reference.rate == 0) return 0;
    return reference.frames() * 1000 / reference.rate;
}

// True once ALSA's file plugin has closed `path`: it then writes the real
// size of the data chunk, 0 until then.
bool capture_closed(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[44] = {};
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return false;
    return std::memcmp(&header[36], "data", 4) == 0 && le32(&header[40]) != 0;
}

// Sample for sample within `tolerance`; the first frames only when `prefix`.
::testing::AssertionResult same_sound(const Pcm& got, const Pcm& want, int tolerance, bool prefix = false) {
    if (got.rate != want.rate || got.channels != want.channels) {
        return ::testing::AssertionFailure() << "format " << got.rate << " Hz x" << got.channels << ", expected "
                                             << want.rate << " Hz x" << want.channels;
    }
    if (prefix ? got.frames() > want.frames() : got.frames() != want.frames()) {
        return ::testing::AssertionFailure()
               << got.frames() << " frames, expected " << (prefix ? "at most " : "") << want.frames();
    }
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t i = 0; i < got.samples.size(); ++i) {
        if (std::abs(got.samples[i] - want.samples[i]) > tolerance) {
            if (differing++ == 0) first = i;
        }
    }
    if (differing != 0) {
        return ::testing::AssertionFailure()
               << differing << " of " << got.samples.size() << " samples differ by more than " << tolerance
               << "; the first at frame " << first / got.channels << ": " << got.samples[first] << " instead of "
               << want.samples[first];
    }
    return ::testing::AssertionSuccess();
}

// The commands as the player sends them.
const char* device_type(const std::string& path) {
    return path.size() >= 4 && path.compare(path.size() - 4, 4, ".wav") == 0 ? "waveaudio" : "MPEGVideo";
}

MCIERROR open_device(const char* type, const std::string& path, MCIDEVICEID& id) {
    MCI_OPEN_PARMSA parms{};
    parms.wDeviceID = id;
    parms.lpstrDeviceType = type;
    parms.lpstrElementName = path.c_str();
    const MCIERROR error =
        mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&parms));
    id = parms.wDeviceID;
    return error;
}

MCIERROR open_device(const std::string& path, MCIDEVICEID& id) { return open_device(device_type(path), path, id); }

MCIERROR play(MCIDEVICEID id) {
    MCI_PLAY_PARMS parms{};
    parms.dwCallback = 0x1234;  // a window handle; nothing is ever posted to it
    return mciSendCommandA(id, MCI_PLAY, MCI_NOTIFY, reinterpret_cast<DWORD_PTR>(&parms));
}

MCIERROR status(MCIDEVICEID id, DWORD item, DWORD_PTR& answer) {
    MCI_STATUS_PARMS parms{};
    parms.dwItem = item;
    parms.dwReturn = answer;
    const MCIERROR error = mciSendCommandA(id, MCI_STATUS, MCI_STATUS_ITEM, reinterpret_cast<DWORD_PTR>(&parms));
    answer = parms.dwReturn;
    return error;
}

MCIERROR length_ms(MCIDEVICEID id, DWORD_PTR& ms) { return status(id, MCI_STATUS_LENGTH, ms); }

MCIERROR close_device(MCIDEVICEID id) { return mciSendCommandA(id, MCI_CLOSE, 0, 0); }

bool is_mci_error(MCIERROR error) { return error >= MCIERR_BASE && error < MCIERR_BASE + 256; }

// Where the next stream goes. ALSA looks both up each time a PCM is opened.
void use_sink(const char* sink, const std::string& capture = "/dev/null") {
    setenv("TAMBLO_TEST_SINK", sink, 1);
    setenv("ALSA_CAPTURE_FILE", capture.c_str(), 1);
}

int open_descriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

// --- Lengths ---

struct LengthCase {
    const char* file;
    // Samples per frame of the format: the error allowed, since a length
    // read from the frames may keep or drop the encoder's padding. 0 for a
    // WAV, whose length is exact.
    unsigned frame_samples;
};

// Test names and failure messages show the file.
void PrintTo(const LengthCase& c, std::ostream* out) { *out << c.file; }

class MciLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(MciLength, IsTheReferenceDecodesLengthInMilliseconds) {
    const LengthCase& c = GetParam();
    Pcm reference;
    ASSERT_TRUE(read_reference(sound(c.file), reference));
    const double truth_ms = static_cast<double>(reference.frames()) * 1000.0 / reference.rate;
    // Whole milliseconds: allow one for the rounding on top of the frame.
    const double allowed_ms = static_cast<double>(c.frame_samples) * 1000.0 / reference.rate + 1.0;

    MCIDEVICEID id = 0;
    const auto start = Clock::now();
    ASSERT_EQ(open_device(sound(c.file), id), 0u);
    RecordProperty("open_ms", std::to_string(ms_since(start)));
    EXPECT_NE(id, 0u);
    DWORD_PTR ms = 0;
    EXPECT_EQ(length_ms(id, ms), 0u);
    RecordProperty("length_ms", std::to_string(ms));
    RecordProperty("truth_ms", std::to_string(truth_ms));
    EXPECT_NEAR(static_cast<double>(ms), truth_ms, allowed_ms)
        << c.file << ": " << reference.frames() << " frames at " << reference.rate << " Hz";
    EXPECT_EQ(close_device(id), 0u);
}

std::string case_name(const char* file) {
    std::string name = file;
    for (char& ch : name) {
        if (ch == '.') ch = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(
    Files, MciLength,
    ::testing::Values(LengthCase{"cbr.mp3", 1152}, LengthCase{"vbr_xing.mp3", 1152}, LengthCase{"vbr_noxing.mp3", 1152},
                      LengthCase{"mono_8k.mp3", 576}, LengthCase{"rate_48k.mp3", 1152}, LengthCase{"big_id3.mp3", 1152},
                      LengthCase{"truncated.mp3", 1152}, LengthCase{"long.mp3", 1152}, LengthCase{"pcm16.wav", 0},
                      LengthCase{"pcm24.wav", 0}, LengthCase{"float32.wav", 0}, LengthCase{"float64.wav", 0},
                      LengthCase{"float_loud.wav", 0}, LengthCase{"long_wave.wav", 0}),
    [](const ::testing::TestParamInfo<LengthCase>& param_info) { return case_name(param_info.param.file); });

// --- What is played ---

// How far a played sample may be from the reference: one step. The reference
// of a 24-bit or floating-point WAV is sox's rounding to 16 bits; libsndfile,
// which plays them, truncates 24-bit samples instead, and a tie may round
// either way. A wrong decode is thousands of steps off.
const int kTolerance = 1;

class MciPlay : public ::testing::TestWithParam<const char*> {};

TEST_P(MciPlay, SoundReachingAlsaIsTheReferenceDecode) {
    const std::string file = sound(GetParam());
    Pcm reference;
    ASSERT_TRUE(read_reference(file, reference));
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string capture = dir.file("capture.wav");
    use_sink("fast", capture);

    MCIDEVICEID id = 0;
    ASSERT_EQ(open_device(file, id), 0u);
    EXPECT_EQ(play(id), 0u);
    // The fast sink takes the whole track at once: the stream closes as soon
    // as it has been decoded, as at the end of any track.
    const auto start = Clock::now();
    while (!capture_closed(capture) && ms_since(start) < 20000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(capture_closed(capture)) << "the stream was not closed at the end of the track";
    EXPECT_EQ(close_device(id), 0u);

    Pcm captured;
    ASSERT_TRUE(read_wav(capture, captured));
    EXPECT_TRUE(same_sound(captured, reference, kTolerance));
}

INSTANTIATE_TEST_SUITE_P(Files, MciPlay,
                         ::testing::Values("cbr.mp3", "mono_8k.mp3", "vbr_xing.mp3", "vbr_noxing.mp3", "big_id3.mp3",
                                           "rate_48k.mp3", "truncated.mp3", "pcm16.wav", "pcm24.wav", "float32.wav",
                                           "float64.wav", "float_loud.wav"),
                         [](const ::testing::TestParamInfo<const char*>& param_info) {
                             return case_name(param_info.param);
                         });

// --- Timing against a sink that plays in real time ---

class MciTiming : public ::testing::TestWithParam<const char*> {};

TEST_P(MciTiming, PlayReturnsAtOnceAndCloseStopsTheSound) {
    const std::string file = sound(GetParam());
    Pcm reference;
    ASSERT_TRUE(read_reference(file, reference));
    ASSERT_GT(reference.frames(), 50u * reference.rate) << "the track should be long";
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string capture = dir.file("capture.wav");
    use_sink("paced", capture);

    MCIDEVICEID id = 0;
    ASSERT_EQ(open_device(file, id), 0u);
    auto start = Clock::now();
    EXPECT_EQ(play(id), 0u);
    const double play_ms = ms_since(start);
    RecordProperty("play_ms", std::to_string(play_ms));
    EXPECT_LT(play_ms, 50.0);

    // Long enough for the buffer to fill and the thread to wait on the sink.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_FALSE(capture_closed(capture)) << "the stream ended long before the track";

    start = Clock::now();
    EXPECT_EQ(close_device(id), 0u);
    const double close_ms = ms_since(start);
    RecordProperty("close_ms", std::to_string(close_ms));
    EXPECT_LT(close_ms, 200.0);

    // What was written is the start of the track, and little more than the
    // time it ran plus the half-second buffer.
    Pcm captured;
    ASSERT_TRUE(read_wav(capture, captured));
    RecordProperty("captured_ms", std::to_string(captured.frames() * 1000 / captured.rate));
    EXPECT_GT(captured.frames(), reference.rate / 2);
    EXPECT_LT(captured.frames(), 3u * reference.rate);
    EXPECT_TRUE(same_sound(captured, reference, kTolerance, true));
    // And the layer stopped writing at the close.
    const std::size_t size = read_all(capture).size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(read_all(capture).size(), size);
}

INSTANTIATE_TEST_SUITE_P(Files, MciTiming, ::testing::Values("long.mp3", "long_wave.wav"),
                         [](const ::testing::TestParamInfo<const char*>& param_info) {
                             return case_name(param_info.param);
                         });

// Two devices playing at once, each on its own thread and stream, while the
// caller keeps asking them for their lengths.
TEST(MciConcurrency, TwoDevicesPlayAtOnceAndCloseAtOnce) {
    use_sink("paced", "/dev/null");
    MCIDEVICEID mpeg = 0;
    MCIDEVICEID wave = 0;
    ASSERT_EQ(open_device(sound("long.mp3"), mpeg), 0u);
    ASSERT_EQ(open_device(sound("long_wave.wav"), wave), 0u);
    EXPECT_EQ(play(mpeg), 0u);
    EXPECT_EQ(play(wave), 0u);
    EXPECT_EQ(play(mpeg), 0u);  // playing again changes nothing
    const auto start = Clock::now();
    while (ms_since(start) < 600) {
        DWORD_PTR ms = 0;
        EXPECT_EQ(length_ms(mpeg, ms), 0u);
        EXPECT_EQ(ms, reference_ms("long.mp3"));
        EXPECT_EQ(length_ms(wave, ms), 0u);
        EXPECT_EQ(ms, reference_ms("long_wave.wav"));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto closing = Clock::now();
    EXPECT_EQ(close_device(wave), 0u);
    EXPECT_LT(ms_since(closing), 200.0);
    closing = Clock::now();
    EXPECT_EQ(close_device(mpeg), 0u);
    EXPECT_LT(ms_since(closing), 200.0);
}

// The user skipping through tracks: close comes while the thread is still
// opening the decoder's first chunk or the sound card, not waiting on it.
TEST(MciConcurrency, CloseRightAfterPlayNeverHangs) {
    for (const char* sink : {"paced", "fast", "missing"}) {
        use_sink(sink, "/dev/null");
        for (int i = 0; i < 15; ++i) {
            const std::string file = sound(i % 2 == 0 ? "long.mp3" : "long_wave.wav");
            MCIDEVICEID id = 0;
            ASSERT_EQ(open_device(file, id), 0u) << sink << " " << i;
            EXPECT_EQ(id, 1u) << sink << " " << i;
            EXPECT_EQ(play(id), 0u);
            if (i % 3 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(i));
            const auto start = Clock::now();
            EXPECT_EQ(close_device(id), 0u);
            EXPECT_LT(ms_since(start), 200.0) << sink << " " << i;
        }
    }
}

// A track shorter than the sink's buffer never fills it: it must still be
// started, heard to its end, and closed when the clock has played it.
TEST(MciShortTrack, PlaysToItsEndOnARealTimeSink) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string capture = dir.file("capture.wav");
    use_sink("paced", capture);
    Pcm reference;
    ASSERT_TRUE(read_wav(sound("short.ref.wav"), reference));

    MCIDEVICEID id = 0;
    ASSERT_EQ(open_device(sound("short.mp3"), id), 0u);
    const auto start = Clock::now();
    EXPECT_EQ(play(id), 0u);
    while (!capture_closed(capture) && ms_since(start) < 5000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double ended_ms = ms_since(start);
    const double track_ms = static_cast<double>(reference.frames()) * 1000.0 / reference.rate;
    RecordProperty("ended_ms", std::to_string(ended_ms));
    EXPECT_TRUE(capture_closed(capture));
    // Not before the sink has played it, and not a buffer's wait later.
    EXPECT_GT(ended_ms, track_ms - 20);
    EXPECT_LT(ended_ms, track_ms + 400);
    EXPECT_EQ(close_device(id), 0u);
    Pcm captured;
    ASSERT_TRUE(read_wav(capture, captured));
    EXPECT_TRUE(same_sound(captured, reference, kTolerance));
}

// --- Hostile names ---

struct Hostile {
    std::string name;
    const char* type;
};

TEST(MciHostileFiles, AreRefusedAtOnceWithoutADevice) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    // No writer ever opens the FIFO: a blocking open would wait forever.
    ASSERT_EQ(mkfifo(dir.file("fifo.mp3").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("zero.mp3").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("zero.wav").c_str()), 0);
    std::ofstream(dir.file("empty.mp3")).flush();
    std::ofstream(dir.file("empty.wav")).flush();
    {
        std::ofstream text(dir.file("text.mp3"));
        for (int i = 0; i < 400; ++i)
            text << "line " << i << ": not a sound at all\n";
    }
    ASSERT_EQ(link(dir.file("text.mp3").c_str(), dir.file("text.wav").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("folder.mp3").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("folder.wav").c_str(), 0700), 0);
    // The other kind's file under a name the device accepts.
    ASSERT_EQ(symlink(sound("pcm16.wav").c_str(), dir.file("wave.mp3").c_str()), 0);
    ASSERT_EQ(symlink(sound("cbr.mp3").c_str(), dir.file("mpeg.wav").c_str()), 0);

    const Hostile cases[] = {{"fifo.mp3", "MPEGVideo"},    {"fifo.wav", "waveaudio"},   {"zero.mp3", "MPEGVideo"},
                             {"zero.wav", "waveaudio"},    {"empty.mp3", "MPEGVideo"},  {"empty.wav", "waveaudio"},
                             {"text.mp3", "MPEGVideo"},    {"text.wav", "waveaudio"},   {"folder.mp3", "MPEGVideo"},
                             {"folder.wav", "waveaudio"},  {"wave.mp3", "MPEGVideo"},   {"mpeg.wav", "waveaudio"},
                             {"missing.mp3", "MPEGVideo"}, {"missing.wav", "waveaudio"}};
    const int descriptors = open_descriptors();
    for (const Hostile& c : cases) {
        MCIDEVICEID id = 0xBEEF;
        const auto start = Clock::now();
        const MCIERROR error = open_device(c.type, dir.file(c.name), id);
        const double open_ms = ms_since(start);
        EXPECT_TRUE(is_mci_error(error)) << c.name << ": " << error;
        EXPECT_EQ(id, 0xBEEFu) << c.name << ": a device id was handed out";
        EXPECT_LT(open_ms, 1000.0) << c.name;
        if (error == 0 && id != 0xBEEF) close_device(id);
    }
    EXPECT_EQ(open_descriptors(), descriptors) << "a refused file left a descriptor open";

    // Nothing refused took an identifier.
    MCIDEVICEID id = 0;
    ASSERT_EQ(open_device(sound("cbr.mp3"), id), 0u);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(close_device(id), 0u);
}

TEST(MciHostileFiles, MissingFileIsFileNotFound) {
    MCIDEVICEID id = 0;
    EXPECT_EQ(open_device("MPEGVideo", "/nonexistent/tamblo/none.mp3", id),
              static_cast<MCIERROR>(MCIERR_FILE_NOT_FOUND));
    EXPECT_EQ(id, 0u);
}

// --- Commands ---

TEST(MciCommands, UnknownDeviceTypeIsInvalidDeviceName) {
    for (const char* type : {"cdaudio", "avivideo", "", "MPEGVide", "waveaudio2"}) {
        MCIDEVICEID id = 0;
        EXPECT_EQ(open_device(type, sound("cbr.mp3"), id), static_cast<MCIERROR>(MCIERR_INVALID_DEVICE_NAME)) << type;
        EXPECT_EQ(id, 0u) << type;
    }
}

TEST(MciCommands, DeviceTypesIgnoreLetterCase) {
    MCIDEVICEID id = 0;
    ASSERT_EQ(open_device("mpegvideo", sound("cbr.mp3"), id), 0u);
    EXPECT_EQ(close_device(id), 0u);
    ASSERT_EQ(open_device("WaveAudio", sound("pcm16.wav"), id), 0u);
    EXPECT_EQ(close_device(id), 0u);
}

TEST(MciCommands, IdsStartAtOneAndCloseTwiceIsRefused) {
    MCIDEVICEID first = 0;
    MCIDEVICEID second = 0;
    ASSERT_EQ(open_device(sound("short.mp3"), first), 0u);
    ASSERT_EQ(open_device(sound("pcm16.wav"), second), 0u);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    DWORD_PTR mpeg_ms = 0;
    DWORD_PTR wave_ms = 0;
    EXPECT_EQ(length_ms(first, mpeg_ms), 0u);
    EXPECT_EQ(length_ms(second, wave_ms), 0u);
    // Each device answers for its own file.
    EXPECT_LT(mpeg_ms, 300u);
    EXPECT_EQ(wave_ms, 3000u);

    EXPECT_EQ(close_device(first), 0u);
    EXPECT_EQ(close_device(first), static_cast<MCIERROR>(MCIERR_INVALID_DEVICE_ID));
    EXPECT_EQ(play(first), static_cast<MCIERROR>(MCIERR_INVALID_DEVICE_ID));
    EXPECT_EQ(close_device(second), 0u);
    EXPECT_EQ(close_device(second), static_cast<MCIERROR>(MCIERR_INVALID_DEVICE_ID));
}

TEST(MciCommands, UnknownDeviceIdsAreRefusedAndHarmNoOne) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    use_sink("paced", dir.file("capture.wav"));
    MCIDEVICEID id = 0;
    ASSERT_EQ(open_device(sound("long.mp3"), id), 0u);
    ASSERT_EQ(play(id), 0u);
    DWORD_PTR before = 0;
    ASSERT_EQ(length_ms(id, before), 0u);

    const MCIERROR invalid = MCIERR_INVALID_DEVICE_ID;
    for (MCIDEVICEID other : {0u, id + 1, 0xFFFFu, 0xFFFFFFFFu}) {
        DWORD_PTR answer = 4321;
        EXPECT_EQ(play(other), invalid) << other;
        EXPECT_EQ(length_ms(other, answer), invalid) << other;
        EXPECT_EQ(close_device(other), invalid) << other;
    }
    // The open device is still there, playing.
    DWORD_PTR after = 0;
    EXPECT_EQ(length_ms(id, after), 0u);
    EXPECT_EQ(after, before);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(capture_closed(dir.file("capture.wav")));
    EXPECT_EQ(close_device(id), 0u);
    Pcm captured;
    ASSERT_TRUE(read_wav(dir.file("capture.wav"), captured));
    EXPECT_GT(captured.frames(), 0u);
}

TEST(MciCommands, UnsupportedCommandsAndItemsAreErrors) {
    MCIDEVICEID id = 0;
    ASSERT_EQ(open_device(sound("cbr.mp3"), id), 0u);
    MCI_PLAY_PARMS play_parms{};
    for (UINT message : {static_cast<UINT>(MCI_STOP), 0x0809u /* pause */, 0x0807u /* seek */, 0x0999u}) {
        EXPECT_TRUE(is_mci_error(mciSendCommandA(id, message, 0, reinterpret_cast<DWORD_PTR>(&play_parms))))
            << std::hex << message;
    }
    for (DWORD item : {static_cast<DWORD>(MCI_STATUS_POSITION), static_cast<DWORD>(MCI_STATUS_MODE), 0x4000u}) {
        DWORD_PTR answer = 0;
        EXPECT_TRUE(is_mci_error(status(id, item, answer))) << item;
    }
    // Status without an item, or without its record.
    MCI_STATUS_PARMS status_parms{};
    status_parms.dwItem = MCI_STATUS_LENGTH;
    EXPECT_TRUE(is_mci_error(mciSendCommandA(id, MCI_STATUS, 0, reinterpret_cast<DWORD_PTR>(&status_parms))));
    EXPECT_TRUE(is_mci_error(mciSendCommandA(id, MCI_STATUS, MCI_STATUS_ITEM, 0)));
    // Play from a position, or to the end with waiting, is not offered.
    EXPECT_TRUE(is_mci_error(mciSendCommandA(id, MCI_PLAY, MCI_WAIT, reinterpret_cast<DWORD_PTR>(&play_parms))));
    // Open without its record, or without a type or an element.
    EXPECT_TRUE(is_mci_error(mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_ELEMENT, 0)));
    MCI_OPEN_PARMSA open_parms{};
    open_parms.lpstrDeviceType = "MPEGVideo";
    const std::string element = sound("cbr.mp3");
    open_parms.lpstrElementName = element.c_str();
    EXPECT_TRUE(is_mci_error(mciSendCommandA(0, MCI_OPEN, MCI_OPEN_ELEMENT, reinterpret_cast<DWORD_PTR>(&open_parms))));
    EXPECT_TRUE(is_mci_error(mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE, reinterpret_cast<DWORD_PTR>(&open_parms))));
    EXPECT_EQ(open_parms.wDeviceID, 0u);

    // None of it disturbed the device.
    DWORD_PTR ms = 0;
    EXPECT_EQ(length_ms(id, ms), 0u);
    EXPECT_GT(ms, 2900u);
    EXPECT_EQ(close_device(id), 0u);
}

// --- No sound card ---

// Sends fds 1 and 2 into a file while it lives; whatever the code under test
// prints there is read back afterwards.
class Silence {
public:
    explicit Silence(const std::string& path) : path_(path) {
        std::fflush(stdout);
        std::fflush(stderr);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
    }
    ~Silence() { restore(); }
    Silence(const Silence&) = delete;
    Silence& operator=(const Silence&) = delete;

    std::string restore() {
        if (saved_out_ != -1) {
            std::fflush(stdout);
            std::fflush(stderr);
            dup2(saved_out_, 1);
            dup2(saved_err_, 2);
            close(saved_out_);
            close(saved_err_);
            saved_out_ = saved_err_ = -1;
        }
        const std::vector<unsigned char> bytes = read_all(path_);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    std::string path_;
    int saved_out_ = -1;
    int saved_err_ = -1;
};

TEST(MciNoSoundCard, TracksOpenPlayAndCloseInSilence) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    use_sink("missing", dir.file("capture.wav"));
    struct Result {
        MCIERROR open, length, play, close;
        DWORD_PTR ms;
        double play_ms, close_ms;
    };
    const char* files[] = {"cbr.mp3", "pcm16.wav"};
    Result results[2] = {};
    Silence silence(dir.file("printed.txt"));
    for (int i = 0; i < 2; ++i) {
        Result& r = results[i];
        MCIDEVICEID id = 0;
        r.open = open_device(sound(files[i]), id);
        r.length = length_ms(id, r.ms);
        auto start = Clock::now();
        r.play = play(id);
        r.play_ms = ms_since(start);
        // Give the thread the time to try the card and give up.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        start = Clock::now();
        r.close = close_device(id);
        r.close_ms = ms_since(start);
    }
    const std::string printed = silence.restore();
    EXPECT_EQ(printed, "") << "printed on stdout or stderr";
    for (int i = 0; i < 2; ++i) {
        const Result& r = results[i];
        EXPECT_EQ(r.open, 0u) << files[i];
        EXPECT_EQ(r.length, 0u) << files[i];
        EXPECT_EQ(r.play, 0u) << files[i];
        EXPECT_EQ(r.close, 0u) << files[i];
        EXPECT_LT(r.play_ms, 50.0) << files[i];
        EXPECT_LT(r.close_ms, 200.0) << files[i];
    }
    // The true lengths, sound card or not.
    EXPECT_EQ(results[0].ms, reference_ms(files[0]));
    EXPECT_EQ(results[1].ms, reference_ms(files[1]));
}

// A damaged MP3 still opens and plays to its end, and nothing is said about
// the damage: libmpg123 reports it on standard error unless kept quiet.
TEST(MciDamagedFile, PlaysWithoutAWord) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string capture = dir.file("capture.wav");
    use_sink("fast", capture);
    MCIERROR opened = 0;
    MCIERROR played = 0;
    MCIERROR closed = 0;
    DWORD_PTR ms = 0;
    bool ended = false;
    Silence silence(dir.file("printed.txt"));
    MCIDEVICEID id = 0;
    opened = open_device(sound("damaged.mp3"), id);
    length_ms(id, ms);
    played = play(id);
    const auto start = Clock::now();
    while (!(ended = capture_closed(capture)) && ms_since(start) < 20000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    closed = close_device(id);
    EXPECT_EQ(silence.restore(), "") << "printed on stdout or stderr";
    EXPECT_EQ(opened, 0u);
    EXPECT_EQ(played, 0u);
    EXPECT_EQ(closed, 0u);
    EXPECT_TRUE(ended);
    // Two frames or so are lost with the damage, not the track.
    EXPECT_GT(ms, 2500u);
    EXPECT_LE(ms, 3000u);
}

// --- Leaving the process with a device playing ---

// Runs this program again with `args` and collects what it prints.
struct Child {
    int status = -1;
    bool finished = false;
    double ms = 0;
    std::string out;
};

Child run_child(const std::vector<std::string>& args, const std::string& dir) {
    Child child;
    std::vector<char*> argv;
    std::string self = "/proc/self/exe";
    argv.push_back(self.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const std::string out_path = dir + "/child.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const auto start = Clock::now();
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return child;
    while (ms_since(start) < 20000) {
        const pid_t done = waitpid(pid, &child.status, WNOHANG);
        if (done == pid) {
            child.finished = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    child.ms = ms_since(start);
    if (!child.finished) {
        kill(pid, SIGKILL);
        waitpid(pid, &child.status, 0);
    }
    const std::vector<unsigned char> bytes = read_all(out_path);
    child.out.assign(bytes.begin(), bytes.end());
    return child;
}

TEST(MciExit, ProcessEndsCleanlyWithDevicesStillOpen) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    for (const char* sink : {"paced", "fast", "missing"}) {
        const Child child =
            run_child({"--exit-while-playing", sink, sound("long.mp3"), sound("long_wave.wav")}, dir.file(""));
        RecordProperty(std::string("exit_ms_") + sink, std::to_string(child.ms));
        ASSERT_TRUE(child.finished) << sink << ": the process did not end";
        ASSERT_TRUE(WIFEXITED(child.status)) << sink << ": ended by signal " << WTERMSIG(child.status);
        EXPECT_EQ(WEXITSTATUS(child.status), 0) << sink;
        EXPECT_EQ(child.out, "") << sink;
        // It stopped the sound rather than playing the minute out.
        EXPECT_LT(child.ms, 5000.0) << sink;
    }
}

// The child's side: opens and plays both files, opens the first once more
// without playing it, and returns from main. Exit status 3 when any command
// failed, so that the parent can tell a failed setup from an unclean exit.
int exit_while_playing(const char* sink, const char* mpeg, const char* wave) {
    use_sink(sink, "/dev/null");
    MCIDEVICEID a = 0;
    MCIDEVICEID b = 0;
    MCIDEVICEID c = 0;
    if (open_device(mpeg, a) != 0 || open_device(wave, b) != 0 || open_device(mpeg, c) != 0) return 3;
    if (play(a) != 0 || play(b) != 0) return 3;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any ALSA call: ALSA reads its configuration once, from here.
    setenv("ALSA_CONFIG_PATH", TAMBLO_TEST_ALSA_CONF, 0);
    if (argc == 5 && std::strcmp(argv[1], "--exit-while-playing") == 0) {
        return exit_while_playing(argv[2], argv[3], argv[4]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
