#include "common/base/rcApi/rcParam.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoException.h"
#include "common/base/rcApi/rcMethod.h"
#include "common/base/rcApi/rcValue.h"

namespace Kestrix {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> split(std::vector<const rcParam::Type*> types, const char* text) {
  std::vector<rcParam::Info> list;
  for (const rcParam::Type* t : types) list.push_back({t, "p"});
  list.push_back({nullptr, nullptr});
  rcParam::Array array(list.data(), text);
  std::vector<std::string> out;
  for (int i = 0; i < array.size(); ++i) out.push_back(array[i].stringValue());
  return out;
}

const rcParam::Type* str() {
  return &rcParamString::getType();
}
const rcParam::Type* num() {
  return &rcParamInt::getType();
}

TEST(rcParamArraySplit, QuotesSpacesAndMissingTexts) {
  // Quoted text keeps its spaces; a single parameter takes the whole text.
  EXPECT_THAT(split({str(), str()}, "\"a b\" c"), ElementsAre("a b", "c"));
  EXPECT_THAT(split({str()}, "\"a b\" c\\\""), ElementsAre("\"a b\" c\\\""));
  // Two spaces give an empty parameter; text beyond the last is ignored.
  EXPECT_THAT(split({num(), num(), num()}, "1  2"), ElementsAre("1", "0", "2"));
  EXPECT_THAT(split({num(), num()}, "1 2 3"), ElementsAre("1", "2"));
  // An escaped quote keeps its backslash; an unterminated quote runs on.
  EXPECT_THAT(split({str(), str()}, "\"a\\\"b c\" d"), ElementsAre("a\\\"b c", "d"));
  EXPECT_THAT(split({str(), str()}, "\"a b c"), ElementsAre("a b c", ""));
  // The client's head, with its trailing space.
  EXPECT_THAT(split({str(), num(), str(), num()}, "\"src host\" 2 \"dst\" 3 "),
              ElementsAre("src host", "2", "dst", "3"));
  // Missing texts keep the defaults.
  EXPECT_THAT(split({str(), num(), num()}, "x"), ElementsAre("x", "0", "0"));
  EXPECT_THAT(split({str(), num()}, nullptr), ElementsAre("", "0"));
  EXPECT_TRUE(split({}, "anything").empty());
}

TEST(rcParamTypes, TextForms) {
  EXPECT_STREQ(rcParamString::getType().name(), "const char *");
  rcParamFloat f;
  f.setFloatValue(1.5f);
  EXPECT_EQ(f.stringValue(), "1.500000");
  rcParamLong l;
  l.setStringValue("-42x");
  EXPECT_EQ(l.longValue(), -42);
  EXPECT_EQ(l.stringValue(), "-42");
}

TEST(rcParamTypes, BoolTextRule) {
  const std::pair<const char*, bool> cases[] = {
      {"yes", true}, {"On", true},     {"1", true}, {"TRUE", true}, {"y", true},
      {"no", false}, {"maybe", false}, {"", false}, {"2", false},   {"0", false}};
  for (const auto& [text, yes] : cases) {
    rcParamBool b;
    b.setBoolValue(!yes);
    b.setStringValue(text);
    EXPECT_EQ(b.boolValue(), yes) << text;
    EXPECT_EQ(b.stringValue(), yes ? "true" : "false");
  }
}

// ---------------------------------------------------------------- quoting

TEST(rcParamQuoting, QuotingEscapesAndUnquotingReverses) {
  EXPECT_EQ(rcParamStringToEscapedString("c:\\x \"y").getEscapedString(), "\"c:\\\\x \\\"y\"");
  EXPECT_EQ(rcParamStringToEscapedString(nullptr).getEscapedString(), "");
  EXPECT_EQ(rcParamStringToEscapedString("").getEscapedString(), "\"\"");
  for (const char* text : {"a\"b", "c:\\x y", "", "\\", "\"\"", "plain"}) {
    const std::string quoted = rcParamStringToEscapedString(text).getEscapedString();
    EXPECT_EQ(rcParamEscapedStringToString(quoted.c_str()).getString(), text) << quoted;
  }
  EXPECT_EQ(rcParamEscapedStringToString("ab\\").getString(), "ab");
  EXPECT_EQ(rcParamEscapedStringToString("a\"b").getString(), "a\"b");
  EXPECT_EQ(rcParamEscapedStringToString(nullptr).getString(), "");
}

// ------------------------------------------------------------------ value

std::string wire(const std::string& plain) {
  rcValue v;
  v.setValue(plain);
  return v.escapedValue();
}

std::string unwire(const std::string& bytes) {
  rcValue v;
  for (char c : bytes) v.appendEscapedChar(c);
  return std::string(v.view());
}

TEST(rcValueEscaping, TabLineFeedAndBackslash) {
  EXPECT_EQ(wire("a\tb\nc\\ d\r"), "a\\tb\\nc\\\\ d\r");
  for (const std::string plain : {"a\tb\nc", "\\n", "x\\\\\n\t", ""})
    EXPECT_EQ(unwire(wire(plain)), plain);
}

TEST(rcValueEscaping, SpecialBytesAtEveryOffsetOfLongTexts) {
  const std::pair<char, const char*> specials[] = {{'\n', "\\n"}, {'\t', "\\t"}, {'\\', "\\\\"}};
  for (const auto& [plain, escaped] : specials) {
    for (size_t at = 0; at < 20; ++at) {
      const std::string head(at, 'a'), tail(11, 'b');
      EXPECT_EQ(wire(head + plain + tail + plain), head + escaped + tail + escaped) << at;
      EXPECT_EQ(unwire(head + escaped + tail), head + plain + tail) << at;
      rcValue runs;
      const std::string bytes = head + escaped + tail + "\\x" + tail + "\\\n" + tail;
      bool ended = false;
      // Stops after the LF, even the one right after a backslash.
      EXPECT_EQ(runs.appendEscapedLine(bytes.data(), bytes.size(), ended),
                bytes.size() - tail.size());
      EXPECT_TRUE(ended);
      EXPECT_EQ(std::string(runs.view()), head + plain + tail + "x" + tail) << at;
    }
  }
}

TEST(rcValueEscaping, UnknownEscapeKeepsTheByteAndRunsDecodeLikeSingleBytes) {
  EXPECT_EQ(unwire("a\\"), "a");  // a trailing backslash waits for its byte
  rcValue v;
  v.appendEscapedChar('\\');
  v.clear();
  v.appendEscapedChar('n');
  EXPECT_EQ(v.view(), "n");  // clear drops the pending backslash
  const std::string bytes = "ab\\tc\\\\\\nd\\qe\\";
  EXPECT_EQ(unwire(bytes), "ab\tc\\\ndqe");
  for (size_t cut = 0; cut <= bytes.size(); ++cut) {
    rcValue runs;
    bool ended = false;
    EXPECT_EQ(runs.appendEscapedLine(bytes.data(), cut, ended), cut);
    EXPECT_EQ(runs.appendEscapedLine(bytes.data() + cut, bytes.size() - cut, ended),
              bytes.size() - cut);
    EXPECT_FALSE(ended);
    EXPECT_EQ(std::string(runs.view()), unwire(bytes)) << cut;
  }
}

// ----------------------------------------------------------------- method

// The methods here never reach their server context.
rcServerContext& noContext() {
  alignas(16) static char storage[16];
  return *reinterpret_cast<rcServerContext*>(storage);
}

const rcParam::Info kTwoParams[] = {
    {&rcParamString::getType(), "what"}, {&rcParamInt::getType(), "n"}, {nullptr, nullptr}};

bool echo(void* object, const rcMethod&, const rcParam::Array& args, rcParam& result) {
  result.setStringValue(args[0].stringValue() + "/" + std::to_string(args[1].intValue()) +
                        (object != nullptr ? "/obj" : ""));
  return true;
}

bool refuse(void*, const rcMethod& m, const rcParam::Array&, rcParam&) {
  m.setLastError("refused");
  return false;
}

// Throws what its first parameter names.
bool thrower(void*, const rcMethod&, const rcParam::Array& args, rcParam&) {
  const std::string what = args[0].stringValue();
  if (what == "co") CO_THROW("co text", "expert");
  if (what == "std") throw std::runtime_error("std text");
  if (what == "cstr") throw "c text";
  if (what == "nullstr") throw static_cast<const char*>(nullptr);
  if (what == "schar") throw static_cast<signed char>(-5);
  if (what == "long") throw -9000000000L;
  if (what == "ullong") throw 18446744073709551615ULL;
  throw std::string("not named");
}

TEST(rcMethodCall, ResultTextOrLastError) {
  const rcMethod ok(noContext(), "Echo", echo, rcParamString::getType(), kTwoParams);
  std::string result;
  int object = 0;
  EXPECT_TRUE(ok.callMethod(&object, "\"a b\" 5", result));
  EXPECT_EQ(result, "a b/5/obj");
  EXPECT_TRUE(ok.callMethod(nullptr, nullptr, result));
  EXPECT_EQ(result, "/0");
  const rcMethod bad(noContext(), "Bad", refuse, rcParamVoid::getType(), nullptr);
  EXPECT_FALSE(bad.callMethod(nullptr, "", result));
  EXPECT_EQ(result, "refused");
  EXPECT_EQ(bad.getParamList()->type, nullptr);
  EXPECT_EQ(bad.getMethodType(), rcMethod::IMMEDIATE);
}

TEST(rcMethodCall, ThrownValuesBecomeErrorTexts) {
  const rcMethod m(noContext(), "Throw", thrower, rcParamVoid::getType(), kTwoParams);
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {"co", "co text"}, {"std", "std text"}, {"cstr", "c text"}, {"nullstr", "Unknown error"},
      {"schar", "-5"}, {"long", "-9000000000"}, {"ullong", "18446744073709551615"},
      {"other", "Unknown error"}};
  // clang-format on
  for (const auto& [what, text] : cases) {
    std::string result;
    EXPECT_FALSE(m.callMethod(nullptr, (std::string(what) + " 0").c_str(), result)) << what;
    EXPECT_EQ(result, text) << what;
    EXPECT_EQ(m.lastError(), text) << what;
  }
}

}  // namespace
}  // namespace Kestrix
