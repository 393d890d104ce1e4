// Tamblo: plays the MP3 files of the folder it is started in.
#include "platform/platform.h"
#include "player/player.h"

int main() {
    console_init();
    return run_player();
}
