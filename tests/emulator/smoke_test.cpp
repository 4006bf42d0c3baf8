#include <gtest/gtest.h>
#include "emulator/emulated_device.h"
TEST(EmulatorSmoke, Builds) { SUCCEED(); }
