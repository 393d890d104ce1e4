// The time display: elapsed and total time and a 30-cell progress bar.
#pragma once

const int kBarCells = 30;  // cells of the progress bar

// Prints "\n<m> min <s> s  / <m> min <s> s\n" and the bar, one '>' for each
// cell i with i <= elapsed * kBarCells / length, '.' for the others.
void show_time(int elapsed, int length);
