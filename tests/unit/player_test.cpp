// The player's rules against a fake clock, fake keys and a recording MCI:
// what each typed word does, the time display, the track loop's order and
// timing, and the commands the playback device sends.
#include "player/player.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "playback/playback_device.h"
#include "player/command_reader.h"
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

bool key_hit() { return !keys.empty() && keys.front() <= now_ms && (keys.erase(keys.begin()), true); }
void wait_for_key(unsigned, std::int64_t second) {
    // As on POSIX: until the next key or the given second. A loop that asks
    // for a second already come would spin, and never reach the limit.
    if (!keys.empty() && keys.front() <= now_ms) return;
    std::int64_t until = second * 1000;
    if (!keys.empty() && keys.front() < until) until = keys.front();
    if (until > limit_ms || until <= now_ms || ++waits > 100000) throw TimeUp{};
    now_ms = until;
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

// Runs `body` with standard input reading `typed`; returns what it printed,
// and in `rest` what it left unread.
template <typename Body>
std::string with_console(const std::string& typed, Body body, std::string* rest = nullptr) {
    FILE* in = std::tmpfile();
    std::fputs(typed.c_str(), in);
    std::fflush(in);
    EXPECT_TRUE(std::freopen(("/proc/self/fd/" + std::to_string(fileno(in))).c_str(), "rb", stdin));
    testing::internal::CaptureStdout();  // the descriptor, which the console writes to
    body();
    const std::string text = testing::internal::GetCapturedStdout();
    for (int c; rest != nullptr && (c = std::getchar()) != EOF;)
        *rest += static_cast<char>(c);
    std::fclose(in);
    return text;
}

void reset_fakes() {
    now_ms = waits = 0;
    limit_ms = 9000;
    keys.clear();
    mci.clear();
    lengths.clear();
    devices.clear();
    current_device = 0;
}

TEST(CommandReader, EachWordItsCodeAndWhatItLeavesUnread) {
    const struct {
        std::string typed;
        int code;
        std::string rest;
    } cases[] = {
        {"next\n", kCodeNext, "\n"},
        {"n\n", kCodeNext, "\n"},
        {"  \t\nbefore x", kCodeBack, " x"},
        {"b\n", kCodeBack, "\n"},
        {"exit now\n", kCodeExit, " now\n"},
        {"ls\n", kCodeList, "\n"},
        {"time\n", kCodeTime, "\n"},
        {"loop\n", kCodeLoop, "\n"},
        {"0\n", kCodeTrack, "\n"},
        {"49\n", kCodeTrack + 49, "\n"},
        {"12abc\n", kCodeTrack + 12, "\n"},
        {"2147483637\n", kCodeTrack + 2147483637, "\n"},
        {"2147483638\n", kCodeNone, "\n"},
        {"99999999999999999999\n", kCodeNone, "\n"},
        {"nextx\n", kCodeNone, "\n"},
        {"LS\n", kCodeNone, "\n"},
        {"-1\n", kCodeNone, "\n"},
        {std::string(40, 'x') + "exit next\n", kCodeNone, " next\n"},
        {"", kCodeNone, ""},
        {" \n ", kCodeNone, ""},
    };
    for (const auto& c : cases) {
        reset_fakes();
        int code = -99;
        std::string rest;
        EXPECT_EQ(with_console(
                      c.typed, [&] { code = read_command(); }, &rest),
                  c.code == kCodeList ? "\n" : "");
        EXPECT_EQ(code, c.code) << c.typed;
        EXPECT_EQ(rest, c.rest) << c.typed;
        EXPECT_TRUE(mci.empty()) << c.typed;
    }
    // stop closes the track, then takes the line feed after the word and
    // the first character of the next line.
    current_device = 3;
    std::string rest;
    with_console(
        "stop\nxy\n", [] { EXPECT_EQ(read_command(), kCodeNext); }, &rest);
    EXPECT_EQ(rest, "y\n");
    EXPECT_EQ(mci, std::vector<std::string>{"0 close 3"});
    EXPECT_EQ(current_device, 0u);
}

TEST(TimeDisplay, MinutesSecondsAndTheBar) {
    const auto bar = [](int full) { return std::string(full, '>') + std::string(kBarCells - full, '.') + "\n"; };
    const struct {
        int elapsed, length;
        std::string shown;
    } cases[] = {
        {0, 6, "\n0 min 0 s  / 0 min 6 s\n" + bar(1)},
        {3, 6, "\n0 min 3 s  / 0 min 6 s\n" + bar(16)},
        {7, 6, "\n0 min 7 s  / 0 min 6 s\n" + bar(kBarCells)},
        {61, 3725, "\n1 min 1 s  / 62 min 5 s\n" + bar(1)},
        {125, 250, "\n2 min 5 s  / 4 min 10 s\n" + bar(16)},
        // No length: every cell, or none when nothing has elapsed either.
        {1, 0, "\n0 min 1 s  / 0 min 0 s\n" + bar(kBarCells)},
        {0, 0, "\n0 min 0 s  / 0 min 0 s\n" + bar(0)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(with_console("", [&] { show_time(c.elapsed, c.length); }), c.shown) << c.elapsed << "/" << c.length;
}

TEST(Console, PrintsTextLongerThanItsBufferWhole) {
    const std::string name(3000, 'x');
    EXPECT_EQ(with_console("", [&] { print("%s|%-2d|", name.c_str(), 7); }), name + "|7 |");
}

TEST(PlaybackDevice, SendsOpenPlayStatusCloseForKnownExtensionsOnly) {
    const HWND window = reinterpret_cast<HWND>(77);
    const std::pair<std::string, std::string> cases[] = {
        {"a.mp3", "MPEGVideo"},
        {"B.MP3", "MPEGVideo"},
        {"a.b.wav", "waveaudio"},
        {"c.WAV", "waveaudio"},
        {"d.Mp3", ""},
        {"mp3", ""},
        {"e.mp3.txt", ""},
        {"f." + std::string(40, 'm'), ""},
    };
    for (const auto& [name, type] : cases) {
        reset_fakes();
        lengths[name] = 2999;
        EXPECT_EQ(open_and_play(name.c_str(), window, 0), type.empty() ? -1 : 0) << name;
        if (type.empty()) {
            EXPECT_TRUE(mci.empty()) << name;
            continue;
        }
        EXPECT_EQ(track_length(), 2);
        close_track();
        EXPECT_EQ(mci, (std::vector<std::string>{"0 open " + type + " " + name, "0 play 1 window 77", "0 length 1",
                                                 "0 close 1"}));
        EXPECT_EQ(current_device, 0u);
    }
    // A file that does not open: the length reads as none, not the last track's.
    open_and_play("c.WAV", window, 0);
    close_track();
    EXPECT_EQ(open_and_play("gone.mp3", window, 0), 0);
    EXPECT_EQ(track_length(), 0);
    EXPECT_EQ(mci.back(), "0 length 0");
}

// The track loop over `count` tracks of `length_ms` each, the lines of
// `typed` read at the key moments `at`, until it returns ("end") or the clock
// reaches its limit. Gives the tracks opened and when ("t1@2000").
std::string run_loop(int count, DWORD length_ms, std::vector<std::int64_t> at, const std::string& typed, bool loop,
                     std::string* rest = nullptr) {
    reset_fakes();
    keys = std::move(at);
    TrackList filelist;
    for (int i = 0; i < kListSize; ++i) {
        const std::string name = i < count ? "t" + std::to_string(i) + ".mp3" : kEndMarker;
        std::snprintf(filelist[i], kSlotSize, "%s", name.c_str());
        lengths[name] = length_ms;
    }
    int settei[2] = {loop ? 1 : 0, 0};
    int code = kCodeNone;
    std::string played;
    with_console(
        typed,
        [&] {
            try {
                track_loop(filelist, settei, reinterpret_cast<HWND>(5), count - 1, code);
                played = " end";
            } catch (TimeUp) {
            }
        },
        rest);
    std::string opened;
    for (const std::string& line : mci) {
        const std::size_t at_open = line.find(" open MPEGVideo ");
        if (at_open != std::string::npos)
            opened += " " + line.substr(at_open + 16, line.size() - at_open - 20) + "@" + line.substr(0, at_open);
    }
    return (opened + played).substr(1);
}

TEST(TrackLoop, OrderAndTimingOfTheTracks) {
    const struct {
        int count;
        DWORD length_ms;
        std::vector<std::int64_t> at;
        std::string typed;
        bool loop;
        std::string played;
    } cases[] = {
        // A turn lasts the length plus a second, on whole clock seconds;
        // commands take effect when they come.
        {3, 1000, {}, "", true, "t0@0 t1@2000 t2@4000 t0@6000 t1@8000"},
        {3, 1000, {}, "", false, "t0@0 t1@2000 t2@4000 end"},
        {2, 2999, {}, "", false, "t0@0 t1@3000 end"},
        {3, 1000, {550}, "2\n", false, "t0@0 t2@550 end"},
        {3, 1000, {500}, "3\n", true, "t0@0 t0@500 t1@2000 t2@4000 t0@6000 t1@8000"},
        // Past the list, the track after the end marker is track 0.
        {3, 1000, {500}, "7\n", false, "t0@0 t0@500 t1@2000 t2@4000 end"},
        {3, 1000, {500}, "50\n", false, "t0@0 t1@2000 t2@4000 end"},
        // Back: the previous track within 3 clock seconds of the track's
        // start, this one again from then on.
        {3, 5000, {2900}, "b\n", false, "t0@0 t2@2900 end"},
        {3, 5000, {3000}, "b\n", false, "t0@0 t0@3000 t1@9000"},
        {3, 9000, {1500, 3400}, "1\nbefore\n", false, "t0@0 t1@1500 t0@3400"},
        {2, 1000, {500, 600}, "loop\nloop\n", false, "t0@0 t1@2000 end"},
        {2, 1000, {500}, "loop\n", false, "t0@0 t1@2000 t0@4000 t1@6000 t0@8000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run_loop(c.count, c.length_ms, c.at, c.typed, c.loop), c.played) << c.typed;

    // A full list ends after its last slot, once a character is typed.
    std::string rest;
    EXPECT_EQ(run_loop(kListSize, 1000, {500}, "49\nxy", false, &rest), "t0@0 t49@500 end");
    EXPECT_EQ(rest, "xy");

    // stop closes the track itself; the loop's own close then goes to no
    // device. Play gets the console window.
    run_loop(2, 5000, {500}, "stop\n\n", false);
    EXPECT_EQ(std::vector<std::string>(mci.begin(), mci.begin() + 7),
              (std::vector<std::string>{"0 open MPEGVideo t0.mp3", "0 play 1 window 5", "0 length 1", "500 close 1",
                                        "500 close 0", "500 open MPEGVideo t1.mp3", "500 play 2 window 5"}));
    // exit leaves the track playing: nothing is closed.
    run_loop(2, 5000, {500}, "exit\n", false);
    EXPECT_EQ(mci.back(), "0 length 1");
}

}  // namespace
