// The time display: minutes and seconds with signed arithmetic, and the bar.
#include "player/time_display.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_console.h"

namespace {

std::string shown(int elapsed, int length) {
    StdoutCapture capture;
    show_time(elapsed, length);
    return capture.finish();
}

std::string bar(int filled) { return std::string(filled, '>') + std::string(30 - filled, '.') + "\n"; }

TEST(TimeDisplay, LinesAndBarForOrdinaryTimes) {
    // r = 11.25: cells 0 to 11 are filled.
    EXPECT_EQ(shown(75, 200), "\n1 min 15 s  / 3 min 20 s\n" + bar(12));
    // Cell 0 is filled from the first second.
    EXPECT_EQ(shown(0, 200), "\n0 min 0 s  / 3 min 20 s\n" + bar(1));
    EXPECT_EQ(shown(200, 200), "\n3 min 20 s  / 3 min 20 s\n" + bar(30));
    EXPECT_EQ(shown(59, 600), "\n0 min 59 s  / 10 min 0 s\n" + bar(3));
    EXPECT_EQ(shown(60, 600), "\n1 min 0 s  / 10 min 0 s\n" + bar(4));
    // Past the length (the extra second a track is given).
    EXPECT_EQ(shown(201, 200), "\n3 min 21 s  / 3 min 20 s\n" + bar(30));
}

TEST(TimeDisplay, LengthZeroGivesInfinityOrNotANumber) {
    EXPECT_EQ(shown(1, 0), "\n0 min 1 s  / 0 min 0 s\n" + bar(30));
    EXPECT_EQ(shown(0, 0), "\n0 min 0 s  / 0 min 0 s\n" + bar(0));
}

TEST(TimeDisplay, NegativeElapsedTruncatesTowardZero) {
    // The clock set back during a track.
    EXPECT_EQ(shown(-65, 200), "\n-1 min -5 s  / 3 min 20 s\n" + bar(0));
    EXPECT_EQ(shown(-1, 0), "\n0 min -1 s  / 0 min 0 s\n" + bar(0));
}

TEST(TimeDisplay, ExtremeValuesDoNotOverflow) {
    EXPECT_EQ(shown(2147483647, 2147483647), "\n35791394 min 7 s  / 35791394 min 7 s\n" + bar(30));
    EXPECT_EQ(shown(-2147483647 - 1, 60), "\n-35791394 min -8 s  / 1 min 0 s\n" + bar(0));
}

}  // namespace
