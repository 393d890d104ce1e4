// The command reader: words to codes, and what it leaves in standard input.
#include "player/command_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_console.h"
#include "playback/playback_device.h"
#include "recording_mci.h"

namespace {

int code_of(const std::string& input) {
    feed_stdin(input);
    return read_command();
}

TEST(CommandReader, WordsGiveTheirCodes) {
    EXPECT_EQ(code_of("next\n"), 1);
    EXPECT_EQ(code_of("n\n"), 1);
    EXPECT_EQ(code_of("before\n"), -1);
    EXPECT_EQ(code_of("b\n"), -1);
    EXPECT_EQ(code_of("exit\n"), 2);
    EXPECT_EQ(code_of("time\n"), 4);
    EXPECT_EQ(code_of("loop\n"), 5);
    // Exact and case-sensitive.
    EXPECT_EQ(code_of("Next\n"), 0);
    EXPECT_EQ(code_of("LS\n"), 0);
    EXPECT_EQ(code_of("x\n"), 0);
    EXPECT_EQ(code_of("nextt\n"), 0);
    EXPECT_EQ(code_of("stopp\n"), 0);
}

TEST(CommandReader, NumbersGiveTrackCodes) {
    EXPECT_EQ(code_of("0\n"), 10);
    EXPECT_EQ(code_of("7\n"), 17);
    EXPECT_EQ(code_of("007\n"), 17);
    EXPECT_EQ(code_of("12abc\n"), 22);
    EXPECT_EQ(code_of("49\n"), 59);
    EXPECT_EQ(code_of("50\n"), 60);
    EXPECT_EQ(code_of("-1\n"), 0);
    EXPECT_EQ(code_of("+3\n"), 0);
    // Too large for an int, even before the 10 is added: nothing.
    EXPECT_EQ(code_of("2147483637\n"), 2147483647);
    EXPECT_EQ(code_of("2147483638\n"), 0);
    EXPECT_EQ(code_of("99999999999999999999\n"), 0);
}

TEST(CommandReader, ListPrintsALineFeed) {
    feed_stdin("ls\n");
    StdoutCapture capture;
    EXPECT_EQ(read_command(), 3);
    EXPECT_EQ(capture.finish(), "\n");
    // Nothing else prints anything.
    feed_stdin("next time 5 x\n");
    StdoutCapture quiet;
    for (int i = 0; i < 4; ++i)
        read_command();
    EXPECT_EQ(quiet.finish(), "");
}

TEST(CommandReader, OneWordAtATimeLeavingTheRestInInput) {
    feed_stdin("next time\n");
    EXPECT_EQ(read_command(), 1);
    EXPECT_EQ(rest_of_stdin(), " time\n");

    // Empty lines and blanks before a word are skipped.
    feed_stdin("\n\n   \t\n  b\nrest");
    EXPECT_EQ(read_command(), -1);
    EXPECT_EQ(rest_of_stdin(), "\nrest");
}

TEST(CommandReader, LongWordIsReadWholeAndJudgedByItsStart) {
    // 31 bytes are kept; the rest of the word is not left to be read later.
    feed_stdin(std::string(1000, 'x') + " next\n");
    EXPECT_EQ(read_command(), 0);
    EXPECT_EQ(read_command(), 1);

    feed_stdin("12" + std::string(40, '9') + "\n");
    EXPECT_EQ(read_command(), 0);
    EXPECT_EQ(rest_of_stdin(), "\n");

    // A number cut at 31 digits would be too large anyway; a word of exactly
    // 31 bytes is whole.
    feed_stdin(std::string(30, '0') + "5\n");
    EXPECT_EQ(read_command(), 15);
}

TEST(CommandReader, EndOfInputGivesNothing) {
    feed_stdin("");
    EXPECT_EQ(read_command(), 0);
    feed_stdin("  \n\n");
    EXPECT_EQ(read_command(), 0);
    // Binary bytes are just a word that means nothing.
    feed_stdin(std::string("\x01\xff\x80", 3) + "\n");
    EXPECT_EQ(read_command(), 0);
}

TEST(CommandReader, StopClosesTheTrackAndWaitsForTheNextLine) {
    fake_mci::reset();
    ASSERT_EQ(open_and_play("a.mp3", nullptr, 0), 0);
    ASSERT_EQ(current_device, 1u);

    feed_stdin("stop\nxyz\nnext\n");
    EXPECT_EQ(read_command(), 1);
    EXPECT_EQ(current_device, 0u);
    EXPECT_TRUE(fake_mci::open_devices().empty());
    ASSERT_FALSE(fake_mci::calls.empty());
    EXPECT_EQ(fake_mci::calls.back().message, static_cast<UINT>(MCI_CLOSE));
    EXPECT_EQ(fake_mci::calls.back().device, 1u);
    // Two characters were taken: the line feed after stop and the x.
    EXPECT_EQ(rest_of_stdin(), "yz\nnext\n");

    // "stop" followed on its line by more: the blank and the next letter go.
    feed_stdin("stop time\n");
    EXPECT_EQ(read_command(), 1);
    EXPECT_EQ(rest_of_stdin(), "ime\n");

    // At the end of input the reads just fail.
    feed_stdin("stop");
    EXPECT_EQ(read_command(), 1);
}

}  // namespace
