// The playback device's own rules, against a recording MCI.
#include "playback/playback_device.h"

#include <gtest/gtest.h>

#include <string>

#include "recording_mci.h"

namespace {

HWND const kWindow = reinterpret_cast<HWND>(static_cast<DWORD_PTR>(0x1234));

class PlaybackDevice : public ::testing::Test {
protected:
    void SetUp() override {
        fake_mci::reset();
        current_device = 0;
    }
};

TEST_F(PlaybackDevice, OpensMp3OnMpegVideoAndPlaysWithNotification) {
    EXPECT_EQ(open_and_play("song.mp3", kWindow, 0), 0);
    ASSERT_EQ(fake_mci::calls.size(), 2u);

    const fake_mci::Call& open = fake_mci::calls[0];
    EXPECT_EQ(open.message, static_cast<UINT>(MCI_OPEN));
    EXPECT_EQ(open.device, 1u);  // the device it opened; the command went to 0
    EXPECT_EQ(open.flags, static_cast<DWORD_PTR>(MCI_OPEN_TYPE | MCI_OPEN_ELEMENT));
    EXPECT_EQ(open.flags, 0x2200u);
    EXPECT_EQ(open.type, "MPEGVideo");
    EXPECT_EQ(open.element, "song.mp3");

    const fake_mci::Call& play = fake_mci::calls[1];
    EXPECT_EQ(play.message, static_cast<UINT>(MCI_PLAY));
    EXPECT_EQ(play.device, 1u);
    EXPECT_EQ(play.flags, static_cast<DWORD_PTR>(MCI_NOTIFY));
    EXPECT_EQ(play.callback, reinterpret_cast<DWORD_PTR>(kWindow));
    EXPECT_EQ(play.from, 0u);
    EXPECT_EQ(current_device, 1u);
}

TEST_F(PlaybackDevice, ExtensionTableIsExactAndCaseSensitive) {
    struct Case {
        const char* name;
        const char* type;
    } accepted[] = {
        {"SONG.MP3", "MPEGVideo"},  {"song.wav", "waveaudio"},
        {"SONG.WAV", "waveaudio"},  {"a.b.mp3", "MPEGVideo"},  // the last '.' counts
        {"x.mp3.mp3", "MPEGVideo"}, {".mp3", "MPEGVideo"},
    };
    for (const Case& c : accepted) {
        fake_mci::reset();
        EXPECT_EQ(open_and_play(c.name, nullptr, 0), 0) << c.name;
        ASSERT_FALSE(fake_mci::calls.empty()) << c.name;
        EXPECT_EQ(fake_mci::calls[0].type, c.type) << c.name;
        EXPECT_EQ(fake_mci::calls[0].element, c.name) << c.name;
        close_track();
    }

    const std::string refused[] = {
        "song.Mp3",
        "song.mP3",
        "song.mp3x",
        "song.mp",
        "song.Wav",
        "song.",
        "song",
        "",
        "mp3",
        "a.mp3.txt",
        "song." + std::string(31, 'x'),
        "song." + std::string(32, 'x'),
        "song." + std::string(300, 'x'),
        std::string(300, 'y') + ".mp4",
    };
    fake_mci::reset();
    current_device = 0;
    for (const std::string& name : refused) {
        EXPECT_EQ(open_and_play(name.c_str(), kWindow, 0), -1) << name;
    }
    EXPECT_TRUE(fake_mci::calls.empty());
    EXPECT_EQ(current_device, 0u);
}

TEST_F(PlaybackDevice, RefusedNameLeavesTheCurrentDeviceAlone) {
    ASSERT_EQ(open_and_play("a.mp3", nullptr, 0), 0);
    EXPECT_EQ(open_and_play("b.ogg", nullptr, 0), -1);
    EXPECT_EQ(current_device, 1u);
    EXPECT_EQ(fake_mci::calls.size(), 2u);
}

TEST_F(PlaybackDevice, LengthIsWholeSecondsRoundedDown) {
    fake_mci::length_ms["a.mp3"] = 999;
    fake_mci::length_ms["b.mp3"] = 61999;
    fake_mci::length_ms["c.mp3"] = 4294967295u;

    open_and_play("a.mp3", nullptr, 0);
    EXPECT_EQ(track_length(), 0);
    const fake_mci::Call& status = fake_mci::calls.back();
    EXPECT_EQ(status.message, static_cast<UINT>(MCI_STATUS));
    EXPECT_EQ(status.flags, static_cast<DWORD_PTR>(MCI_STATUS_ITEM));
    EXPECT_EQ(status.device, 1u);
    close_track();

    open_and_play("b.mp3", nullptr, 0);
    EXPECT_EQ(track_length(), 61);
    close_track();

    // The largest answer still divides without sign trouble.
    open_and_play("c.mp3", nullptr, 0);
    EXPECT_EQ(track_length(), 4294967);
    close_track();
}

TEST_F(PlaybackDevice, FailedOpenLeavesNoDeviceAndNoLength) {
    fake_mci::length_ms["good.mp3"] = 5000;
    open_and_play("good.mp3", nullptr, 0);
    EXPECT_EQ(track_length(), 5);
    close_track();

    fake_mci::unopenable.insert("gone.mp3");
    EXPECT_EQ(open_and_play("gone.mp3", nullptr, 0), 0);  // sent, though it failed
    EXPECT_EQ(current_device, 0u);
    // The status goes to device 0, fails, and must not repeat the last answer.
    EXPECT_EQ(track_length(), 0);
    EXPECT_EQ(fake_mci::calls.back().device, 0u);
}

TEST_F(PlaybackDevice, CloseIsSentEvenWithoutADevice) {
    open_and_play("a.mp3", nullptr, 0);
    close_track();
    close_track();
    ASSERT_EQ(fake_mci::calls.size(), 4u);
    EXPECT_EQ(fake_mci::calls[2].message, static_cast<UINT>(MCI_CLOSE));
    EXPECT_EQ(fake_mci::calls[2].device, 1u);
    EXPECT_EQ(fake_mci::calls[2].flags, 0u);
    EXPECT_FALSE(fake_mci::calls[2].has_params);
    EXPECT_EQ(fake_mci::calls[3].message, static_cast<UINT>(MCI_CLOSE));
    EXPECT_EQ(fake_mci::calls[3].device, 0u);
    EXPECT_EQ(current_device, 0u);
}

}  // namespace
