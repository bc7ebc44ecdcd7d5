#include "platform.h"
#include <gtest/gtest.h>
TEST(Runtime, Boots) { hostsim::bootPlatform({"/tmp"}); hostsim::shutdownPlatform(); }
