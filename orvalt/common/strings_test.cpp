#include "orvalt/common/strings.hpp"

#include <gtest/gtest.h>

namespace orvalt::common {
namespace {

TEST(StringsTest, CaseChangesOnlyAsciiLetters) {
  EXPECT_EQ(lower("BGR8 .PNG"), "bgr8 .png");
  EXPECT_EQ(upper("zstd_Message-1"), "ZSTD_MESSAGE-1");
  // Bytes of UTF-8 text above 127 pass through unchanged (no sign-extension surprises).
  EXPECT_EQ(lower("\xC3\x84pfel"), "\xC3\x84pfel");
  EXPECT_EQ(upper(""), "");
}

TEST(StringsTest, EndsWithComparesWholeSuffixes) {
  EXPECT_TRUE(ends_with("bag_0.db3.zstd", ".zstd"));
  EXPECT_TRUE(ends_with("x.ply", "x.ply"));
  EXPECT_TRUE(ends_with("x.ply", ""));
  EXPECT_FALSE(ends_with("ply", ".ply"));
  EXPECT_FALSE(ends_with("x.PLY", ".ply"));
  EXPECT_FALSE(ends_with("", "a"));
}

}  // namespace
}  // namespace orvalt::common
