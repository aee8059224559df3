#include "orvalt/simulation/scene.hpp"

#include <cmath>
#include <random>

#include <opencv2/imgproc.hpp>

#include "orvalt/simulation/random_streams.hpp"

namespace orvalt::simulation {
namespace {

// Smooth random values in [-1, 1] that repeat with the image: `cells` random knots across
// each axis, interpolated bicubically (the knots wrapped around so that the seam is smooth).
cv::Mat periodic_noise(int rows, int cols, int cells_y, int cells_x, std::mt19937_64& random) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  cv::Mat knots(cells_y, cells_x, CV_32F);
  for (int r = 0; r < cells_y; ++r) {
    for (int c = 0; c < cells_x; ++c) knots.at<float>(r, c) = uniform(random);
  }
  constexpr int kPad = 2;  // knots that bicubic interpolation reads past an edge
  cv::Mat padded;
  cv::copyMakeBorder(knots, padded, kPad, kPad, kPad, kPad, cv::BORDER_WRAP);
  const int scale_x = cols / cells_x;
  const int scale_y = rows / cells_y;
  cv::Mat smooth;
  cv::resize(padded, smooth, cv::Size(padded.cols * scale_x, padded.rows * scale_y), 0, 0,
             cv::INTER_CUBIC);
  return smooth(cv::Rect(kPad * scale_x, kPad * scale_y, cols, rows)).clone();
}

// Adds `amplitude` times noise to every channel of a float BGR image.
void add_noise(cv::Mat& image, const cv::Mat& noise, float amplitude) {
  cv::Mat three;
  cv::merge(std::vector<cv::Mat>{noise, noise, noise}, three);
  cv::scaleAdd(three, amplitude, image, image);
}

// Floor tiles of 0.512 m with grout, each tile a slightly different shade, with mottling.
MipTexture make_floor(std::mt19937_64& random) {
  constexpr int kSize = 1024;  // 2.048 m, 2 mm texels
  constexpr int kTile = 256;
  std::uniform_real_distribution<float> shade(-9.0f, 9.0f);
  cv::Mat image(kSize, kSize, CV_32FC3);
  for (int r = 0; r < kSize / kTile; ++r) {
    for (int c = 0; c < kSize / kTile; ++c) {
      const float common = shade(random);
      const cv::Scalar colour(150 + common + 0.3f * shade(random), 163 + common,
                              176 + common + 0.3f * shade(random));
      image(cv::Rect(c * kTile, r * kTile, kTile, kTile)).setTo(colour);
    }
  }
  add_noise(image, periodic_noise(kSize, kSize, 8, 8, random), 7.0f);
  add_noise(image, periodic_noise(kSize, kSize, 64, 64, random), 5.0f);
  add_noise(image, periodic_noise(kSize, kSize, 256, 256, random), 5.0f);
  add_noise(image, periodic_noise(kSize, kSize, 1024, 1024, random), 3.0f);
  for (int k = 0; k < kSize; k += kTile) {
    const cv::Scalar grout(105, 110, 116);
    cv::rectangle(image, cv::Rect(k - 1, 0, 3, kSize), grout, cv::FILLED);
    cv::rectangle(image, cv::Rect(0, k - 1, kSize, 3), grout, cv::FILLED);
  }
  // The tile joints at column and row 0 are cut in half by the image edge; repeat them there.
  cv::rectangle(image, cv::Rect(kSize - 1, 0, 1, kSize), cv::Scalar(105, 110, 116), cv::FILLED);
  cv::rectangle(image, cv::Rect(0, kSize - 1, kSize, 1), cv::Scalar(105, 110, 116), cv::FILLED);
  cv::Mat bytes;
  image.convertTo(bytes, CV_8UC3);
  return MipTexture(bytes, 2.048, 2.048, true);
}

// Painted plaster above a skirting board, a door with its frame and handle, a light switch
// and two posters; 4 mm texels, row 0 at the floor, repeating every 4.096 m along the wall.
MipTexture make_wall(double height, std::mt19937_64& random) {
  constexpr double kTexel = 0.004;
  constexpr int kCols = 1024;
  // Whole noise cells in both directions; the rows above the ceiling are never seen.
  const int rows = 64 * static_cast<int>(std::ceil(height / kTexel / 64.0));
  const auto px = [](double metres) { return static_cast<int>(std::lround(metres / kTexel)); };
  cv::Mat image(rows, kCols, CV_32FC3, cv::Scalar(194, 204, 213));
  add_noise(image, periodic_noise(rows, kCols, rows / 64, 16, random), 5.0f);
  add_noise(image, periodic_noise(rows, kCols, rows / 4, 256, random), 2.5f);

  cv::rectangle(image, cv::Rect(0, 0, kCols, px(0.08)), cv::Scalar(62, 64, 68), cv::FILLED);
  const cv::Rect door(px(0.6), 0, px(0.9), px(2.05));
  cv::rectangle(image, door, cv::Scalar(32, 58, 88), cv::FILLED);
  cv::rectangle(image, cv::Rect(door.x + px(0.05), 0, door.width - px(0.1), door.height - px(0.05)),
                cv::Scalar(48, 84, 124), cv::FILLED);
  cv::circle(image, cv::Point(door.x + door.width - px(0.12), px(1.0)), px(0.03),
             cv::Scalar(170, 170, 175), cv::FILLED, cv::LINE_AA);
  cv::rectangle(image, cv::Rect(px(1.62), px(1.05), px(0.08), px(0.08)), cv::Scalar(232, 235, 236),
                cv::FILLED);

  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (int poster = 0; poster < 2; ++poster) {
    const double width = 0.5 + 0.3 * uniform(random);
    const double tall = 0.6 + 0.3 * uniform(random);
    const double left = 2.0 + poster * 1.0 + 0.1 * uniform(random);
    const double bottom = 1.1 + 0.2 * uniform(random);
    const cv::Rect frame(px(left), px(bottom), px(width), px(tall));
    const cv::Scalar base(60 + 150 * uniform(random), 60 + 150 * uniform(random),
                          60 + 150 * uniform(random));
    cv::rectangle(image, frame, base, cv::FILLED);
    for (int blob = 0; blob < 6; ++blob) {
      const cv::Point centre(frame.x + static_cast<int>(frame.width * uniform(random)),
                             frame.y + static_cast<int>(frame.height * uniform(random)));
      const cv::Scalar colour(255 * uniform(random), 255 * uniform(random), 255 * uniform(random));
      cv::ellipse(image(frame), centre - frame.tl(),
                  cv::Size(px(0.03 + 0.12 * uniform(random)), px(0.03 + 0.12 * uniform(random))),
                  180 * uniform(random), 0, 360, colour, cv::FILLED, cv::LINE_AA);
    }
    cv::rectangle(image, frame, cv::Scalar(30, 30, 30), px(0.01));
  }
  cv::Mat bytes;
  image.convertTo(bytes, CV_8UC3);
  return MipTexture(bytes, kCols * kTexel, rows * kTexel, false);
}

// Light maps have a cell of 4 cm: the lamps are over 2 m away, so light changes slowly.
constexpr double kLightCell = 0.04;

}  // namespace

Scene::Scene(const SimulationOptions& options)
    : room_(options.room),
      board_(options.board, options.board_placement),
      ceiling_colour_(226, 229, 232),
      paper_colour_(238, 243, 247) {
  auto random = random_stream(options.seed, RandomStream::kSceneTextures);
  floor_ = make_floor(random);
  wall_ = make_wall(room_.height, random);
  const double lamp_height = room_.height - 0.1;
  lights_ = {{Eigen::Vector3d(0.3, 1.2, lamp_height), 1.0},
             {Eigen::Vector3d(1.6, -1.4, lamp_height), 0.8}};

  struct FacePlane {
    Face face;
    double a_min, a_max, b_min, b_max;
    // The point at plane coordinates (a, b) and the normal into the room.
    Eigen::Vector3d (*point)(const Room&, double, double);
    Eigen::Vector3d normal;
  };
  const Room& r = room_;
  const std::array<FacePlane, kFaceCount> planes = {{
      {Face::kFloor, r.x_min, r.x_max, r.y_min, r.y_max,
       [](const Room&, double a, double b) { return Eigen::Vector3d(a, b, 0.0); },
       Eigen::Vector3d::UnitZ()},
      {Face::kCeiling, r.x_min, r.x_max, r.y_min, r.y_max,
       [](const Room& room, double a, double b) { return Eigen::Vector3d(a, b, room.height); },
       -Eigen::Vector3d::UnitZ()},
      {Face::kWallXMin, r.y_min, r.y_max, 0.0, r.height,
       [](const Room& room, double a, double b) { return Eigen::Vector3d(room.x_min, a, b); },
       Eigen::Vector3d::UnitX()},
      {Face::kWallXMax, r.y_min, r.y_max, 0.0, r.height,
       [](const Room& room, double a, double b) { return Eigen::Vector3d(room.x_max, a, b); },
       -Eigen::Vector3d::UnitX()},
      {Face::kWallYMin, r.x_min, r.x_max, 0.0, r.height,
       [](const Room& room, double a, double b) { return Eigen::Vector3d(a, room.y_min, b); },
       Eigen::Vector3d::UnitY()},
      {Face::kWallYMax, r.x_min, r.x_max, 0.0, r.height,
       [](const Room& room, double a, double b) { return Eigen::Vector3d(a, room.y_max, b); },
       -Eigen::Vector3d::UnitY()},
  }};
  for (const auto& plane : planes) {
    const int cols = static_cast<int>(std::ceil((plane.a_max - plane.a_min) / kLightCell)) + 1;
    const int rows = static_cast<int>(std::ceil((plane.b_max - plane.b_min) / kLightCell)) + 1;
    cv::Mat values(rows, cols, CV_32F);
    for (int j = 0; j < rows; ++j) {
      for (int i = 0; i < cols; ++i) {
        const Eigen::Vector3d point =
            plane.point(room_, plane.a_min + i * kLightCell, plane.b_min + j * kLightCell);
        values.at<float>(j, i) = static_cast<float>(shade(point, plane.normal));
      }
    }
    light_maps_[static_cast<int>(plane.face)] =
        LightMap(values, plane.a_min, plane.b_min, kLightCell);
  }
}

}  // namespace orvalt::simulation
