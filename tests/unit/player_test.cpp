// The player's rules against a fake clock, fake keys and a recording MCI:
// what each typed word does, the time display, the track loop's order and
// timing, and the commands the playback device sends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "playback/playback_device.h"
#include "player/command_reader.h"
#include "player/player.h"
#include "player/time_display.h"

// The platform as the tests script it: the clock moves only while the player
// waits for a key, a key is "hit" at each moment of `keys`, and every MCI
// command is written down as a line of `mci`.
namespace {
std::int64_t now_ms, limit_ms;
long waits;
std::vector<std::int64_t> keys;
std::vector<std::string> mci;
std::map<std::string, DWORD> lengths;  // a name not here fails to open
std::map<MCIDEVICEID, std::string> devices;
struct TimeUp {};
}  // namespace

bool key_hit() {
    if (keys.empty() || keys.front() > now_ms) return false;
    keys.erase(keys.begin());
    return true;
}
void wait_for_key(unsigned ms) {
    // A loop that stops waiting would never let the clock reach the limit.
    if (now_ms + ms > limit_ms || ++waits > 100000) throw TimeUp{};
    now_ms += ms;
}
std::int64_t clock_seconds() { return now_ms / 1000; }

MCIERROR WINAPI mciSendCommandA(MCIDEVICEID device, UINT message, DWORD_PTR, DWORD_PTR param) {
    std::string line = std::to_string(now_ms) + " ";
    if (message == MCI_OPEN) {
        auto& open = *reinterpret_cast<MCI_OPEN_PARMSA*>(param);
        line += std::string("open ") + open.lpstrDeviceType + " " + open.lpstrElementName;
        if (lengths.count(open.lpstrElementName) != 0) {
            open.wDeviceID = static_cast<MCIDEVICEID>(devices.size() + 1);
            devices[open.wDeviceID] = open.lpstrElementName;
        }
    } else if (message == MCI_PLAY) {
        line += "play " + std::to_string(device) + " window " +
                std::to_string(reinterpret_cast<MCI_PLAY_PARMS*>(param)->dwCallback);
    } else if (message == MCI_STATUS) {
        line += "length " + std::to_string(device);
        if (devices.count(device) != 0) reinterpret_cast<MCI_STATUS_PARMS*>(param)->dwReturn = lengths[devices[device]];
    } else if (message == MCI_CLOSE) {
        line += "close " + std::to_string(device);
    }
    mci.push_back(line);
    return devices.count(device) != 0 || message == MCI_OPEN ? 0 : MCIERR_INVALID_DEVICE_ID;
}

namespace {

// Runs `body` with standard input reading `typed`; returns what it printed
// and leaves in `rest` what it did not read.
template <typename Body>
std::string with_console(const std::string& typed, Body body, std::string* rest = nullptr) {
    FILE* in = std::tmpfile();
    FILE* out = std::tmpfile();
    std::fputs(typed.c_str(), in);
    std::fflush(in);
    EXPECT_NE(std::freopen(("/proc/self/fd/" + std::to_string(fileno(in))).c_str(), "rb", stdin), nullptr);
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(fileno(out), 1);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text, left;
    for (int c; (c = std::getchar()) != EOF;) left += static_cast<char>(c);
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    std::fclose(in);
    std::fclose(out);
    if (rest != nullptr) *rest = left;
    return text;
}

void reset_fakes() {
    now_ms = 0;
    limit_ms = 1000000;
    keys.clear();
    waits = 0;
    mci.clear();
    lengths.clear();
    devices.clear();
    current_device = 0;
}

TEST(CommandReader, EachWordItsCodeAndWhatItLeavesUnread) {
    struct Case {
        std::string typed;
        int code;
        std::string rest;
        std::string printed;
    };
    const std::string long_word(40, 'x');
    const Case cases[] = {
        {"next\n", kCodeNext, "\n", ""},
        {"n\n", kCodeNext, "\n", ""},
        {"  \t\nbefore x", kCodeBack, " x", ""},
        {"b\n", kCodeBack, "\n", ""},
        {"exit now\n", kCodeExit, " now\n", ""},
        {"ls\n", kCodeList, "\n", "\n"},
        {"time\n", kCodeTime, "\n", ""},
        {"loop\n", kCodeLoop, "\n", ""},
        {"0\n", kCodeTrack, "\n", ""},
        {"49\n", kCodeTrack + 49, "\n", ""},
        {"12abc\n", kCodeTrack + 12, "\n", ""},
        {"2147483637\n", kCodeTrack + 2147483637, "\n", ""},
        {"2147483638\n", kCodeNone, "\n", ""},
        {"99999999999999999999\n", kCodeNone, "\n", ""},
        {"nextx\n", kCodeNone, "\n", ""},
        {"LS\n", kCodeNone, "\n", ""},
        {"-1\n", kCodeNone, "\n", ""},
        {long_word + "exit next\n", kCodeNone, " next\n", ""},
        {"", kCodeNone, "", ""},
        {" \n ", kCodeNone, "", ""},
    };
    for (const Case& c : cases) {
        reset_fakes();
        int code = -99;
        std::string rest;
        EXPECT_EQ(with_console(c.typed, [&] { code = read_command(); }, &rest), c.printed) << c.typed;
        EXPECT_EQ(code, c.code) << c.typed;
        EXPECT_EQ(rest, c.rest) << c.typed;
        EXPECT_TRUE(mci.empty()) << c.typed;
    }
}

TEST(CommandReader, StopClosesTheTrackAndWaitsForTheNextLine) {
    reset_fakes();
    current_device = 3;
    int code = 0;
    std::string rest;
    with_console("stop\nxy\n", [&] { code = read_command(); }, &rest);
    EXPECT_EQ(code, kCodeNext);
    EXPECT_EQ(rest, "y\n");  // the line feed after the word, then one more character
    EXPECT_EQ(mci, std::vector<std::string>{"0 close 3"});
    EXPECT_EQ(current_device, 0u);
}

TEST(TimeDisplay, MinutesSecondsAndTheBar) {
    const int kCells = 30;
    const std::string full(kCells, '>'), empty(kCells, '.');
    const struct {
        int elapsed, length;
        std::string shown;
    } cases[] = {
        {0, 6, "\n0 min 0 s  / 0 min 6 s\n>" + empty.substr(1) + "\n"},
        {3, 6, "\n0 min 3 s  / 0 min 6 s\n" + full.substr(0, 16) + empty.substr(16) + "\n"},
        {7, 6, "\n0 min 7 s  / 0 min 6 s\n" + full + "\n"},
        {61, 3725, "\n1 min 1 s  / 62 min 5 s\n" + full.substr(0, 1) + empty.substr(1) + "\n"},
        {125, 250, "\n2 min 5 s  / 4 min 10 s\n" + full.substr(0, 16) + empty.substr(16) + "\n"},
        {1, 0, "\n0 min 1 s  / 0 min 0 s\n" + full + "\n"},
        {0, 0, "\n0 min 0 s  / 0 min 0 s\n" + empty + "\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(with_console("", [&] { show_time(c.elapsed, c.length); }), c.shown) << c.elapsed << "/" << c.length;
}

TEST(PlaybackDevice, SendsOpenPlayStatusCloseForKnownExtensionsOnly) {
    const HWND window = reinterpret_cast<HWND>(77);
    const struct {
        std::string name;
        int result;
        std::string open;  // the open line, empty when nothing is sent
    } cases[] = {
        {"a.mp3", 0, "open MPEGVideo a.mp3"},
        {"B.MP3", 0, "open MPEGVideo B.MP3"},
        {"a.b.wav", 0, "open waveaudio a.b.wav"},
        {"c.WAV", 0, "open waveaudio c.WAV"},
        {"d.Mp3", -1, ""},
        {"mp3", -1, ""},
        {"e.mp3.txt", -1, ""},
        {"f." + std::string(40, 'm'), -1, ""},
    };
    for (const auto& c : cases) {
        reset_fakes();
        lengths[c.name] = 2999;
        EXPECT_EQ(open_and_play(c.name.c_str(), window, 0), c.result) << c.name;
        if (c.open.empty()) {
            EXPECT_TRUE(mci.empty()) << c.name;
            continue;
        }
        EXPECT_EQ(track_length(), 2);
        close_track();
        EXPECT_EQ(mci, (std::vector<std::string>{"0 " + c.open, "0 play 1 window 77", "0 length 1", "0 close 1"}));
        EXPECT_EQ(current_device, 0u);
    }
    // A file that does not open: play, length and close go to no device,
    // and the length reads as none, not the last track's.
    reset_fakes();
    lengths["x.mp3"] = 5000;
    open_and_play("x.mp3", window, 0);
    EXPECT_EQ(track_length(), 5);
    close_track();
    EXPECT_EQ(open_and_play("gone.mp3", window, 0), 0);
    EXPECT_EQ(track_length(), 0);
    EXPECT_EQ(mci.back(), "0 length 0");
}

// The track loop over `count` tracks of `length_ms` each, with the lines of
// `typed` read at the key moments `at`, until it returns ("end") or the clock
// reaches `limit`. Gives the opened tracks with the time
// of each ("t1@2000"); the printed text goes to `printed`.
std::string run_loop(int count, DWORD length_ms, std::vector<std::int64_t> at, const std::string& typed,
                     bool loop = true, std::int64_t limit = 9000, std::string* printed = nullptr,
                     std::string* rest = nullptr) {
    reset_fakes();
    keys = std::move(at);
    limit_ms = limit;
    TrackList filelist;
    for (int i = 0; i < kListSize; ++i) {
        const std::string name = i < count ? "t" + std::to_string(i) + ".mp3" : kEndMarker;
        std::snprintf(filelist[i], kSlotSize, "%s", name.c_str());
        lengths[name] = length_ms;
    }
    int settei[2] = {loop ? 1 : 0, 0};
    int code = kCodeNone;
    std::string log;
    const std::string text = with_console(
        typed,
        [&] {
            try {
                track_loop(filelist, settei, reinterpret_cast<HWND>(5), count - 1, code);
                log = " end";
            } catch (TimeUp) {
            }
        },
        rest);
    if (printed != nullptr) *printed = text;
    std::string out;
    for (const std::string& line : mci) {
        const std::size_t at_end = line.find(' ');
        const std::string when = line.substr(0, at_end), what = line.substr(at_end + 1);
        if (what.rfind("open MPEGVideo ", 0) == 0) out += " " + what.substr(15, what.size() - 19) + "@" + when;
    }
    return (out + log).substr(1);
}

TEST(TrackLoop, OrderAndTimingOfTheTracks) {
    const struct {
        const char* what;
        int count;
        DWORD length_ms;
        std::vector<std::int64_t> at;
        std::string typed;
        bool loop;
        std::string played;
    } cases[] = {
        // A turn lasts the length plus a second, on whole clock seconds.
        {"advance and wrap", 3, 1000, {}, "", true, "t0@0 t1@2000 t2@4000 t0@6000 t1@8000"},
        {"loop off ends", 3, 1000, {}, "", false, "t0@0 t1@2000 t2@4000 end"},
        {"length in whole s", 2, 2999, {}, "", false, "t0@0 t1@3000 end"},
        {"a number", 3, 1000, {550}, "2\n", false, "t0@0 t2@600 end"},
        {"the end marker's number, loop on", 3, 1000, {500}, "3\n", true, "t0@0 t0@500 t1@2000 t2@4000 t0@6000 t1@8000"},
        {"the end marker's number, loop off", 3, 1000, {500}, "3\n", false, "t0@0 end"},
        {"past the list: track 0", 3, 1000, {500}, "7\n", false, "t0@0 t0@500 t1@2000 t2@4000 end"},
        {"past the slots: nothing", 3, 1000, {500}, "50\n", false, "t0@0 t1@2000 t2@4000 end"},
        {"next", 2, 5000, {500, 700}, "n next\n", false, "t0@0 t1@500 end"},
        {"back early: the previous", 3, 5000, {2900}, "b\n", false, "t0@0 t2@2900 end"},
        {"back late: this again", 3, 5000, {3000}, "b\n", false, "t0@0 t0@3000 t1@9000"},
        {"back counts from the track's start", 3, 9000, {1500, 3400}, "1\nbefore\n", false, "t0@0 t1@1500 t0@3400"},
        {"exit", 3, 1000, {500}, "exit\n", true, "t0@0 end"},
        {"loop toggles", 2, 1000, {500, 600}, "loop\nloop\n", false, "t0@0 t1@2000 end"},
        {"words that mean nothing", 2, 1000, {500}, "LS 99999999999 x\n", false, "t0@0 t1@2000 end"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run_loop(c.count, c.length_ms, c.at, c.typed, c.loop), c.played) << c.what;

    // A full list ends after its last slot, once a character is typed.
    std::string rest;
    EXPECT_EQ(run_loop(kListSize, 1000, {500}, "49\nxy", false, 9000, nullptr, &rest), "t0@0 t49@500 end");
    EXPECT_EQ(rest, "xy");
}

TEST(TrackLoop, StopClosesAndWaitsAndOtherWordsReprintThePrompt) {
    // stop closes the track itself; the loop's own close then goes to no device.
    run_loop(2, 5000, {500}, "stop\n\n", false, 1000);
    EXPECT_EQ(std::vector<std::string>(mci.begin() + 3, mci.end()),
              (std::vector<std::string>{"500 close 1", "500 close 0", "500 open MPEGVideo t1.mp3", "500 play 2 window 5",
                                        "500 length 2"}));
    EXPECT_EQ(mci[1], "0 play 1 window 5");

    std::string printed;
    run_loop(2, 6000, {500, 1500, 1600}, "ls\ntime\nloop\n", true, 2000, &printed);
    const std::string prompt = "\nTamblo0~ t0~$ ";
    EXPECT_EQ(printed, prompt + "\n0  | t0.mp3\n1  | t1.mp3\n" + prompt + "\n0 min 1 s  / 0 min 6 s\n" +
                           std::string(6, '>') + std::string(24, '.') + "\n" + prompt + prompt);
    // The exit word leaves the track playing: nothing is closed.
    run_loop(2, 5000, {500}, "exit\n", false);
    EXPECT_EQ(mci.back(), "0 length 1");
}

}  // namespace
