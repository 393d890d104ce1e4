// The key test on Windows: the C runtime's console keyboard test.
#include <conio.h>

#include "platform/platform.h"

bool key_hit() { return _kbhit() != 0; }
