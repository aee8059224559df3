#include "bench/accuracy/mathgl_text.hpp"

#include <gtest/gtest.h>

namespace orvalt::bench {
namespace {

TEST(MathglLiteralTest, EscapesEveryMarkupCharacter) {
  EXPECT_EQ(mathgl_literal("2D T [-3m, 3m]_1.50(m)_0.25(m)"), "2D T [-3m, 3m]\\_1.50(m)\\_0.25(m)");
  EXPECT_EQ(mathgl_literal("a^b@c#r{d}\\e"), "a\\^b\\@c\\#r\\{d\\}\\\\e");
}

TEST(MathglLiteralTest, LeavesPlainTextAlone) {
  EXPECT_EQ(mathgl_literal("X (cm)"), "X (cm)");
  EXPECT_EQ(mathgl_literal(""), "");
}

}  // namespace
}  // namespace orvalt::bench
