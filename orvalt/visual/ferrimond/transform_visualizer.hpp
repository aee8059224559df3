#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "orvalt/calibration/utils/utils.hpp"

namespace orvalt::visual {

// Plots a timestamped pose list for inspection: a top view of the path in a fixed window of
// +-plot_limit_cm around the origin (heading arrows, start, end and origin markers) and a chart
// of the x, y and z displacement (cm) over the sample index. Both figures live as long as the
// object; every plot() replaces what they show and save() renders them as PNG files at 300 dpi.
class TransformVisualizer {
 public:
  static constexpr int kDpi = 300;

  // Creates `save_dir` (one level: its parent must exist); `figsize` is the top view's width
  // and height in inches, the displacement chart is 12 x 5 inches. Until the first plot() the
  // figures are blank framed axes. Throws std::filesystem::filesystem_error when the directory
  // cannot be created.
  explicit TransformVisualizer(std::filesystem::path save_dir = "./output", double grid_size = 25.0,
                               std::pair<double, double> figsize = {10.0, 10.0});
  ~TransformVisualizer();
  TransformVisualizer(const TransformVisualizer&) = delete;
  TransformVisualizer& operator=(const TransformVisualizer&) = delete;

  // Heading (radians) of the quaternion (x, y, z, w) about the z axis.
  static double quat_to_yaw(double x, double y, double z, double w);

  // Redraws both figures from the rows in order. `range_x` and `range_y` (metres) only appear
  // in the top view's title. Throws std::invalid_argument when int(grid_size) is 0 (no tick
  // step).
  void plot(const std::vector<calibration::PoseRow>& transform_list, double range_x, double range_y,
            const std::string& title = "Transform Trajectory [-3m, 3m]");

  // Writes save_dir/prefix + "_2D.png" (top view) and save_dir/prefix + "_axis.png"
  // (displacement chart), cropped to their content. Throws std::runtime_error on write errors.
  void save(const std::string& prefix = "transform_trajectory");

  // The sample indices that get a heading arrow among `count` samples: every
  // max(1, count / 12)-th from 0.
  static std::vector<int> arrow_indices(int count);
  // The top view's tick positions: every int(grid_size) from -int(limit) to +int(limit).
  static std::vector<int> tick_positions(double grid_size, double limit);
  // The top view's title for `title` and the extents in metres.
  static std::string top_view_title(const std::string& title, double range_x, double range_y);

  const std::filesystem::path& save_dir() const { return save_dir_; }
  double grid_size() const { return grid_size_; }
  double plot_limit_cm() const { return plot_limit_cm_; }

 private:
  // What each figure shows, in centimetres and radians. A figure is rendered only when saved,
  // so that a visualizer holds no pixels; std::nullopt is the blank axes shown before the first
  // plot().
  struct TopView {
    std::vector<double> x, y, yaw;
    std::string title;
  };
  struct DisplacementChart {
    std::vector<double> x, y, z;
  };

  void save_top_view(const std::filesystem::path& path) const;
  void save_displacement_chart(const std::filesystem::path& path) const;

  std::filesystem::path save_dir_;
  double grid_size_;
  double plot_limit_cm_ = 150.0;
  std::pair<double, double> figsize_;
  std::optional<TopView> fig_;
  std::optional<DisplacementChart> fig_axis_;
};

}  // namespace orvalt::visual
