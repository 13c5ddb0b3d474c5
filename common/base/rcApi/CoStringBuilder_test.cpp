#include "common/base/rcApi/CoStringBuilder.h"

#include <gtest/gtest.h>

#include <string>

namespace Kestrix {
namespace {

TEST(CoStringBuilderGrowth, AppendMultipliesByTheFactor) {
  CoStringBuilder b(4);
  b.append("abc", 3);  // fills the three usable bytes
  EXPECT_EQ(b.capacity(), 4u);
  b.append("0123456789", 10);  // factor (10 + 1 + 4) / 4 + 1 = 4
  EXPECT_EQ(b.capacity(), 16u);
  EXPECT_STREQ(b.c_str(), "abc0123456789");
  EXPECT_EQ(b.length(), 13u);
}

TEST(CoStringBuilderGrowth, OneByteDoubles) {
  CoStringBuilder b(4);
  for (char c : std::string("abc")) b += c;
  EXPECT_EQ(b.capacity(), 4u);
  b += 'd';
  EXPECT_EQ(b.capacity(), 8u);
  CoStringBuilder one(1);
  one += 'x';
  EXPECT_EQ(one.capacity(), 2u);
  EXPECT_STREQ(one.c_str(), "x");
}

TEST(CoStringBuilderGrowth, SetValueTakesAWholeMultiple) {
  CoStringBuilder b(4);
  b.setValue("0123456789");  // ((10 + 1) / 4 + 1) * 4
  EXPECT_EQ(b.capacity(), 12u);
  EXPECT_STREQ(b.c_str(), "0123456789");
  b.setValue("ab");
  EXPECT_EQ(b.capacity(), 12u);
  EXPECT_STREQ(b.c_str(), "ab");
  b.setValue(b.c_str() + 1);  // from inside its own buffer
  EXPECT_STREQ(b.c_str(), "b");
  b = nullptr;
  EXPECT_EQ(b.length(), 0u);
}

TEST(CoStringBuilderGrowth, ClearKeepsTheBuffer) {
  CoStringBuilder b(8);
  b += std::string("0123456789abcdef");
  const uint64_t capacity = b.capacity();
  b.clear();
  EXPECT_EQ(b.length(), 0u);
  EXPECT_EQ(b.capacity(), capacity);
  EXPECT_STREQ(static_cast<const char*>(b), "");
}

TEST(CoStringBuilderBytes, HoldsNulBytesAndCopies) {
  CoStringBuilder b(2);
  b.append("a\0b", 3);
  CoStringBuilder c(b);
  EXPECT_EQ(c.view(), std::string_view("a\0b", 3));
  CoStringBuilder d(1);
  d = c;
  EXPECT_EQ(d.view(), std::string_view("a\0b", 3));
}

}  // namespace
}  // namespace Kestrix
