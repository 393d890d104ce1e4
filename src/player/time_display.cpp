// The time display.
#include "player/time_display.h"

#include "platform/platform.h"

void show_time(int elapsed, int length) {
    int seconds = elapsed % 60;
    print("\n%d min %d s  / ", (elapsed - seconds) / 60, seconds);
    seconds = length % 60;
    print("%d min %d s\n", (length - seconds) / 60, seconds);

    // Double precision, so that a length of 0 gives infinity (all cells
    // filled) or, with nothing elapsed, NaN (none filled: every comparison
    // with NaN is false).
    double r = static_cast<double>(elapsed) * kBarCells / length;
    char bar[kBarCells + 2];
    for (int i = 0; i < kBarCells; ++i)
        bar[i] = i <= r ? '>' : '.';
    bar[kBarCells] = '\n';
    bar[kBarCells + 1] = '\0';
    print("%s", bar);
}
