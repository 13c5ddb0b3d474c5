#include <winsock2.h>

#include <gtest/gtest.h>

#include "kestrix/client/api/KestrixOS.h"

namespace {

// Windows reports its kind only, and knows no group of the user.
TEST(KestrixOSWin, KindOnlyNoGroupAndTheSystemsHostName) {
  EXPECT_EQ(KestrixOS::getOSType(), KestrixOS::OS_TYPE_WINNT);
  EXPECT_STREQ(KestrixOS::getOSVersion().c_str(), "unknown");
  EXPECT_STREQ(KestrixOS::getGroupId().c_str(), "unknown");
  WSADATA data;
  ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  char name[256] = {};
  ::gethostname(name, sizeof name);
  ::WSACleanup();
  EXPECT_STREQ(KestrixOS::getHostName().c_str(), name);
}

}  // namespace
