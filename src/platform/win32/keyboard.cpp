// The key test on Windows: the C runtime's console keyboard test, looked at
// after each plain wait.
#include <conio.h>

#include "platform/platform.h"

bool key_hit() { return _kbhit() != 0; }

void wait_for_key(unsigned ms) { Sleep(ms); }
