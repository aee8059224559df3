#include "orvalt/calibration/varnholt/calibration_result.hpp"

#include <cctype>
#include <cmath>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "orvalt/testing/eigen_matchers.hpp"

namespace orvalt::calibration {
namespace {

TEST(RoundHalfEvenTest, EightDecimals) {
  EXPECT_EQ(round_half_even(0.123456789, 8), 0.12345679);
  EXPECT_EQ(round_half_even(1e-9, 8), 0.0);
  const double negative_zero = round_half_even(-1e-9, 8);
  EXPECT_EQ(negative_zero, 0.0);
  EXPECT_TRUE(std::signbit(negative_zero));
  // Exact halves go to the even digit.
  EXPECT_EQ(round_half_even(0.125, 2), 0.12);
  EXPECT_EQ(round_half_even(0.375, 2), 0.38);
  EXPECT_EQ(round_half_even(2.5, 0), 2.0);
}

// The pitch of the identity is asin(-0.0): the sign of zero is kept, as rounding keeps it.
TEST(CalibrationResultTest, ZeroVectorGivesTheIdentityFile) {
  const std::string expected = R"({
    "vec6": [
        0.0,
        0.0,
        0.0,
        0.0,
        0.0,
        0.0
    ],
    "rotation": [
        [
            1.0,
            0.0,
            0.0
        ],
        [
            0.0,
            1.0,
            0.0
        ],
        [
            0.0,
            0.0,
            1.0
        ]
    ],
    "translation": [
        0.0,
        0.0,
        0.0
    ],
    "rotation_euler": [
        0.0,
        -0.0,
        0.0
    ],
    "rotation_deg": [
        0.0,
        -0.0,
        0.0
    ],
    "rotation_quat": [
        1.0,
        0.0,
        0.0,
        0.0
    ],
    "extrinsic_matrix_4x4": [
        [
            1.0,
            0.0,
            0.0,
            0.0
        ],
        [
            0.0,
            1.0,
            0.0,
            0.0
        ],
        [
            0.0,
            0.0,
            1.0,
            0.0
        ],
        [
            0.0,
            0.0,
            0.0,
            1.0
        ]
    ]
}
)";
  EXPECT_EQ(calibration_result_json(decompose_extrinsic(Vector6d::Zero())), expected);
}

TEST(CalibrationResultTest, NumbersAreRoundedAndShortest) {
  Vector6d vec6;
  vec6 << 0.0, 0.0, 0.0, 0.123456789, 1e-9, -1e-9;
  const std::string text = calibration_result_json(decompose_extrinsic(vec6));
  EXPECT_NE(text.find("    \"translation\": [\n        0.12345679,\n        0.0,\n        -0.0\n"),
            std::string::npos)
      << text;
}

TEST(CalibrationResultTest, EveryNumberHasAtMostEightDecimalsInItsShortestForm) {
  Vector6d vec6;
  vec6 << 0.0, 0.0, 0.0, 0.01, 0.04, 0.15113095;
  EXPECT_NE(calibration_result_json(decompose_extrinsic(vec6)).find("        0.15113095\n"),
            std::string::npos);
  // Random results, as the optimizer gives them: nlohmann's own digits spelled about one
  // number in 500 with 17 significant digits.
  std::mt19937 random(3);
  std::uniform_real_distribution<double> angle(-0.5, 0.5), offset(-0.3, 0.3);
  for (int run = 0; run < 200; ++run) {
    vec6 << angle(random), angle(random), angle(random), offset(random), offset(random),
        offset(random);
    std::istringstream lines(calibration_result_json(decompose_extrinsic(vec6)));
    int numbers = 0;
    for (std::string line; std::getline(lines, line);) {
      std::string value = line.substr(line.find_first_not_of(' '));
      if (value.back() == ',') value.pop_back();
      if (!std::isdigit(static_cast<unsigned char>(value.back()))) continue;  // keys, brackets
      ++numbers;
      const auto point = value.find('.');
      // Below 1e-4 the shortest form is an exponent, "5e-05", with at most two digits.
      ASSERT_TRUE(value.find('e') != std::string::npos ||
                  (point != std::string::npos && value.size() - point - 1 <= 8))
          << value;
    }
    ASSERT_EQ(numbers, 6 + 9 + 3 + 3 + 3 + 4 + 16);
  }
}

TEST(CalibrationResultTest, FormsAgreeWithEachOther) {
  Vector6d vec6;
  vec6 << 0.1, -0.2, 0.3, 0.01, 0.04, 0.146;
  const CalibrationResult result = decompose_extrinsic(vec6);
  EXPECT_THAT(result.euler, testing::EigenNear(vec6.head<3>(), 1e-12));
  EXPECT_THAT(result.euler_deg, testing::EigenNear(vec6.head<3>() * 180.0 / M_PI, 1e-10));
  const Eigen::Quaterniond q(result.quat[0], result.quat[1], result.quat[2], result.quat[3]);
  EXPECT_THAT(q.toRotationMatrix(), testing::EigenNear(result.R, 1e-12));
  const auto json = nlohmann::json::parse(calibration_result_json(result));
  EXPECT_EQ(json["extrinsic_matrix_4x4"][2][3].get<double>(), 0.146);
  EXPECT_EQ(json["vec6"][0].get<double>(), 0.1);
}

TEST(ArrayTextTest, BracketsAndSpaces) {
  EXPECT_EQ(array_text(Eigen::Matrix2d::Identity()), "[[1 0]\n [0 1]]");
  EXPECT_EQ(array_text(Eigen::Vector3d(0.5, -2, 1e-9)), "[0.5 -2 1e-09]");
}

}  // namespace
}  // namespace orvalt::calibration
