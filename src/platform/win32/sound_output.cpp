// Windows' MCI opens its own sound output when a device is opened; there is
// nothing to start early.
#include "platform/platform.h"

void prepare_sound_output() {}
