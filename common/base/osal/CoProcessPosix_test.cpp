// The user and group names of Linux.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

#include "common/base/osal/CoUser.h"

namespace Kestrix {
namespace {

TEST(CoUser, NamesComeFromTheSystem) {
  std::string user, groupName;
  const passwd* pw = ::getpwuid(::geteuid());
  const group* gr = ::getgrgid(::getegid());
  ASSERT_EQ(CoUser::getEffectiveUser(user), pw != nullptr);
  ASSERT_EQ(CoUser::getGroup(groupName), gr != nullptr);
  EXPECT_EQ(user, pw ? pw->pw_name : "");
  EXPECT_EQ(groupName, gr ? gr->gr_name : "");
}

}  // namespace
}  // namespace Kestrix
