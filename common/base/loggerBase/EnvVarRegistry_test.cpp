#include "common/base/loggerBase/EnvVarRegistry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoMsg.h"

namespace Kestrix {
namespace {

std::vector<std::string> namesAt(const std::list<int>& indices) {
  std::vector<std::string> names;
  for (int i : indices) names.push_back(EnvVarRegistry::getInstance()->getEnvVar(i)->getName());
  return names;
}

// Variables of this test program, registered like the library's own.
EnvVar<int>& testIntVar() {
  static EnvVar<int> var("KX_TEST_INT", 5);
  return var;
}
EnvVar<std::string>& testTextVar() {
  static EnvVar<std::string> var("KX_TEST_TEXT", "dflt");
  return var;
}
RegEnvVar<int> gRegInt(testIntVar());
RegEnvVar<std::string> gRegText(testTextVar());

TEST(EnvVarRegistry, SearchIsSubstringIgnoringCaseOrExact) {
  EnvVarRegistry* registry = EnvVarRegistry::getInstance();
  EXPECT_THAT(namesAt(registry->search("msg", EnvVarRegistry::FIELD_NAME, false)),
              ::testing::UnorderedElementsAre("QV_MSG_LEVEL", "QV_MSG_VERBOSE"));
  EXPECT_TRUE(registry->search("msg", EnvVarRegistry::FIELD_NAME, true).empty());
  EXPECT_THAT(namesAt(registry->search("QV_MSG_LEVEL", EnvVarRegistry::FIELD_NAME, true)),
              ::testing::ElementsAre("QV_MSG_LEVEL"));
  EXPECT_TRUE(registry->search("", EnvVarRegistry::FIELD_NAME, false).empty());
  EXPECT_TRUE(registry->search(nullptr, EnvVarRegistry::FIELD_VALUE, false).empty());
  EXPECT_THAT(namesAt(registry->search("dflt", EnvVarRegistry::FIELD_DEFAULT, true)),
              ::testing::ElementsAre("KX_TEST_TEXT"));
}

TEST(EnvVarRegistry, FieldTextsAreCutTo127Characters) {
  auto* registry = EnvVarRegistryImp::getInstance();
  const int index = registry->search("KX_TEST_TEXT", EnvVarRegistry::FIELD_NAME, true).front();
  testTextVar().set(std::string(200, 'v'));
  char buffer[128];
  registry->getFieldValueAsStr(buffer, EnvVarRegistry::FIELD_VALUE, index);
  EXPECT_EQ(std::string(buffer), std::string(127, 'v'));
  registry->getFieldValueAsStr(buffer, EnvVarRegistry::FIELD_FILE, index);
  EXPECT_STREQ(buffer, "");
  testTextVar().set("dflt");
}

TEST(EnvVarRegistry, SetByNameReachesEveryWrapperAndRunsCallbackUnlessLocked) {
  static int calls = 0;
  EnvVar<bool> var("KX_TEST_FLAG", false, [](void*) { ++calls; });
  {
    RegEnvVar<bool> first(var);
    RegEnvVar<bool> second(var);
    RegEnvVar<bool>::setByName("KX_TEST_FLAG", true);
    EXPECT_TRUE(var.get());
    EXPECT_EQ(calls, 2);  // once per wrapper that reaches it

    std::ostringstream html;
    EnvVarRegistry::getInstance()->dumpHtml(html);
    const std::string row = "<tr>\n<td align=left>KX_TEST_FLAG</td><td align=center>true</td>";
    const size_t firstRow = html.str().find(row);
    ASSERT_NE(firstRow, std::string::npos);
    EXPECT_NE(html.str().find(row, firstRow + 1), std::string::npos);
  }
  EXPECT_TRUE(EnvVarRegistry::getInstance()
                  ->search("KX_TEST_FLAG", EnvVarRegistry::FIELD_NAME, true)
                  .empty());
  EXPECT_FALSE(var.isInitialized());  // a removed wrapper makes the variable read again
  var.setLocked(true);
  var.set(true);
  EXPECT_FALSE(var.get()) << "a locked variable ignores its setter";
  EXPECT_EQ(calls, 2);
}

TEST(EnvVarRegistry, DumpHtmlBytes) {
  // A registry of its own, so the page does not depend on what is linked.
  class OneVarRegistry : public EnvVarRegistryImp {};
  OneVarRegistry registry;
  EnvVar<int> var("KX_HTML", 12);
  struct Unregistered : RegEnvVar<int> {
    using RegEnvVar<int>::RegEnvVar;
  };
  Unregistered reg(var);
  registry.add(&reg);
  std::ostringstream html;
  registry.dumpHtml(html);
  EXPECT_EQ(html.str(),
            "<html>\n<body>\n<table border=1>\n"
            "<tr>\n<th colspan=3>Environnement Variables</th>\n</tr>\n"
            "<tr>\n"
            "<td align=center><font size=+1>Name</font></td>"
            "<td align=center><font size=+1>Value</font></td>"
            "<td align=center><font size=+1>File</font></td>\n</tr>\n"
            "<tr>\n<td align=left>KX_HTML</td><td align=center>12</td><td align=left></td>\n"
            "</tr>\n"
            "</table>\n</body>\n</html>");
  std::ostringstream text;
  registry.dump(text);
  EXPECT_EQ(text.str(), "\nfile : \nname : KX_HTML\nvalue : 12\n");
}

// Run with KX_TEST_INT and KX_TEST_BOOL set, and the expected results.
TEST(VarParsingFromEnv, ValuesFromEnvironment) {
  EXPECT_EQ(testIntVar().get(), std::atoi(std::getenv("EXPECT_INT")));
  EnvVar<bool> flag("KX_TEST_BOOL", false);
  EXPECT_EQ(flag.get(), std::string(std::getenv("EXPECT_BOOL")) == "1");
}

}  // namespace
}  // namespace Kestrix
