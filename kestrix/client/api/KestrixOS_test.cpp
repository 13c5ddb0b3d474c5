#include "kestrix/client/api/KestrixOS.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(KestrixOS, NamesAndNumbersAreFixedAndReadBackIgnoringCaseOnly) {
  const char* const names[] = {"Unknown", "Irix", "Linux", "WindowsNT", "MacOSX"};
  for (int type = 0; type < 5; ++type) {
    const auto os = static_cast<KestrixOS::OsType>(type);
    EXPECT_STREQ(KestrixOS::OsTypeStr(os), names[type]);
    EXPECT_EQ(KestrixOS::strToOsType(names[type]), os);
  }
  EXPECT_STREQ(KestrixOS::OsTypeStr(static_cast<KestrixOS::OsType>(7)), "Unknown");
  EXPECT_STREQ(KestrixOS::OsTypeStr(static_cast<KestrixOS::OsType>(-1)), "Unknown");
  EXPECT_EQ(KestrixOS::strToOsType("lInUx"), KestrixOS::OS_TYPE_LINUX);
  for (const char* other : {"Windows", "Linux ", "", static_cast<const char*>(nullptr)})
    EXPECT_EQ(KestrixOS::strToOsType(other), KestrixOS::OS_TYPE_UNKNOWN);
}

TEST(KestrixOS, LoopbackTexts) {
  for (const char* yes : {"localhost", "127.0.0.1", "::127.0.0.1", "::1", "::FFFF:127.0.0.1"})
    EXPECT_TRUE(KestrixOS::isLoopBackIP(yes)) << yes;
  for (const char* no : {"LOCALHOST", "127.0.0.2", "127.1", "", "::2"})
    EXPECT_FALSE(KestrixOS::isLoopBackIP(no)) << no;
  EXPECT_FALSE(KestrixOS::isLoopBackIP(nullptr));
}

// The system's own answers are compared in KestrixOSPosix_test.cpp and
// KestrixOSWin_test.cpp.
TEST(KestrixOS, LocalHostIdentity) {
  const std::string name = KestrixOS::getHostName().c_str();
  for (const char* local : {name.c_str(), "127.0.0.1", "::ffff:127.0.0.1"})
    EXPECT_TRUE(KestrixOS::isLocalIP(local)) << local;
  // Only loopback exists inside the test namespace; a documentation address is never local.
  EXPECT_FALSE(KestrixOS::isLocalIP("192.0.2.1"));
}

TEST(KestrixOS, UserIdOverride) {
  const std::string system = KestrixOS::getUserId().c_str();
  EXPECT_NE(system, "unknown");
  KestrixOS::setUserId("artist");
  EXPECT_STREQ(KestrixOS::getUserId().c_str(), "artist");
  KestrixOS::setUserId(nullptr);
  EXPECT_EQ(std::string(KestrixOS::getUserId().c_str()), system);
}

}  // namespace
