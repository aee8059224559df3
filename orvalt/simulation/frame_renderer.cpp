#include "orvalt/simulation/frame_renderer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/castrel/board_renderer.hpp"

namespace orvalt::simulation {
namespace {

// Board points closer than this to the camera plane are not drawn (and cannot be projected).
constexpr double kNearPlane = 0.02;
// Lighting over the board varies slowly, so it is evaluated on a grid this many pixels apart.
constexpr int kShadeGrid = 8;
// Pixels this far inside the board's outline (on boards farther than kInteriorDepth) skip the
// room's colour, which the board covers anyway.
constexpr double kInteriorPixels = 3.0;
constexpr double kInteriorDepth = 0.1;
// Vignetting: relative brightness lost at the image corners.
constexpr double kVignetting = 0.25;

const cv::Vec3f kCardboard(105, 130, 155);

// Along-wall texture offsets, so that the four walls do not look alike.
constexpr std::array<double, 6> kWallOffset = {0.0, 0.0, 0.37, 1.91, 2.83, 3.41};

cv::Matx44d to_matx(const Eigen::Isometry3d& pose) {
  cv::Matx44d matrix;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) matrix(r, c) = pose.matrix()(r, c);
  }
  return matrix;
}

// The part of a convex polygon with z >= near (Sutherland-Hodgman against one plane).
std::vector<Eigen::Vector3d> clip_near(const std::vector<Eigen::Vector3d>& polygon) {
  std::vector<Eigen::Vector3d> clipped;
  for (std::size_t i = 0; i < polygon.size(); ++i) {
    const Eigen::Vector3d& a = polygon[i];
    const Eigen::Vector3d& b = polygon[(i + 1) % polygon.size()];
    const bool a_in = a.z() >= kNearPlane;
    const bool b_in = b.z() >= kNearPlane;
    if (a_in) clipped.push_back(a);
    if (a_in != b_in) clipped.push_back(a + (b - a) * ((kNearPlane - a.z()) / (b.z() - a.z())));
  }
  return clipped;
}

}  // namespace

FrameRenderer::FrameRenderer(const Scene& scene, const CameraIntrinsics& intrinsics)
    : scene_(scene), camera_(intrinsics) {
  const cv::Mat& print = scene_.board().texture();
  const cv::Mat coverage(print.size(), CV_8U, cv::Scalar(255));
  cv::Mat front, back;
  cv::merge(std::vector<cv::Mat>{print, coverage}, front);
  cv::merge(std::vector<cv::Mat>{coverage, coverage}, back);
  // Only exact halvings, so that every level keeps square texels aligned with the board.
  while (true) {
    front_levels_.push_back(front);
    back_levels_.push_back(back);
    if (front.cols % 2 != 0 || front.rows % 2 != 0 || front.cols < 16 || front.rows < 16) break;
    cv::Mat half;
    cv::resize(front, half, front.size() / 2, 0, 0, cv::INTER_AREA);
    front = half;
    back = cv::Mat(front.size(), CV_8UC2, cv::Scalar(255, 255));
  }

  vignette_.create(intrinsics.height, intrinsics.width, CV_32F);
  const double half_diagonal =
      0.5 * std::hypot(static_cast<double>(intrinsics.width), intrinsics.height);
  for (int v = 0; v < intrinsics.height; ++v) {
    auto* row = vignette_.ptr<float>(v);
    for (int u = 0; u < intrinsics.width; ++u) {
      const double r = std::hypot(u - intrinsics.cx, v - intrinsics.cy) / half_diagonal;
      row[u] = static_cast<float>(1.0 - kVignetting * r * r);
    }
  }
}

RenderedView FrameRenderer::render(const Eigen::Isometry3d& world_from_optical) const {
  const auto& intrinsics = camera_.intrinsics();
  RenderedView view;
  view.colour.create(intrinsics.height, intrinsics.width, CV_32FC3);
  view.depth.create(intrinsics.height, intrinsics.width, CV_32F);
  cast_rays(world_from_optical, view);
  draw_board(world_from_optical, view);
  return view;
}

void FrameRenderer::cast_rays(const Eigen::Isometry3d& world_from_optical,
                              RenderedView& view) const {
  const auto& intrinsics = camera_.intrinsics();
  const Room& room = scene_.room();
  const Board& board = scene_.board();
  const Eigen::Matrix3d& R = world_from_optical.linear();
  const Eigen::Vector3d origin = world_from_optical.translation();
  // Ray of pixel (u, v) in the world, scaled so that its optical z is 1: then the ray
  // parameter of a hit is the depth.
  const Eigen::Vector3d per_u = R.col(0) / intrinsics.fx;
  const Eigen::Vector3d per_v = R.col(1) / intrinsics.fy;
  const Eigen::Vector3d ray_origin = R.col(2) - intrinsics.cx * per_u - intrinsics.cy * per_v;
  const double inverse_focal = 2.0 / (intrinsics.fx + intrinsics.fy);

  // Distances from the camera to the six faces along each axis.
  const double to_x_min = room.x_min - origin.x(), to_x_max = room.x_max - origin.x();
  const double to_y_min = room.y_min - origin.y(), to_y_max = room.y_max - origin.y();
  const double to_floor = -origin.z(), to_ceiling = room.height - origin.z();

  const Eigen::Vector3d board_x = board.world_from_board().linear().col(0);
  const Eigen::Vector3d board_y = board.world_from_board().linear().col(1);
  const Eigen::Vector3d board_normal = board.world_from_board().linear().col(2);
  const Eigen::Vector3d board_corner = board.world_from_board().translation();
  const double board_distance = board_normal.dot(board_corner - origin);
  // Board coordinates of the camera centre and their change per unit of ray parameter.
  const double origin_bx = board_x.dot(origin - board_corner);
  const double origin_by = board_y.dot(origin - board_corner);
  const double board_width = board.width();
  const double board_height = board.height();

  const MipTexture& floor = scene_.floor();
  const MipTexture& wall = scene_.wall();
  const cv::Vec3f ceiling = scene_.ceiling_colour();
  for (int v = 0; v < intrinsics.height; ++v) {
    auto* colour = view.colour.ptr<cv::Vec3f>(v);
    auto* depth = view.depth.ptr<float>(v);
    const float* vignette = vignette_.ptr<float>(v);
    const Eigen::Vector3d row_ray = ray_origin + v * per_v;
    for (int u = 0; u < intrinsics.width; ++u) {
      const double rx = row_ray.x() + u * per_u.x();
      const double ry = row_ray.y() + u * per_u.y();
      const double rz = row_ray.z() + u * per_u.z();
      // The camera is inside the room, so the ray leaves it through the face it reaches first:
      // the smallest distance / |ray component|, compared by cross-multiplying so that only
      // the chosen face costs a division.
      const double ax = rx > 0 ? to_x_max : -to_x_min, bx = std::abs(rx);
      const double ay = ry > 0 ? to_y_max : -to_y_min, by = std::abs(ry);
      const double az = rz > 0 ? to_ceiling : -to_floor, bz = std::abs(rz);
      Face face;
      double distance, component;
      if (az * bx <= ax * bz && az * by <= ay * bz) {
        face = rz > 0 ? Face::kCeiling : Face::kFloor;
        distance = az;
        component = bz;
      } else if (ax * by <= ay * bx) {
        face = rx > 0 ? Face::kWallXMax : Face::kWallXMin;
        distance = ax;
        component = bx;
      } else {
        face = ry > 0 ? Face::kWallYMax : Face::kWallYMin;
        distance = ay;
        component = by;
      }
      const double inverse = 1.0 / component;
      const double t = distance * inverse;

      // The board stands inside the room, so where its plane is hit first, the board is seen.
      depth[u] = static_cast<float>(t);
      const double facing = board_normal.x() * rx + board_normal.y() * ry + board_normal.z() * rz;
      if (facing * board_distance > 0.0 && std::abs(board_distance) < t * std::abs(facing)) {
        const double t_board = board_distance / facing;
        const double x =
            origin_bx + t_board * (board_x.x() * rx + board_x.y() * ry + board_x.z() * rz);
        const double y =
            origin_by + t_board * (board_y.x() * rx + board_y.y() * ry + board_y.z() * rz);
        if (x >= 0.0 && x <= board_width && y >= 0.0 && y <= board_height) {
          depth[u] = static_cast<float>(t_board);
          // Well inside the board the room never shows, as draw_board covers the pixel
          // entirely. (The ray's squared length, at least 1, bounds its length from above.)
          const double margin = kInteriorPixels * t_board * inverse_focal *
                                (rx * rx + ry * ry + rz * rz) / std::abs(facing);
          if (t_board > kInteriorDepth && x > margin && x < board_width - margin && y > margin &&
              y < board_height - margin) {
            colour[u] = cv::Vec3f(0, 0, 0);
            continue;
          }
        }
      }

      // Texture coordinates on the face: s across it, `along` up it (or along y).
      double s, along;
      switch (face) {
        case Face::kFloor:
        case Face::kCeiling:
          s = origin.x() + t * rx;
          along = origin.y() + t * ry;
          break;
        case Face::kWallXMin:
        case Face::kWallXMax:
          s = origin.y() + t * ry;
          along = origin.z() + t * rz;
          break;
        default:
          s = origin.x() + t * rx;
          along = origin.z() + t * rz;
          break;
      }
      const float light = scene_.light_map(face).sample(s, along) * vignette[u];
      const double footprint = t * inverse_focal * inverse;
      if (face == Face::kFloor) {
        colour[u] = floor.sample(s, along, footprint) * light;
      } else if (face == Face::kCeiling) {
        colour[u] = ceiling * light;
      } else {
        colour[u] = wall.sample(s + kWallOffset[static_cast<int>(face)], along, footprint) * light;
      }
    }
  }
}

void FrameRenderer::draw_board(const Eigen::Isometry3d& world_from_optical,
                               RenderedView& view) const {
  const auto& intrinsics = camera_.intrinsics();
  const Board& board = scene_.board();
  const Eigen::Isometry3d optical_from_board =
      world_from_optical.inverse() * board.world_from_board();

  const std::vector<Eigen::Vector3d> corners = {
      optical_from_board * Eigen::Vector3d(0, 0, 0),
      optical_from_board * Eigen::Vector3d(board.width(), 0, 0),
      optical_from_board * Eigen::Vector3d(board.width(), board.height(), 0),
      optical_from_board * Eigen::Vector3d(0, board.height(), 0)};
  const std::vector<Eigen::Vector3d> outline = clip_near(corners);
  if (outline.size() < 3) return;
  double u_min = std::numeric_limits<double>::infinity(), v_min = u_min;
  double u_max = -u_min, v_max = -u_min;
  for (const auto& corner : outline) {
    const Eigen::Vector2d pixel = camera_.project(corner);
    u_min = std::min(u_min, pixel.x());
    u_max = std::max(u_max, pixel.x());
    v_min = std::min(v_min, pixel.y());
    v_max = std::max(v_max, pixel.y());
  }
  const cv::Rect image_rect(0, 0, intrinsics.width, intrinsics.height);
  const auto clamp_coordinate = [](double value) {
    return static_cast<int>(std::clamp(value, -1e6, 1e6));
  };
  const cv::Rect roi = cv::Rect(cv::Point(clamp_coordinate(std::floor(u_min)) - 2,
                                          clamp_coordinate(std::floor(v_min)) - 2),
                                cv::Point(clamp_coordinate(std::ceil(u_max)) + 3,
                                          clamp_coordinate(std::ceil(v_max)) + 3)) &
                       image_rect;
  if (roi.empty()) return;

  // The coarsest level whose texels are no larger than a sample's footprint at the board's
  // centre: finer would alias, coarser would blur.
  const Eigen::Vector3d centre =
      optical_from_board * Eigen::Vector3d(0.5 * board.width(), 0.5 * board.height(), 0.0);
  const double sample_size =
      std::max(centre.z(), kNearPlane) * 2.0 / (intrinsics.fx + intrinsics.fy) / kBoardSupersample;
  std::size_t level = 0;
  while (level + 1 < front_levels_.size() &&
         board.metres_per_pixel() * std::pow(2.0, level + 1) <= sample_size) {
    ++level;
  }
  const double texel = board.metres_per_pixel() * std::pow(2.0, level);
  // Seen from behind, the board is plain cardboard.
  const bool from_behind =
      (board.world_from_board().inverse() * world_from_optical.translation()).z() > 0.0;
  cv::Mat texture = from_behind ? back_levels_[level] : front_levels_[level];
  const bool clipped = std::any_of(corners.begin(), corners.end(),
                                   [](const Eigen::Vector3d& p) { return p.z() < kNearPlane; });
  if (clipped) {
    // Part of the board lies behind the camera; the homography maps it onto the image too, so
    // its coverage is cleared. Board points are z = z0 + gx x + gy y in the optical frame.
    const Eigen::Matrix3d& R = optical_from_board.linear();
    const double m = texel;
    std::vector<Eigen::Vector3d> texture_rect = {{0, 0, 0},
                                                 {1.0 * texture.cols, 0, 0},
                                                 {1.0 * texture.cols, 1.0 * texture.rows, 0},
                                                 {0, 1.0 * texture.rows, 0}};
    for (auto& corner : texture_rect) {
      corner.z() = optical_from_board.translation().z() + R(2, 0) * corner.x() * m +
                   R(2, 1) * corner.y() * m;
    }
    std::vector<cv::Point> visible;
    for (const auto& corner : clip_near(texture_rect)) {
      visible.emplace_back(static_cast<int>(std::lround(corner.x())),
                           static_cast<int>(std::lround(corner.y())));
    }
    std::vector<cv::Mat> channels;
    cv::split(texture, channels);
    channels[1].setTo(0);
    if (visible.size() >= 3) cv::fillConvexPoly(channels[1], visible, cv::Scalar(255));
    cv::Mat masked;
    cv::merge(channels, masked);
    texture = masked;
  }

  const cv::Matx33d K(intrinsics.fx, 0, intrinsics.cx, 0, intrinsics.fy, intrinsics.cy, 0, 0, 1);
  const cv::Matx33d roi_from_image(1, 0, -roi.x, 0, 1, -roi.y, 0, 0, 1);
  const cv::Matx33d view_from_board =
      roi_from_image * apriltag::board_view_homography(K, to_matx(optical_from_board), texel);
  const cv::Mat print =
      apriltag::render_board_view(texture, view_from_board, roi.size(), kBoardSupersample, 0);

  // Lighting on a coarse grid of the board plane, interpolated over the region.
  const Eigen::Vector3d board_normal = board.world_from_board().linear().col(2);
  const Eigen::Vector3d lit_side = from_behind ? board_normal : Eigen::Vector3d(-board_normal);
  const Eigen::Vector3d board_corner = board.world_from_board().translation();
  const Eigen::Vector3d origin = world_from_optical.translation();
  // Grid cell centres sit where cv::resize puts them, so the interpolation is exact there.
  const cv::Size grid_size(roi.width / kShadeGrid + 1, roi.height / kShadeGrid + 1);
  cv::Mat grid(grid_size, CV_32F);
  for (int j = 0; j < grid_size.height; ++j) {
    for (int i = 0; i < grid_size.width; ++i) {
      const double u = roi.x + (i + 0.5) * roi.width / grid_size.width - 0.5;
      const double v = roi.y + (j + 0.5) * roi.height / grid_size.height - 0.5;
      const Eigen::Vector3d ray = world_from_optical.linear() * camera_.back_project(u, v, 1.0);
      const double facing = board_normal.dot(ray);
      double light = scene_.shade(board_corner, lit_side);
      if (facing != 0.0) {
        const double t = board_normal.dot(board_corner - origin) / facing;
        if (t > 0) light = scene_.shade(origin + t * ray, lit_side);
      }
      grid.at<float>(j, i) = static_cast<float>(light);
    }
  }
  cv::Mat shade;
  cv::resize(grid, shade, roi.size(), 0, 0, cv::INTER_LINEAR);

  const cv::Vec3f base = from_behind ? kCardboard / Scene::kPaperWhite : scene_.paper_colour();
  constexpr float kContrast = (Scene::kPaperWhite - Scene::kInkBlack) / 255.0f;
  for (int y = 0; y < roi.height; ++y) {
    const auto* printed = print.ptr<cv::Vec2b>(y);
    const auto* light = shade.ptr<float>(y);
    const auto* vignette = vignette_.ptr<float>(roi.y + y) + roi.x;
    auto* colour = view.colour.ptr<cv::Vec3f>(roi.y + y) + roi.x;
    for (int x = 0; x < roi.width; ++x) {
      const float coverage = printed[x][1] / 255.0f;
      if (coverage == 0.0f) continue;
      // The print is averaged with zero outside the board, so it is premultiplied by coverage.
      const float reflectance = Scene::kInkBlack * coverage + kContrast * printed[x][0];
      colour[x] = colour[x] * (1.0f - coverage) + base * (reflectance * light[x] * vignette[x]);
    }
  }
}

}  // namespace orvalt::simulation
