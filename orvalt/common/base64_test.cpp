#include "orvalt/common/base64.hpp"

#include <string>

#include <gtest/gtest.h>

namespace orvalt::common {
namespace {

TEST(Base64Test, Rfc4648Vectors) {
  EXPECT_EQ(base64(""), "");
  EXPECT_EQ(base64("f"), "Zg==");
  EXPECT_EQ(base64("fo"), "Zm8=");
  EXPECT_EQ(base64("foo"), "Zm9v");
  EXPECT_EQ(base64("foob"), "Zm9vYg==");
  EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
}

TEST(Base64Test, HighBytesAndZerosKeepTheirBits) {
  EXPECT_EQ(base64(std::string("\xff\xfe\x00", 3)), "//4A");
  EXPECT_EQ(base64(std::string("\x00", 1)), "AA==");
}

}  // namespace
}  // namespace orvalt::common
