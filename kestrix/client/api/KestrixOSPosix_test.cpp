#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>

#include "kestrix/client/api/KestrixOS.h"

namespace {

TEST(KestrixOSPosix, KindReleaseAndHostAreTheSystemsOwn) {
  EXPECT_EQ(KestrixOS::getOSType(), KestrixOS::OS_TYPE_LINUX);
  utsname names;
  ASSERT_EQ(::uname(&names), 0);
  EXPECT_STREQ(KestrixOS::getOSVersion().c_str(), names.release);
  char name[HOST_NAME_MAX + 1] = {};
  ::gethostname(name, sizeof name);
  EXPECT_STREQ(KestrixOS::getHostName().c_str(), name);
}

}  // namespace
