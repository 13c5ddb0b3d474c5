// What the process and user helpers answer on Windows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/base/osal/CoProcess.h"
#include "common/base/osal/CoUser.h"

namespace Kestrix {
namespace {

TEST(CoProcessWin, NameIsTheModuleBaseNameAndUserTheLoggedOnOne) {
  std::string name;
  ASSERT_TRUE(CoProcess().getName(name));
  EXPECT_EQ(name, "osal_test.exe");
  std::string effective, real;
  ASSERT_TRUE(CoUser::getEffectiveUser(effective));
  ASSERT_TRUE(CoUser::getRealUser(real));
  EXPECT_EQ(effective, real);
  if (const char* logon = std::getenv("USERNAME")) {
    EXPECT_EQ(effective, logon);
  }
  std::string group = "same";
  EXPECT_FALSE(CoUser::getGroup(group));
  EXPECT_EQ(group, "same");
}

}  // namespace
}  // namespace Kestrix
