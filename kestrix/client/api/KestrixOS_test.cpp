#include "kestrix/client/api/KestrixOS.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace {

TEST(KestrixOS, NamesAndNumbersAreFixed) {
  EXPECT_STREQ(KestrixOS::OsTypeStr(KestrixOS::OS_TYPE_UNKNOWN), "Unknown");
  EXPECT_STREQ(KestrixOS::OsTypeStr(KestrixOS::OS_TYPE_IRIX), "Irix");
  EXPECT_STREQ(KestrixOS::OsTypeStr(KestrixOS::OS_TYPE_LINUX), "Linux");
  EXPECT_STREQ(KestrixOS::OsTypeStr(KestrixOS::OS_TYPE_WINNT), "WindowsNT");
  EXPECT_STREQ(KestrixOS::OsTypeStr(KestrixOS::OS_TYPE_MACOSX), "MacOSX");
  EXPECT_STREQ(KestrixOS::OsTypeStr(static_cast<KestrixOS::OsType>(7)), "Unknown");
  EXPECT_STREQ(KestrixOS::OsTypeStr(static_cast<KestrixOS::OsType>(-1)), "Unknown");
}

TEST(KestrixOS, StrToOsTypeIgnoresCaseOnly) {
  EXPECT_EQ(KestrixOS::strToOsType("lInUx"), KestrixOS::OS_TYPE_LINUX);
  EXPECT_EQ(KestrixOS::strToOsType("windowsnt"), KestrixOS::OS_TYPE_WINNT);
  EXPECT_EQ(KestrixOS::strToOsType("MACOSX"), KestrixOS::OS_TYPE_MACOSX);
  EXPECT_EQ(KestrixOS::strToOsType("irix"), KestrixOS::OS_TYPE_IRIX);
  EXPECT_EQ(KestrixOS::strToOsType("Windows"), KestrixOS::OS_TYPE_UNKNOWN);
  EXPECT_EQ(KestrixOS::strToOsType("Linux "), KestrixOS::OS_TYPE_UNKNOWN);
  EXPECT_EQ(KestrixOS::strToOsType(""), KestrixOS::OS_TYPE_UNKNOWN);
  EXPECT_EQ(KestrixOS::strToOsType(nullptr), KestrixOS::OS_TYPE_UNKNOWN);
}

TEST(KestrixOS, LoopbackTexts) {
  for (const char* yes : {"localhost", "127.0.0.1", "::127.0.0.1", "::1", "::FFFF:127.0.0.1"})
    EXPECT_TRUE(KestrixOS::isLoopBackIP(yes)) << yes;
  for (const char* no : {"LOCALHOST", "127.0.0.2", "127.1", "", "::2"})
    EXPECT_FALSE(KestrixOS::isLoopBackIP(no)) << no;
  EXPECT_FALSE(KestrixOS::isLoopBackIP(nullptr));
}

TEST(KestrixOS, LocalHostIdentity) {
  EXPECT_EQ(KestrixOS::getOSType(), KestrixOS::OS_TYPE_LINUX);
  char name[HOST_NAME_MAX + 1] = {};
  gethostname(name, sizeof name);
  EXPECT_STREQ(KestrixOS::getHostName().c_str(), name);
  EXPECT_TRUE(KestrixOS::isLocalIP(name));
  EXPECT_TRUE(KestrixOS::isLocalIP("127.0.0.1"));
  EXPECT_TRUE(KestrixOS::isLocalIP("::ffff:127.0.0.1"));
  // Only loopback exists inside the test namespace; a documentation address is never local.
  EXPECT_FALSE(KestrixOS::isLocalIP("192.0.2.1"));
  EXPECT_FALSE(KestrixOS::getOSVersion().isEmpty());
}

TEST(KestrixOS, UserIdOverride) {
  const std::string system = KestrixOS::getUserId().c_str();
  EXPECT_NE(system, "unknown");
  KestrixOS::setUserId("artist");
  EXPECT_STREQ(KestrixOS::getUserId().c_str(), "artist");
  KestrixOS::setUserId(nullptr);
  EXPECT_EQ(std::string(KestrixOS::getUserId().c_str()), system);
  EXPECT_NE(std::string(KestrixOS::getGroupId().c_str()), "unknown");
}

}  // namespace
