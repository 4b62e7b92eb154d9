#include <gtest/gtest.h>

#include "common/text.h"

using namespace vellora;

TEST(Text, TrimRemovesUnicodeSpaces) {
  EXPECT_EQ(trim("  \t a b \n"), "a b");
  EXPECT_EQ(trim("\u00a0x\u2003"), "x");
  EXPECT_EQ(trim(""), "");
}
