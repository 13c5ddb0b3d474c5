#include "common/base/rcApi/rcAttrStream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/base/rcApi/rcAttrList.h"
#include "common/base/loggerBase/CoTestMsgCapture.h"

namespace Kestrix {
namespace {

using ::testing::ElementsAre;

const char* const kParseError = "Error parsing attribute stream.";

// All live entries as name=value, in walking order.
std::vector<std::string> entries(const rcAttrStream& s) {
  rcAttrStream::ConstIterator it(s);
  std::vector<std::string> out;
  unsigned ns, nl, vs, vl;
  while (it.next(ns, nl, vs, vl))
    out.push_back(it.getData().substr(ns, nl) + "=" + it.getData().substr(vs, vl));
  return out;
}

std::optional<int> intOf(const rcAttrStream& s, const char* name) {
  int v = 0;
  return s.getIntValue(name, v) ? std::optional<int>(v) : std::nullopt;
}

TEST(rcAttrStreamFormat, EntriesAreWrittenBackToBackInTheirTextForms) {
  rcAttrStream s;
  s.addStringValue("Name", "x y");
  s.addIntValue("i", -7);
  s.addUInt32Value("u", 0xABCu);
  s.addUInt64Value("l", 0x07E40002000000ECull);
  s.addFloatValue("f", 0.5f);
  s.addBoolValue("t", true);
  s.addBoolValue("n", false);
  EXPECT_EQ(s.getStreamStr(), "Name 3 x yi 2 -7u 5 0xabcl 17 0x7e40002000000ecf 3 0.5t 1 1n 1 0");
  // The other types read back in the reader cases below.
  uint64_t l = 0;
  float f = 0;
  EXPECT_TRUE(s.getUInt64Value("l", l) && s.getFloatValue("f", f));
  EXPECT_EQ(l, 0x07E40002000000ECull);
  EXPECT_EQ(f, 0.5f);
}

TEST(rcAttrStreamFormat, ValuesKeepSpacesTabsAndLineBreaks) {
  const std::string value = "a b\tc\r\nd \n";
  rcAttrStream s;
  s.addStringValue("v", value.c_str());
  s.addStringValue("w", "1");
  std::string out;
  ASSERT_TRUE(s.getStringValue("v", out));
  EXPECT_EQ(out, value);
  EXPECT_EQ(s.toPrettyString(100), "v='a b c  d  ' w='1'");
}

TEST(rcAttrStreamReplace, SecondAddBlanksTheFirstEntryAndNameWithSpaceIsRefused) {
  rcAttrStream s;
  s.addStringValue("ab", "x");
  s.addStringValue("ab", "yz");
  EXPECT_EQ(s.getStreamStr(), "   1 xab 2 yz");
  EXPECT_EQ(rcAttrStream::ConstIterator(s).getSize(), 1u);
  rcAttrStream wire("a 1 xb 1 ya 1 z");  // duplicates from the wire
  wire.addStringValue("a", "w");
  EXPECT_EQ(wire.getStreamStr(), "  1 xb 1 ya 1 za 1 w");
  wire.addStringValue("a", "v");
  const std::string before = wire.getStreamStr();
  EXPECT_THAT(entries(wire), ElementsAre("b=y", "a=w", "a=v"));
  CoTestMsgCapture capture;
  wire.addStringValue("b c", "1");  // refused, changes nothing
  EXPECT_EQ(wire.getStreamStr(), before);
  EXPECT_EQ(capture.count("Illegal character: ' ' in attribute 'b c'."), 1);
}

TEST(rcAttrStreamRemove, IteratorBlanksTheNameInPlace) {
  rcAttrStream s("one 1 1two 1 2");
  ASSERT_EQ(intOf(s, "two"), 2);  // cursor now at the end
  rcAttrStream::Iterator it(s);
  it.remove("two");
  it.remove("absent");
  EXPECT_EQ(s.getStreamStr(), "one 1 1    1 2");
  EXPECT_EQ(intOf(s, "two"), std::nullopt);
  // Adding after a removal by iterator still replaces the right entry.
  s.addStringValue("one", "3");
  EXPECT_THAT(entries(s), ElementsAre("one=3"));
}

TEST(rcAttrStreamMalformed, OneErrorPerWalkAndEntriesBeforeTheFaultStayReadable) {
  CoTestMsgCapture capture;
  EXPECT_TRUE(rcAttrStream("abc").isEmpty());
  EXPECT_TRUE(capture.lines().empty()) << "a text without a space is quietly empty";
  rcAttrStream s("abc 12");
  EXPECT_TRUE(s.isEmpty());
  EXPECT_EQ(capture.count(kParseError), 1);
  std::string v;
  EXPECT_FALSE(s.getStringValue("abc", v));
  EXPECT_EQ(capture.count(kParseError), 2);
  // Entries before the fault stay readable.
  EXPECT_THAT(entries(rcAttrStream("a 1 xb -1 yc 1 z")), ElementsAre("a=x"));
  EXPECT_THAT(entries(rcAttrStream("a 1 xb 12")), ElementsAre("a=x"));
  EXPECT_EQ(capture.count(kParseError), 3);
}

TEST(rcAttrStreamMalformed, OverlongLengthGivesOnlyTheBytesThatExist) {
  rcAttrStream s("a 1 xb 99999999999 yz");
  std::string v;
  ASSERT_TRUE(s.getStringValue("b", v));
  EXPECT_EQ(v, "yz");
  EXPECT_EQ(rcAttrStream::ConstIterator(s).getSize(), 2u);
  // An entry appended behind a truncated value is swallowed by it, as a
  // reader of the text would see it.
  rcAttrStream t("a 5 xy");
  t.addStringValue("b", "1");
  EXPECT_FALSE(t.getStringValue("b", v));
  EXPECT_TRUE(t.getStringValue("a", v));
  EXPECT_EQ(v, "xyb 1");
}

TEST(rcAttrStreamLookup, WrapsRoundToEntriesBeforeTheCursor) {
  rcAttrStream s("a 1 1b    1 2ab 1 4c 1 3");  // runs of spaces before a length are fine
  EXPECT_EQ(intOf(s, "c"), 3);
  EXPECT_EQ(intOf(s, "a"), 1);
  EXPECT_EQ(intOf(s, "d"), std::nullopt);
  EXPECT_EQ(intOf(s, "b"), 2);   // the failed lookup left the cursor in place
  EXPECT_EQ(intOf(s, "ab"), 4);  // names compare over their full length
}

TEST(rcAttrStreamLookup, BufferGetterTruncatesAndTerminates) {
  rcAttrStream s("v 6 abcdef");
  char buf[4] = {'x', 'x', 'x', 'x'};
  ASSERT_TRUE(s.getStringValue("v", buf, sizeof buf));
  EXPECT_STREQ(buf, "abc");
  char one[1] = {'x'};
  ASSERT_TRUE(s.getStringValue("v", one, 1));
  EXPECT_EQ(one[0], '\0');
}

TEST(rcAttrStreamNumbers, HexAndDecimalReaders) {
  rcAttrStream s("p 4 0x1fq 2 1fr 2 -1s 3 zzzt 9 123456789w 3 300");
  uint32_t p = 0, q = 0, t = 0;
  unsigned up = 7, r = 7;
  unsigned char c = 0;
  EXPECT_TRUE(s.getUInt32Value("p", p) && s.getUInt32Value("q", q) && s.getUInt32Value("t", t));
  EXPECT_TRUE(s.getUIntValue("p", up) && s.getUIntValue("r", r));
  EXPECT_TRUE(s.getUCharValue("w", c));
  EXPECT_EQ(p, 31u);
  EXPECT_EQ(q, 31u);
  EXPECT_EQ(t, 0xFFFFFFFFu);  // more than 32 bits of hexadecimal saturates
  EXPECT_EQ(up, 0u);
  EXPECT_EQ(r, 0xFFFFFFFFu);
  EXPECT_EQ(intOf(s, "s"), 0);
  EXPECT_EQ(c, 44);  // 300 keeps its low 8 bits
}

TEST(rcAttrStreamNumbers, BooleanTextRule) {
  rcAttrStream s("a 3 YESb 2 oNc 1 Yd 4 TRUEe 5 falsef 2 nog 5 maybeh 0 ");
  for (const char* name : {"a", "b", "c", "d", "e", "f", "g", "h"}) {
    bool v = *name > 'd';
    EXPECT_TRUE(s.getBoolValue(name, v)) << name;
    EXPECT_EQ(v, *name <= 'd') << name;
  }
}

TEST(rcAttrStreamEquality, OrderAndRemovedEntriesDoNotMatter) {
  const rcAttrStream a("x 1 1y 2 ab");
  EXPECT_TRUE(a == rcAttrStream("y 2 abx 1 1"));
  EXPECT_TRUE(a == rcAttrStream("   1 9y 2 abx 1 1"));
  EXPECT_FALSE(a == rcAttrStream("y 2 abx 1 1z 0 "));
  EXPECT_FALSE(a == rcAttrStream("y 2 acx 1 1"));
}

TEST(rcAttrStreamOrder, ManyEntriesReadBackInWrittenOrder) {
  rcAttrStream s;
  for (int i = 0; i < 1000; ++i) s.addIntValue(("k" + std::to_string(i)).c_str(), i * 3);
  s.addIntValue("k500", -1);
  EXPECT_EQ(rcAttrStream::ConstIterator(s).getSize(), 1000u);
  for (int i = 0; i < 1000; ++i)
    EXPECT_EQ(intOf(s, ("k" + std::to_string(i)).c_str()), i == 500 ? -1 : i * 3);
}

// ----------------------------------------------------------------- lists

TEST(rcAttrList, EncodesCountThenLengthPrefixedItemsAndRefusesMalformedLists) {
  EXPECT_EQ(rcAttrList<std::string>(std::vector<std::string>{"ab", "c"}).getString(), "2 2 ab1 c");
  const std::vector<std::string> items{"1 2", "", " ", "a\nb", "12 "};
  std::vector<std::string> out{"stale"};
  ASSERT_TRUE(rcAttrList<std::string>(rcAttrList<std::string>(items).getString()).getValues(out));
  EXPECT_EQ(out, items);
  EXPECT_EQ(rcAttrList<std::string>(std::vector<std::string>{}).getString(), "0 ");
  // Malformed lists are refused.
  EXPECT_FALSE(rcAttrList<std::string>("0 ").getValues(out));
  EXPECT_FALSE(rcAttrList<std::string>("2").getValues(out));
  EXPECT_FALSE(rcAttrList<std::string>("2 2 ab1").getValues(out));    // no space after length
  EXPECT_FALSE(rcAttrList<std::string>("1 -1 a").getValues(out));     // negative length
  EXPECT_FALSE(rcAttrList<std::string>("3 2 ab1 c").getValues(out));  // fewer than counted
  EXPECT_FALSE(rcAttrList<std::string>("1 2 ab1 c").getValues(out));  // more than counted
  EXPECT_FALSE(rcAttrList<std::string>("").getValues(out));
  EXPECT_TRUE(rcAttrList<std::string>("1 0 ").getValues(out));
  EXPECT_THAT(out, ElementsAre(""));
}

}  // namespace
}  // namespace Kestrix
