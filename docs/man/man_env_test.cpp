// kestrix(7) lists the environment variables a user may set; every one the
// registry knows must have an entry there (".B NAME" on a line of its own).

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "common/base/loggerBase/EnvVarRegistry.h"

namespace {

TEST(ManEnvTest, EveryRegisteredVariableHasAnEntryInKestrix7) {
  std::ifstream file(KESTRIX_MAN7);
  ASSERT_TRUE(file) << "cannot read " << KESTRIX_MAN7;
  std::stringstream page;
  page << file.rdbuf();
  const std::string text = "\n" + page.str();

  Kestrix::EnvVarRegistry* registry = Kestrix::EnvVarRegistry::getInstance();
  std::set<std::string> names;
  for (int i = 0; i < registry->getNumElements(); ++i)
    names.insert(registry->getEnvVar(i)->getName());
  // Both ends of the library linked whole, or the check proves little.
  EXPECT_TRUE(names.count("QV_MSG_LEVEL"));
  EXPECT_TRUE(names.count("KESTRIX_MULTICAST_DEBUG"));
  for (const std::string& name : names)
    EXPECT_NE(text.find("\n.B " + name + "\n"), std::string::npos)
        << name << " is registered but has no entry in " << KESTRIX_MAN7;
}

}  // namespace
