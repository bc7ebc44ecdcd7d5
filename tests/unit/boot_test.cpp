#include "tests/unit/platform_fixture.h"

TEST_F(PlatformTest, BootsAndEnds) {
  EXPECT_NE(objc_getClass("NSObject"), nullptr);
}
