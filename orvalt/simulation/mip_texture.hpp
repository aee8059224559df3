#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>

namespace orvalt::simulation {

// A BGR texture laid on a surface, with halved copies (mip levels) so that far and grazing
// surfaces are sampled from a level whose texels match the pixel's footprint instead of
// aliasing. Surface coordinates are metres; the texture repeats along s (and along t when
// `repeat_t`), else t is clamped to the texture.
class MipTexture {
 public:
  MipTexture() = default;
  // `base`: 8-bit BGR; column c covers s in [c, c + 1) * extent_s / cols, row r likewise t.
  // Its width (and its height when `repeat_t`) must be a power of two. Throws
  // std::invalid_argument otherwise.
  MipTexture(const cv::Mat& base, double extent_s, double extent_t, bool repeat_t);

  // Bilinear colour (0-255 per channel) at (s, t) for a pixel covering `footprint` metres.
  cv::Vec3f sample(double s, double t, double footprint) const {
    // The level whose texel is nearest the footprint, from the binary exponent of the
    // footprint in finest texels: m 2^e with m in [1, 2) gives level e, or e + 1 past the
    // geometric middle (m > 1.5).
    const double texels = footprint * finest_texels_per_metre_;
    std::uint64_t bits;
    std::memcpy(&bits, &texels, sizeof(bits));
    const int exponent = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
    const bool upper_half = (bits & (std::uint64_t{1} << 51)) != 0;
    int level = exponent + (upper_half ? 1 : 0);
    if (level < 0) level = 0;
    if (level >= levels_count()) level = levels_count() - 1;
    return sample_level(levels_[level], s, t);
  }

 private:
  struct Level {
    cv::Mat image;  // CV_8UC4
    double texels_per_metre_s;
    double texels_per_metre_t;
  };

  int levels_count() const { return static_cast<int>(levels_.size()); }

  // floor() for the coordinates of a room (far below 2^20 texels).
  static int floor_int(double x) {
    constexpr double kOffset = 1048576.0;
    return static_cast<int>(x + kOffset) - static_cast<int>(kOffset);
  }

  cv::Vec3f sample_level(const Level& level, double s, double t) const {
    const double x = s * level.texels_per_metre_s - 0.5;
    const double y = t * level.texels_per_metre_t - 0.5;
    const int x_floor = floor_int(x);
    const int y_floor = floor_int(y);
    const float wx = static_cast<float>(x - x_floor);
    float wy = static_cast<float>(y - y_floor);
    // Repeating sizes are powers of two, so wrapping is a mask (right for negatives too).
    const int column_mask = level.image.cols - 1;
    const int x0 = x_floor & column_mask;
    const int x1 = (x_floor + 1) & column_mask;
    int y0, y1;
    if (repeat_t_) {
      const int row_mask = level.image.rows - 1;
      y0 = y_floor & row_mask;
      y1 = (y_floor + 1) & row_mask;
    } else if (y_floor < 0) {
      y0 = y1 = 0;
      wy = 0;
    } else if (y_floor + 1 >= level.image.rows) {
      y0 = y1 = level.image.rows - 1;
      wy = 0;
    } else {
      y0 = y_floor;
      y1 = y_floor + 1;
    }
    // Texels are BGRA, so that one vector holds a texel and the four blend at once.
    const auto texel = [](const std::uint8_t* bgra) {
      return cv::v_cvt_f32(cv::v_reinterpret_as_s32(cv::v_load_expand_q(bgra)));
    };
    const std::uint8_t* row0 = level.image.ptr<std::uint8_t>(y0);
    const std::uint8_t* row1 = level.image.ptr<std::uint8_t>(y1);
    const cv::v_float32x4 a = texel(row0 + 4 * x0), b = texel(row0 + 4 * x1);
    const cv::v_float32x4 c = texel(row1 + 4 * x0), d = texel(row1 + 4 * x1);
    const cv::v_float32x4 across = cv::v_setall_f32(wx);
    const cv::v_float32x4 top = cv::v_muladd(b - a, across, a);
    const cv::v_float32x4 bottom = cv::v_muladd(d - c, across, c);
    float blended[4];
    cv::v_store(blended, cv::v_muladd(bottom - top, cv::v_setall_f32(wy), top));
    return cv::Vec3f(blended[0], blended[1], blended[2]);
  }

  std::vector<Level> levels_;
  double finest_texels_per_metre_ = 1.0;
  bool repeat_t_ = true;
};

}  // namespace orvalt::simulation
