// Facade strings, string lists and server identities.
#include "kestrix/client/api/KestrixTypes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kestrix/client/api/KestrixServerId.h"

namespace {

TEST(KestrixStr, EmptyFormsShareTheStaticBuffer) {
  const KestrixStr byDefault;
  for (const KestrixStr& s :
       {KestrixStr(nullptr), KestrixStr(""), KestrixStr("abc", 0), KestrixStr("\0bc", 3)}) {
    EXPECT_EQ(s.length(), 0u);
    EXPECT_EQ(s.c_str(), byDefault.c_str());  // no heap block of its own
  }
}

TEST(KestrixStr, AssignAppendAndSubstr) {
  KestrixStr s("path", 4);
  s += "/to";
  s += KestrixStr("/file");
  s += '\0';  // a zero character changes nothing
  s += static_cast<const char*>(nullptr);
  s += '!';
  EXPECT_STREQ(s.c_str(), "path/to/file!");
  EXPECT_EQ(s.length(), 13u);
  EXPECT_STREQ(KestrixStr("abcdef", 3).c_str(), "abc");
  EXPECT_STREQ(s.substr(5, 2).c_str(), "to");
  EXPECT_STREQ(s.substr(8, 0xffffffffu).c_str(), "file!");
  EXPECT_TRUE(s.substr(13, 1).isEmpty() && s.substr(14, 1).isEmpty());
  s = "";
  EXPECT_EQ(s.c_str(), KestrixStr().c_str());
}

TEST(KestrixStr, SelfAssignmentAndSelfAppendKeepText) {
  KestrixStr s("loop");
  s = s;
  s += s;
  EXPECT_STREQ(s.c_str(), "looploop");
  s = s.c_str() + 4;
  EXPECT_STREQ(s.c_str(), "loop");
}

TEST(KestrixStr, Comparisons) {
  EXPECT_NE(KestrixStr("same"), KestrixStr("sam"));
  EXPECT_FALSE(KestrixStr("x") == static_cast<const char*>(nullptr));
  EXPECT_FALSE(KestrixStr() == static_cast<const char*>(nullptr));
  EXPECT_TRUE(KestrixStr("ab") < KestrixStr("abc"));
  EXPECT_TRUE(KestrixStr("z") < KestrixStr("\xe9"));  // bytes compare unsigned
  EXPECT_FALSE(KestrixStr("b") < KestrixStr("b"));
}

TEST(KestrixStrList, PushCopyResizeCompare) {
  KestrixStrList list;
  std::string source = "first";
  list.push_back(source.c_str());
  source = "changed";
  list.push_back(nullptr);
  EXPECT_STREQ(list[0], "first");
  EXPECT_STREQ(list.getStr(1), "");
  KestrixStrList copy(list);
  EXPECT_TRUE(copy == list);
  copy.resize(3);
  EXPECT_FALSE(copy == list);
  EXPECT_STREQ(copy[2], "");
  copy.resize(1);
  list = copy;
  EXPECT_EQ(list.size(), 1u);
}

// Entries are found from a mark every few entries or from the last one
// read: reads in order, at random and across two lists, between edits and
// copies, must see what a plain vector holds.
TEST(KestrixStrList, ReadsInAnyOrderMatchAPlainListAcrossEditsAndCopies) {
  std::mt19937 random(3);
  KestrixStrList list, other;
  std::vector<std::string> plain, otherPlain;
  for (int step = 0; step < 3000; ++step) {
    const unsigned op = random() % 10;
    if (op < 6) {
      plain.push_back(std::string(random() % 3 == 0 ? 0 : random() % 40, 'a' + step % 26));
      list.push_back(plain.back().c_str(), static_cast<unsigned>(plain.back().size()));
    } else if (op == 6) {
      plain.resize(random() % (plain.size() + 20));
      list.resize(static_cast<int>(plain.size()));
    } else if (op == 7) {
      other = list;
      otherPlain = plain;
    }
    for (unsigned k = 0, n = static_cast<unsigned>(plain.size()); op >= 8 && k < n; ++k) {
      const unsigned i = op == 8 ? k : static_cast<unsigned>(random() % n);
      ASSERT_STREQ(list[i], plain[i].c_str()) << "step " << step;
      if (!otherPlain.empty() && k % 5 == 0) {
        ASSERT_STREQ(other[i % other.size()], otherPlain[i % otherPlain.size()].c_str());
      }
    }
  }
}

TEST(KestrixStrListDeathTest, IndexAtSizeStops) {
  KestrixStrList list;
  list.push_back("only");
  EXPECT_DEATH(list.getStr(1), "index < size\\(\\)");
}

TEST(KestrixServerId, SuffixIsPortOrDatabase) {
  const KestrixServerId bare("render01");
  EXPECT_STREQ(bare.getDB(), "GRYNN");
  EXPECT_STREQ(bare.getId(), "render01:GRYNN");
  const KestrixServerId port("10.0.0.5:7549");
  EXPECT_STREQ(port.getIPAddr(), "10.0.0.5");
  EXPECT_EQ(port.getPort(), 7549);
  EXPECT_STREQ(port.getDB(), "");
  const KestrixServerId db("host:ARCHIVE");
  EXPECT_STREQ(db.getDB(), "ARCHIVE");
  EXPECT_EQ(db.getPort(), 0);
  EXPECT_STREQ(KestrixServerId("host:0").getDB(), "0");
  const KestrixServerId glued("host:12ab");
  EXPECT_EQ(glued.getPort(), 12);
  EXPECT_STREQ(glued.getDB(), "");
  EXPECT_STREQ(glued.getId(), "host:12ab");  // kept as passed in
}

TEST(KestrixServerId, OnlyTheLastColonSplits) {
  const KestrixServerId v6port("fe80::1:7549");
  EXPECT_STREQ(v6port.getIPAddr(), "fe80::1");
  EXPECT_EQ(v6port.getPort(), 7549);
  const KestrixServerId v6("::1");
  EXPECT_STREQ(v6.getIPAddr(), ":");
  EXPECT_EQ(v6.getPort(), 1);
}

TEST(KestrixServerId, BuiltFromPartsChangedAndCompared) {
  KestrixServerId withPort(7549, "h");
  EXPECT_STREQ(withPort.getId(), "h:7549");
  EXPECT_STREQ(KestrixServerId(0, "A").getId(), "A");
  EXPECT_STREQ(KestrixServerId("DB", "A", 0).getId(), "A:DB");
  KestrixServerId parsed("h:100");
  parsed.setPort(7549);
  EXPECT_TRUE(parsed == withPort);  // id texts differ only in the cache
  parsed.setStorageId("store-1");
  EXPECT_STREQ(parsed.getId(), "h:7549");
  EXPECT_FALSE(parsed == withPort);
  parsed.setDB("X");
  EXPECT_STREQ(parsed.getId(), "h:X");
  EXPECT_FALSE(KestrixServerId("").isValid());
  KestrixServerId storageOnly;
  storageOnly.setStorageId("s");
  EXPECT_TRUE(storageOnly.isValid());
}

}  // namespace
