#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include <Eigen/Core>
#include <opencv2/core.hpp>

#include "orvalt/simulation/board.hpp"
#include "orvalt/simulation/mip_texture.hpp"
#include "orvalt/simulation/simulation_options.hpp"

namespace orvalt::simulation {

struct PointLight {
  Eigen::Vector3d position;
  double intensity = 1.0;
};

// The faces of the room. Each face has its own plane coordinates (a, b): x and y on the floor
// and ceiling, y and z on the walls at x_min and x_max, x and z on the walls at y_min, y_max.
enum class Face { kFloor, kCeiling, kWallXMin, kWallXMax, kWallYMin, kWallYMax };
inline constexpr int kFaceCount = 6;

// The irradiance of one face, precomputed on a grid because the lights do not move.
class LightMap {
 public:
  LightMap() = default;
  LightMap(cv::Mat values, double a_min, double b_min, double cell)
      : values_(std::move(values)),
        a_min_(a_min),
        b_min_(b_min),
        inverse_cell_(1.0 / cell),
        max_x_(values_.cols - 1.001f),
        max_y_(values_.rows - 1.001f),
        stride_(values_.step1()) {}

  // Bilinear, clamped at the face's edges.
  float sample(double a, double b) const {
    const float x =
        std::min(std::max(static_cast<float>((a - a_min_) * inverse_cell_), 0.0f), max_x_);
    const float y =
        std::min(std::max(static_cast<float>((b - b_min_) * inverse_cell_), 0.0f), max_y_);
    const int x0 = static_cast<int>(x);
    const int y0 = static_cast<int>(y);
    const float wx = x - x0;
    const float wy = y - y0;
    const float* row0 = values_.ptr<float>(y0) + x0;
    const float* row1 = row0 + stride_;
    const float top = row0[0] + wx * (row0[1] - row0[0]);
    const float bottom = row1[0] + wx * (row1[1] - row1[0]);
    return top + wy * (bottom - top);
  }

 private:
  cv::Mat values_;  // CV_32F, at least 2 x 2
  double a_min_ = 0.0;
  double b_min_ = 0.0;
  double inverse_cell_ = 1.0;
  float max_x_ = 0.0f;  // the last cell's start, so that x0 + 1 stays inside
  float max_y_ = 0.0f;
  std::size_t stride_ = 0;
};

// The room the robot drives in: a textured floor (tiles), four textured walls (plaster,
// skirting, a door, posters) and a ceiling, lit by ceiling lamps, with the board standing in
// it. Textures are generated from the seed, so a seed always gives the same room.
class Scene {
 public:
  explicit Scene(const SimulationOptions& options);

  const Room& room() const { return room_; }
  const Board& board() const { return board_; }
  const MipTexture& floor() const { return floor_; }
  const MipTexture& wall() const { return wall_; }
  const cv::Vec3f& ceiling_colour() const { return ceiling_colour_; }
  // Relative brightness of the printed board under the room's light: white paper and ink.
  static constexpr float kPaperWhite = 0.9f;
  static constexpr float kInkBlack = 0.1f;
  const cv::Vec3f& paper_colour() const { return paper_colour_; }
  const LightMap& light_map(Face face) const { return light_maps_[static_cast<int>(face)]; }

  // Irradiance factor (about 0.5 to 1.2) of a surface point with unit normal `normal`.
  double shade(const Eigen::Vector3d& point, const Eigen::Vector3d& normal) const {
    double light = kAmbient;
    for (const auto& lamp : lights_) {
      const Eigen::Vector3d to_lamp = lamp.position - point;
      const double squared = to_lamp.squaredNorm();
      const double facing = normal.dot(to_lamp);
      if (facing > 0) {
        light += lamp.intensity * facing / std::sqrt(squared) / (1.0 + squared * kFalloff);
      }
    }
    return light;
  }

 private:
  static constexpr double kAmbient = 0.6;
  static constexpr double kFalloff = 0.08;  // per square metre

  Room room_;
  Board board_;
  MipTexture floor_;
  MipTexture wall_;
  cv::Vec3f ceiling_colour_;
  cv::Vec3f paper_colour_;
  std::vector<PointLight> lights_;
  std::array<LightMap, kFaceCount> light_maps_;
};

}  // namespace orvalt::simulation
