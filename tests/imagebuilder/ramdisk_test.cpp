#include <gtest/gtest.h>

#include "imagebuilder/ramdisk.h"

using namespace imagebuilder;

TEST(RamDiskStore, Placeholder) { RamDisk d; EXPECT_TRUE(d.RamDiskInit(512)); }
