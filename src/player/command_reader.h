// The command reader: one typed word in, one command code out.
#pragma once

// Bytes of the command word, the NUL included: a longer word keeps its first
// kWordSize - 1 bytes.
const int kWordSize = 32;

// Command codes the track loop carries out.
const int kCodeNone = 0;
const int kCodeNext = 1;   // next, stop
const int kCodeBack = -1;  // before, b
const int kCodeExit = 2;
const int kCodeList = 3;
const int kCodeTime = 4;
const int kCodeLoop = 5;
const int kCodeTrack = 10;  // + the track number

// Reads one word from standard input, waiting until one is typed, and
// returns its command code. "stop" closes the current track and waits for
// the user's next line first; "ls" prints a line feed.
int read_command();
