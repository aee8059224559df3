#include "orvalt/apriltag/quinsel/tag_edge_refinement.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include <Eigen/Dense>

namespace orvalt::apriltag {
namespace {

// Edge points are sought this far to either side of the current line, in pixels, but never
// further than a fraction of a tag's cell (the black border is one cell of the 8 across a
// tag36h11), so that the code's own edges stay out of the window.
constexpr double kMaxHalfWindowPx = 3.0;
constexpr double kHalfWindowPerSide = 0.05;
constexpr double kProfileStepPx = 0.25;
// The blur's reach beyond the window: samples nearer a corner see the adjacent side too.
constexpr double kCornerClearancePx = 2.0;
constexpr int kMinEdgePoints = 6;
constexpr int kIterations = 3;
// A refined corner further than this from the detector's is not the same corner.
constexpr double kMaxCornerShiftPx = 2.0;

// Bilinear grey value at (x, y); the caller keeps (x, y) inside the image.
double sample(const cv::Mat& gray, double x, double y) {
  const int x0 = static_cast<int>(std::floor(x));
  const int y0 = static_cast<int>(std::floor(y));
  const double fx = x - x0;
  const double fy = y - y0;
  const auto* row0 = gray.ptr<std::uint8_t>(y0);
  const auto* row1 = gray.ptr<std::uint8_t>(y0 + 1);
  const double top = row0[x0] * (1.0 - fx) + row0[x0 + 1] * fx;
  const double bottom = row1[x0] * (1.0 - fx) + row1[x0 + 1] * fx;
  return top * (1.0 - fy) + bottom * fy;
}

bool inside(const cv::Mat& gray, const Eigen::Vector2d& p) {
  return p.x() >= 0.0 && p.y() >= 0.0 && p.x() < gray.cols - 1 && p.y() < gray.rows - 1;
}

using Line = Eigen::ParametrizedLine<double, 2>;

// Nothing for (nearly) parallel lines.
std::optional<Eigen::Vector2d> crossing(const Line& a, const Line& b) {
  const double t = a.intersectionParameter(Eigen::Hyperplane<double, 2>(b));
  if (!std::isfinite(t) || std::abs(t) > 1e6) return std::nullopt;
  return a.pointAt(t);
}

// The side from `from` to `to` of a tag centred at `centre`, fitted to its edge points: at
// every pixel along the side, the centroid of the grey value's rise from the dark inside to
// the light outside, weighted by the rise, so that faint stretches count less.
std::optional<Line> fit_side(const cv::Mat& gray, const Eigen::Vector2d& from,
                             const Eigen::Vector2d& to, const Eigen::Vector2d& centre) {
  const double length = (to - from).norm();
  const Eigen::Vector2d along = (to - from) / length;
  Eigen::Vector2d outward(-along.y(), along.x());
  if (outward.dot(0.5 * (from + to) - centre) < 0.0) outward = -outward;
  const double half_window = std::min(kMaxHalfWindowPx, kHalfWindowPerSide * length);
  const int steps = static_cast<int>(std::round(2.0 * half_window / kProfileStepPx));
  const double clearance = half_window + kCornerClearancePx;

  std::vector<Eigen::Vector2d> points;
  std::vector<double> weights;
  std::vector<double> profile(static_cast<std::size_t>(steps) + 1);
  for (double t = clearance; t <= length - clearance; t += 1.0) {
    const Eigen::Vector2d base = from + t * along;
    if (!inside(gray, base - half_window * outward) || !inside(gray, base + half_window * outward))
      continue;
    for (int j = 0; j <= steps; ++j) {
      const Eigen::Vector2d p = base + (-half_window + j * kProfileStepPx) * outward;
      profile[static_cast<std::size_t>(j)] = sample(gray, p.x(), p.y());
    }
    double rise = 0.0;
    double moment = 0.0;
    for (int j = 0; j < steps; ++j) {
      const double step_rise = profile[static_cast<std::size_t>(j) + 1] - profile[j];
      if (step_rise <= 0.0) continue;
      rise += step_rise;
      moment += step_rise * (-half_window + (j + 0.5) * kProfileStepPx);
    }
    if (rise <= 0.0) continue;
    points.push_back(base + (moment / rise) * outward);
    weights.push_back(rise);
  }
  if (static_cast<int>(points.size()) < kMinEdgePoints) return std::nullopt;

  double total = 0.0;
  Eigen::Vector2d mean = Eigen::Vector2d::Zero();
  for (std::size_t i = 0; i < points.size(); ++i) {
    mean += weights[i] * points[i];
    total += weights[i];
  }
  mean /= total;
  Eigen::Matrix2d scatter = Eigen::Matrix2d::Zero();
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Eigen::Vector2d d = points[i] - mean;
    scatter += weights[i] * d * d.transpose();
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d> solver(scatter);
  return Line(mean, solver.eigenvectors().col(1));
}

}  // namespace

std::optional<TagPoints> refine_tag_edges(const cv::Mat& gray, const TagPoints& corners) {
  if (gray.type() != CV_8UC1 || corners.rows() < 4) return std::nullopt;
  std::array<Eigen::Vector2d, 4> current;
  for (int c = 0; c < 4; ++c) current[c] = corners.row(c).transpose().cast<double>();
  for (int c = 0; c < 4; ++c) {
    if ((current[(c + 1) % 4] - current[c]).norm() < kMinEdgeFitSidePx) return std::nullopt;
  }
  for (int iteration = 0; iteration < kIterations; ++iteration) {
    const Eigen::Vector2d centre = 0.25 * (current[0] + current[1] + current[2] + current[3]);
    std::array<Line, 4> sides;
    for (int c = 0; c < 4; ++c) {
      const std::optional<Line> side = fit_side(gray, current[c], current[(c + 1) % 4], centre);
      if (!side) return std::nullopt;
      sides[c] = *side;
    }
    for (int c = 0; c < 4; ++c) {
      const std::optional<Eigen::Vector2d> corner = crossing(sides[(c + 3) % 4], sides[c]);
      if (!corner) return std::nullopt;
      current[c] = *corner;
    }
  }
  TagPoints refined(4, 2);
  for (int c = 0; c < 4; ++c) {
    const Eigen::Vector2d detected = corners.row(c).transpose().cast<double>();
    if ((current[c] - detected).norm() > kMaxCornerShiftPx) return std::nullopt;
    refined.row(c) = current[c].cast<float>().transpose();
  }
  return refined;
}

TagMap refine_tags_edges(const cv::Mat& gray, const TagMap& tags) {
  TagMap refined;
  for (const auto& [id, corners] : tags) {
    if (std::optional<TagPoints> edges = refine_tag_edges(gray, corners)) {
      refined.emplace_back(id, std::move(*edges));
    }
  }
  return refined;
}

}  // namespace orvalt::apriltag
