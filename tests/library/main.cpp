// The library tests run with the console as a UTF-8 terminal would have it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/platform.h"

int main(int argc, char** argv) {
    setenv("LC_ALL", "C.UTF-8", 1);
    console_init();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
