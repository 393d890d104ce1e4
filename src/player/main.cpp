// Tamblo: plays the MP3 files of the folder it is started in.
#include <cstdio>

#include "platform/platform.h"
#include "player/player.h"

int main() {
    // Every print must reach the console at once, the prompt (which has no
    // line feed) included, also when standard output is a pipe.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    console_init();
    return run_player();
}
