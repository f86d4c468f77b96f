// Tests of TextView: slice boundaries and the exact-match comparisons.
#include <gtest/gtest.h>

#include <vector>

#include "foundation/TextView.h"

using namespace dovrel;

TEST(TextViewSliceTest, HeadTailAndSubClampToTheView) {
  TextView abc("abc");
  EXPECT_EQ(abc.head(5).toString(), "abc");
  EXPECT_EQ(abc.head(2).toString(), "ab");
  EXPECT_EQ(abc.head(0).length(), 0u);
  EXPECT_EQ(abc.tail(1).toString(), "c");
  EXPECT_EQ(abc.tail(3).toString(), "abc");
  EXPECT_EQ(abc.tail(4).toString(), "abc");
  EXPECT_TRUE(TextView().tail(1).empty());
  EXPECT_TRUE(TextView().head(1).empty());
  EXPECT_EQ(abc.sub(1, 1).toString(), "b");
  EXPECT_EQ(abc.sub(1, 100).toString(), "bc");
  EXPECT_EQ(abc.sub(1, UINT32_MAX).toString(), "bc");  // no wrap in from + count
  EXPECT_TRUE(abc.sub(3, 1).empty());
  EXPECT_TRUE(abc.sub(UINT32_MAX, 1).empty());
  EXPECT_EQ(abc.tail(2).pointer(), abc.pointer() + 1);  // views, not copies
  EXPECT_EQ(abc.at(2), 'c');
}

TEST(TextViewEqualsTest, ExactLengthAndBytes) {
  EXPECT_TRUE(TextView("abc").equals("abc"));
  EXPECT_FALSE(TextView("ab").equals("abc"));
  EXPECT_FALSE(TextView("abcd").equals("abc"));
  EXPECT_FALSE(TextView("abd").equals("abc"));
  EXPECT_TRUE(TextView().equals(""));
  EXPECT_FALSE(TextView().equals("a"));
  // A zero byte inside the view never matches the terminator of a shorter text.
  EXPECT_FALSE(TextView(std::string_view("a\0", 2)).equals("a"));
  EXPECT_TRUE(TextView(std::string_view("a\0b", 3)).equals("a\0b", 3));
  EXPECT_FALSE(TextView("ab").equals("abc", 2 + 1));
  EXPECT_TRUE(TextView("ab").equals(std::string_view("ab")));
  EXPECT_FALSE(TextView("ab").equals(std::string_view("aB")));
  EXPECT_TRUE(TextView("xy") == TextView(std::string("xy")));
}

TEST(TextViewEqualsTest, EmptyRangesNeverHoldANullPointer) {
  std::vector<char> none;
  TextView fromVector(none.data(), 0);
  EXPECT_NE(fromVector.pointer(), nullptr);
  EXPECT_NE(TextView(std::string_view()).pointer(), nullptr);
  EXPECT_TRUE(fromVector.equals(""));
  EXPECT_TRUE(fromVector.equals(nullptr, 0));
}

TEST(TextViewFatalTest, ReadingPastTheEndStops) {
  EXPECT_EXIT(TextView("ab").at(2), ::testing::ExitedWithCode(3), "");
  EXPECT_EXIT(TextView(nullptr, 1), ::testing::ExitedWithCode(3), "");
}
