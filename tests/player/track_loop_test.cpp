// The track loop against a fake clock, scripted keys and a recording MCI.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "fake_console.h"
#include "playback/playback_device.h"
#include "player/player.h"
#include "recording_mci.h"

namespace {

// A second boundary on the fake clock, so that turns last whole seconds.
const std::int64_t kStart = 1700000000000;

std::string name_of(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "t%02d.mp3", i);
    return name;
}

std::string prompt(int i) { return "\nTamblo0~ " + name_of(i).substr(0, 3) + "~$ "; }

struct Opened {
    std::string element;
    std::int64_t at_ms;  // from the start
};

class TrackLoop : public ::testing::Test {
protected:
    void SetUp() override {
        fake_mci::reset();
        fake_mci::clock = &fake_console::now_ms;
        current_device = 0;
        fill(3);
        feed_stdin("");
    }
    void TearDown() override { fake_mci::clock = nullptr; }

    // Tracks t00.mp3 ... in slots 0 to n-1 and the end marker after them.
    void fill(int n) {
        tracks = n;
        for (int i = 0; i < n; ++i)
            std::snprintf(list[i], sizeof list[i], "%s", name_of(i).c_str());
        if (n < kListSize) std::snprintf(list[n], sizeof list[n], "%s", kEndMarker);
    }

    // Key presses at the given milliseconds after the start; the words come
    // from `input`.
    void type(std::vector<std::int64_t> at, const std::string& input) {
        for (std::int64_t& t : at)
            t += kStart;
        keys = std::move(at);
        feed_stdin(input);
    }

    // Runs the loop from the start for at most `seconds` of fake time.
    // True when it returned by itself.
    bool run(int seconds, std::int64_t offset_ms = 0) {
        fake_console::reset(kStart + offset_ms, kStart + seconds * 1000LL);
        fake_console::keys.assign(keys.begin(), keys.end());
        StdoutCapture capture;
        bool returned = false;
        try {
            EXPECT_EQ(track_loop(list, settei, nullptr, tracks - 1, code), 0);
            returned = true;
        } catch (const fake_console::TimeUp&) {
        }
        out = capture.finish();
        return returned;
    }

    std::vector<Opened> opened() const {
        std::vector<Opened> all;
        for (const fake_mci::Call& call : fake_mci::calls) {
            if (call.message == MCI_OPEN) all.push_back({call.element, call.at_ms - kStart});
        }
        return all;
    }

    std::vector<std::string> opened_names() const {
        std::vector<std::string> names;
        for (const Opened& o : opened())
            names.push_back(o.element);
        return names;
    }

    std::vector<std::string> names(std::initializer_list<int> indexes) const {
        std::vector<std::string> all;
        for (int i : indexes)
            all.push_back(name_of(i));
        return all;
    }

    TrackList list{};
    int tracks = 0;
    int settei[2] = {1, 0};
    int code = 0;
    std::vector<std::int64_t> keys;
    std::string out;
};

TEST_F(TrackLoop, PlaysInOrderAndWrapsWithLoopOn) {
    fake_mci::default_length_ms = 2500;  // 2 s: each turn lasts 3 s
    EXPECT_FALSE(run(20));
    const std::vector<Opened> all = opened();
    ASSERT_EQ(all.size(), 7u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].element, name_of(static_cast<int>(i % 3)));
        EXPECT_EQ(all[i].at_ms, static_cast<std::int64_t>(i) * 3000);
    }
    EXPECT_EQ(out, prompt(0) + prompt(1) + prompt(2) + prompt(0) + prompt(1) + prompt(2) + prompt(0));
    // Each track was closed before the next was opened.
    for (std::size_t i = 1; i < fake_mci::calls.size(); ++i) {
        if (fake_mci::calls[i].message == MCI_OPEN) {
            EXPECT_EQ(fake_mci::calls[i - 1].message, static_cast<UINT>(MCI_CLOSE));
        }
    }
    // The loop polls every 100 ms, not more often.
    EXPECT_EQ(fake_console::sleeps, 200);
}

TEST_F(TrackLoop, LoopOffEndsAfterTheLastTrack) {
    fake_mci::default_length_ms = 1000;
    type({500}, "loop\n");
    EXPECT_TRUE(run(60));
    EXPECT_EQ(opened_names(), names({0, 1, 2}));
    EXPECT_EQ(settei[0], 0);
    EXPECT_EQ(out, prompt(0) + prompt(0) + prompt(1) + prompt(2));
    EXPECT_TRUE(fake_mci::open_devices().empty());
    EXPECT_EQ(current_device, 0u);

    // Twice: on again.
    fake_mci::reset();
    fake_mci::default_length_ms = 1000;
    settei[0] = 1;
    type({500, 700}, "loop\nloop\n");
    EXPECT_FALSE(run(7));
    EXPECT_EQ(opened_names(), names({0, 1, 2, 0}));
}

TEST_F(TrackLoop, BackEarlyGoesToThePreviousTrackLateRestartsThisOne) {
    fake_mci::default_length_ms = 10000;
    // On track 0 within 3 s: the last track, whatever the loop flag.
    settei[0] = 0;
    type({1000}, "b\n");
    EXPECT_FALSE(run(5));
    EXPECT_EQ(opened_names(), names({0, 2}));

    // On track 1 after 3 s: track 1 again from its start.
    fake_mci::reset();
    fake_mci::default_length_ms = 10000;
    type({500, 4500}, "1\nbefore\n");
    EXPECT_FALSE(run(6));
    const std::vector<Opened> all = opened();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].element, name_of(1));
    EXPECT_EQ(all[1].at_ms, 500);
    EXPECT_EQ(all[2].element, name_of(1));
    EXPECT_EQ(all[2].at_ms, 4500);

    // On track 1 within 3 s: track 0.
    fake_mci::reset();
    fake_mci::default_length_ms = 10000;
    type({500, 2000}, "1\nb\n");
    EXPECT_FALSE(run(6));
    EXPECT_EQ(opened_names(), names({0, 1, 0}));
}

TEST_F(TrackLoop, NumbersChooseTheNextTrack) {
    fake_mci::default_length_ms = 10000;
    // 2, then the current track again, then 0.
    type({500, 1000, 1500}, "2\n2\n0\n");
    EXPECT_FALSE(run(3));
    EXPECT_EQ(opened_names(), names({0, 2, 2, 0}));
    // Track commands print nothing but the next prompt.
    EXPECT_EQ(out, prompt(0) + prompt(2) + prompt(2) + prompt(0));
}

TEST_F(TrackLoop, NumberOfTheEndMarkerFollowsTheLoopFlag) {
    fake_mci::default_length_ms = 10000;
    type({500}, "3\n");
    EXPECT_FALSE(run(3));
    EXPECT_EQ(opened_names(), names({0, 0}));

    fake_mci::reset();
    settei[0] = 0;
    type({500}, "3\n");
    EXPECT_TRUE(run(3));
    EXPECT_EQ(opened_names(), names({0}));
    EXPECT_TRUE(fake_mci::open_devices().empty());
}

TEST_F(TrackLoop, NumbersPastTheListPlayTrackZeroAndFiftyIsIgnored) {
    fake_mci::default_length_ms = 10000;
    settei[0] = 0;  // 4 to 49 play track 0 whatever the flag
    type({500, 1000, 1500}, "1\n4\n49\n");
    EXPECT_FALSE(run(3));
    EXPECT_EQ(opened_names(), names({0, 1, 0, 0}));

    // 50 and more, and words that mean nothing: no effect at all.
    fake_mci::reset();
    fake_mci::default_length_ms = 2000;
    settei[0] = 1;
    type({500, 1000, 1500}, "50\n999\nfoo\n");
    EXPECT_FALSE(run(5));
    const std::vector<Opened> all = opened();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].element, name_of(1));
    EXPECT_EQ(all[1].at_ms, 3000);
    EXPECT_EQ(out, prompt(0) + prompt(1));
}

TEST_F(TrackLoop, StopClosesAtOnceThenWaitsForALine) {
    fake_mci::default_length_ms = 10000;
    type({1000}, "stop\n\nnext\n");
    EXPECT_FALSE(run(3));
    // The reader closed device 1; the loop's own close then went to 0.
    std::vector<std::pair<UINT, MCIDEVICEID>> commands;
    for (const fake_mci::Call& call : fake_mci::calls)
        commands.emplace_back(call.message, call.device);
    const std::vector<std::pair<UINT, MCIDEVICEID>> expected = {
        {MCI_OPEN, 1},  {MCI_PLAY, 1}, {MCI_STATUS, 1}, {MCI_CLOSE, 1},
        {MCI_CLOSE, 0}, {MCI_OPEN, 2}, {MCI_PLAY, 2},   {MCI_STATUS, 2},
    };
    EXPECT_EQ(commands, expected);
    // Two characters were read: both line feeds; "next" waits.
    EXPECT_EQ(rest_of_stdin(), "next\n");
}

TEST_F(TrackLoop, ExitReturnsAtOnceWithTheTrackOpen) {
    fake_mci::default_length_ms = 10000;
    type({1000}, "exit\nnext\n");
    EXPECT_TRUE(run(3));
    EXPECT_EQ(fake_mci::open_devices().size(), 1u);
    EXPECT_EQ(current_device, 1u);
    EXPECT_NE(fake_mci::calls.back().message, static_cast<UINT>(MCI_CLOSE));
    EXPECT_EQ(out, prompt(0));
    EXPECT_EQ(fake_console::now_ms - kStart, 1000);
    close_track();
}

TEST_F(TrackLoop, FullListEndsAfterSlot49WithOneCharacterRead) {
    fill(kListSize);
    fake_mci::default_length_ms = 0;  // each turn lasts a second
    feed_stdin("\nrest");
    EXPECT_TRUE(run(100));
    const std::vector<Opened> all = opened();
    ASSERT_EQ(all.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(all[static_cast<std::size_t>(i)].element, name_of(i));
        EXPECT_EQ(all[static_cast<std::size_t>(i)].at_ms, i * 1000);
    }
    EXPECT_TRUE(fake_mci::open_devices().empty());
    // The final wait took the waiting line feed and nothing more.
    EXPECT_EQ(rest_of_stdin(), "rest");

    // Typing 49 jumps there; the line feed after it ends the final wait.
    fake_mci::reset();
    type({500}, "49\nmore");
    EXPECT_TRUE(run(100));
    EXPECT_EQ(opened_names(), std::vector<std::string>({name_of(0), name_of(49)}));
    EXPECT_EQ(rest_of_stdin(), "more");
}

TEST_F(TrackLoop, LengthZeroLastsUntilTheClockSecondMoves) {
    fake_mci::default_length_ms = 999;  // 0 s
    EXPECT_FALSE(run(3, 500));
    const std::vector<Opened> all = opened();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[0].at_ms, 500);
    EXPECT_EQ(all[1].at_ms, 1000);
    EXPECT_EQ(all[2].at_ms, 2000);
}

TEST_F(TrackLoop, TimeListAndLoopReprintThePrompt) {
    fill(16);
    fake_mci::length_ms[name_of(0)] = 200000;
    type({1500, 2000, 2500}, "time\nls\nloop\n");
    EXPECT_FALSE(run(4));
    std::string listing;
    for (int i = 0; i < 16; ++i) {
        if (i == 15) {
            char text[128];
            console_text(
                "\x91\xb1\x8d\x73\x82\xb7\x82\xe9\x82\xc9\x82\xcd\x89\xbd\x82\xa9\x83\x4c"
                "\x81\x5b\x82\xf0\x89\x9f\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2...\n",
                text, sizeof text);
            listing += text;
        }
        char line[64];
        std::snprintf(line, sizeof line, "%-2d | %s\n", i, name_of(i).c_str());
        listing += line;
    }
    // The pause before entry 15 took the line feed left after "ls".
    EXPECT_EQ(out, prompt(0) + "\n0 min 1 s  / 3 min 20 s\n>" + std::string(29, '.') + "\n" + prompt(0) + "\n" +
                       listing + prompt(0) + prompt(0));
    EXPECT_EQ(settei[0], 0);
    EXPECT_EQ(opened_names(), names({0}));
}

TEST_F(TrackLoop, UnplayableTrackStillGetsItsTurn) {
    std::snprintf(list[1], sizeof list[1], "%s", "odd.Mp3");
    fake_mci::unopenable.insert(name_of(2));
    fake_mci::default_length_ms = 1000;
    EXPECT_FALSE(run(5));
    EXPECT_EQ(out, prompt(0) + "\nTamblo0~ odd~$ " + prompt(2) + prompt(0));
    // The refused name sent nothing but its length query and close, to device
    // 0; the failed one, its open as well; each lasted a second.
    const std::vector<Opened> all = opened();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1].element, name_of(2));
    EXPECT_EQ(all[1].at_ms, 3000);
    EXPECT_EQ(all[2].at_ms, 4000);
}

}  // namespace
