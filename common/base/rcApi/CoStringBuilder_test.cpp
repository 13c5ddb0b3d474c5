#include "common/base/rcApi/CoStringBuilder.h"

#include <gtest/gtest.h>

#include <string>

namespace Kestrix {
namespace {

TEST(CoStringBuilderGrowth, AppendMultipliesByTheFactorAndOneByteDoubles) {
  CoStringBuilder b(4);
  for (char c : std::string("abc")) b += c;  // fills the three usable bytes
  EXPECT_EQ(b.capacity(), 4u);
  b.append("0123456789", 10);  // factor (10 + 1 + 4) / 4 + 1 = 4
  EXPECT_EQ(b.capacity(), 16u);
  b += std::string("de");
  b += 'f';
  EXPECT_EQ(b.capacity(), 32u);
  EXPECT_STREQ(b.c_str(), "abc0123456789def");
  CoStringBuilder one(1);
  one += 'x';
  EXPECT_EQ(one.capacity(), 2u);
}

TEST(CoStringBuilderGrowth, SetValueTakesAWholeMultiple) {
  CoStringBuilder b(4);
  b.setValue("0123456789");  // ((10 + 1) / 4 + 1) * 4
  EXPECT_EQ(b.capacity(), 12u);
  EXPECT_STREQ(b.c_str(), "0123456789");
  b.setValue(b.c_str() + 8);  // from inside its own buffer
  EXPECT_EQ(b.capacity(), 12u);
  EXPECT_STREQ(b.c_str(), "89");
  b = nullptr;
  EXPECT_EQ(b.length(), 0u);
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
