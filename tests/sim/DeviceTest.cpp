// The device protocol as the preload library serves it.
#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace vorn_test;

TEST(TmSimDevice, DefaultKeyAnswersPresenceAndRom) {
    SimDir dir;
    RunResult r = RunSim(dir, Key(), {"devprobe", "open", "presence", "rom", "close"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "open ok\npresence 0\nrom 8 08efbeadde0000c8\nclose 0\n");
    EXPECT_EQ(r.err, "");
}
