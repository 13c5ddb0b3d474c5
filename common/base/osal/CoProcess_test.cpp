// Process, user, UUID and file-creation-mask helpers.
#include "common/base/osal/CoProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "common/base/osal/CoCapability.h"
#include "common/base/osal/CoUUID.h"
#include "common/base/osal/CoUmask.h"
#include "common/base/osal/CoUser.h"

namespace Kestrix {
namespace {

TEST(CoProcess, IdOfCurrentAndGivenProcess) {
  int pid = 0;
  EXPECT_TRUE(CoProcess(0).getId(pid));
  EXPECT_EQ(pid, getpid());
  EXPECT_TRUE(CoProcess(1234).getId(pid));
  EXPECT_EQ(pid, 1234);
}

TEST(CoProcess, NameOfCurrentProcessAndMissingProcess) {
  std::string name;
  ASSERT_TRUE(CoProcess().getName(name));
  EXPECT_EQ(name, std::string("osal_test").substr(0, 15));
  testing::internal::CaptureStdout();
  std::string untouched = "same";
  EXPECT_FALSE(CoProcess(0x7ffffff0).getName(untouched));
  EXPECT_EQ(untouched, "same");
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Could not open process handle for '2147483632'"),
            std::string::npos);
}

TEST(CoUser, NamesComeFromTheSystem) {
  std::string user;
  ASSERT_TRUE(CoUser::getEffectiveUser(user));
  EXPECT_FALSE(user.empty());
  std::string group;
  EXPECT_TRUE(CoUser::getGroup(group));
  EXPECT_FALSE(group.empty());
  std::string password;
  EXPECT_TRUE(CoUser::getPassword(password));
  EXPECT_EQ(password, "Unknown");
  EXPECT_EQ(CoUser::userNameToId("root"), -1);
  EXPECT_FALSE(CoUser::isValidUserId(-1));
  EXPECT_TRUE(CoUser::isValidGroupId(0));
}

TEST(CoUUID, GeneratesDistinctVersion4Texts) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string uuid, error;
    ASSERT_TRUE(CoUUID::generate(uuid, error)) << error;
    ASSERT_TRUE(CoUUID::validate(uuid)) << uuid;
    EXPECT_EQ(uuid[14], '4');
    EXPECT_NE(std::string("89ab").find(uuid[19]), std::string::npos);
    EXPECT_EQ(uuid, [&] {
      std::string lower = uuid;
      for (char& c : lower) c = static_cast<char>(tolower(c));
      return lower;
    }());
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(CoUUID, ValidateShape) {
  EXPECT_TRUE(CoUUID::validate("123e4567-e89b-12d3-a456-426614174000"));
  EXPECT_TRUE(CoUUID::validate("123E4567-E89B-12D3-A456-426614174000"));
  EXPECT_FALSE(CoUUID::validate("123e4567-e89b-12d3-426614174000"));     // group missing
  EXPECT_FALSE(CoUUID::validate("123e4567-e89b-12d3-a456-42661417400g"));  // not hex
  EXPECT_FALSE(CoUUID::validate("123e4567-e89b-12d3-a456-4266141740000"));
  EXPECT_FALSE(CoUUID::validate("{123e4567-e89b-12d3-a456-426614174000}"));
  EXPECT_FALSE(CoUUID::validate(""));
  EXPECT_EQ(CoUUID::compare("123e4567-e89b-12d3-a456-426614174000",
                            "123E4567-E89B-12D3-A456-426614174000"),
            0);
  EXPECT_NE(CoUUID::compare("a", "b"), 0);
}

TEST(CoUmask, ReadingLeavesMaskUnchangedEvenWhenZero) {
  const mode_t original = umask(022);
  EXPECT_EQ(CoUmask::getCurrent(), 022u);
  EXPECT_EQ(CoUmask::getCurrent(), 022u);
  umask(0);
  EXPECT_EQ(CoUmask::getCurrent(), 0u);
  EXPECT_EQ(umask(0), 0u);
  umask(original);
}

TEST(CoUmask, ScopedMaskIsRestoredAndRecorded) {
  const uint32_t before = CoUmask::getCurrent();
  {
    CoUmask scoped(077);
    EXPECT_EQ(scoped.previous(), before);
    EXPECT_EQ(CoUmask::getCurrent(), 077u);
    EXPECT_EQ(CoUmask::getInitial(), 077u);
  }
  EXPECT_EQ(CoUmask::getCurrent(), before);
  EXPECT_EQ(CoUmask::getInitial(), before);
  CoUmask reader;
  EXPECT_EQ(reader.previous(), reader.mask());
}

TEST(CoCapability, RequestsChainWithoutEffect) {
  CoCapability caps;
  EXPECT_EQ(&caps.addRawSocket().addRealTimeThread().addSetGroupId().addTapeDevice(), &caps);
  EXPECT_TRUE(caps.getCapabilities().empty());
  EXPECT_TRUE(CoProcess::setCaps());
}

}  // namespace
}  // namespace Kestrix
