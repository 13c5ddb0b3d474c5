// Process, user, UUID and file-creation-mask helpers.
#include "common/base/osal/CoProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "common/base/osal/CoUUID.h"
#include "common/base/osal/CoUmask.h"

namespace Kestrix {
namespace {

TEST(CoProcess, IdAndNameOfCurrentProcessAndMissingProcess) {
  int pid = 0;
  EXPECT_TRUE(CoProcess(0).getId(pid));
  EXPECT_EQ(pid, getpid());
  std::string name;
  ASSERT_TRUE(CoProcess().getName(name));
  EXPECT_EQ(name.rfind("osal_test", 0), 0u) << name;
  testing::internal::CaptureStdout();
  std::string untouched = "same";
  EXPECT_FALSE(CoProcess(0x7ffffff0).getName(untouched));
  EXPECT_EQ(untouched, "same");
  EXPECT_NE(
      testing::internal::GetCapturedStdout().find("Could not open process handle for '2147483632'"),
      std::string::npos);
}

TEST(CoUUID, GeneratesDistinctVersion4TextsAndValidatesTheShape) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string uuid, error;
    ASSERT_TRUE(CoUUID::generate(uuid, error)) << error;
    ASSERT_TRUE(CoUUID::validate(uuid)) << uuid;
    EXPECT_EQ(uuid[14], '4');
    EXPECT_NE(std::string("89ab").find(uuid[19]), std::string::npos);
    EXPECT_EQ(uuid.find_first_of("ABCDEF"), std::string::npos) << "lower case only";
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_TRUE(CoUUID::validate("123e4567-e89b-12d3-a456-426614174000"));
  EXPECT_TRUE(CoUUID::validate("123E4567-E89B-12D3-A456-426614174000"));
  EXPECT_FALSE(CoUUID::validate("123e4567-e89b-12d3-426614174000"));       // group missing
  EXPECT_FALSE(CoUUID::validate("123e4567-e89b-12d3-a456-42661417400g"));  // not hex
  EXPECT_FALSE(CoUUID::validate("{123e4567-e89b-12d3-a456-426614174000}"));
  EXPECT_FALSE(CoUUID::validate(""));
  EXPECT_EQ(CoUUID::compare("123e4567-e89b-12d3-a456-426614174000",
                            "123E4567-E89B-12D3-A456-426614174000"),
            0);
  EXPECT_NE(CoUUID::compare("a", "b"), 0);
}

TEST(CoUmask, ReadingLeavesTheMaskAndAScopeRestoresIt) {
  const mode_t original = umask(0);
  EXPECT_EQ(CoUmask::getCurrent(), 0u);
  EXPECT_EQ(CoUmask::getCurrent(), 0u) << "reading a zero mask changed it";
  {
    // Denying the owner write access: the one bit Windows keeps as well.
    CoUmask scoped(0200);
    EXPECT_EQ(scoped.previous(), 0u);
    EXPECT_EQ(CoUmask::getCurrent(), 0200u);
    EXPECT_EQ(CoUmask::getInitial(), 0200u);
  }
  EXPECT_EQ(umask(original), 0u);
  EXPECT_EQ(CoUmask::getInitial(), 0u);
}

}  // namespace
}  // namespace Kestrix
