#include "orvalt/simulation/depth_sensor.hpp"

#include <cmath>
#include <random>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace orvalt::simulation {
namespace {

// Dropouts come as blobs of radius 0 or 1 pixel: 3 pixels on average.
constexpr double kPixelsPerDropout = 3.0;

}  // namespace

DepthSensor::DepthSensor(const NoiseSettings& noise, double min_depth, double max_depth,
                         std::uint64_t seed, cv::Size image_size)
    : noise_(noise), min_depth_(min_depth), max_depth_(max_depth), seed_(seed) {
  if (noise_.depth_noise > 0.0 || noise_.depth_noise_quadratic > 0.0) {
    gaussian_.emplace(seed, RandomStream::kDepthNoise, image_size.area());
  }
}

cv::Mat DepthSensor::edge_holes(const cv::Mat& exact) const {
  cv::Mat jumps(exact.size(), CV_8U, cv::Scalar(0));
  const float threshold = static_cast<float>(kDisparityJump);
  // A jump in disparity (inverse depth) between depths a and b: |1/a - 1/b| > threshold, that
  // is |a - b| > threshold a b, without a division. An empty pixel (0) jumps to any other.
  const auto jump = [threshold](float a, float b) {
    return (a > 0.0f && b > 0.0f) ? std::abs(a - b) > threshold * a * b : (a > 0.0f) != (b > 0.0f);
  };
  for (int v = 0; v < exact.rows; ++v) {
    const float* row = exact.ptr<float>(v);
    const float* below = v + 1 < exact.rows ? exact.ptr<float>(v + 1) : nullptr;
    std::uint8_t* mark = jumps.ptr<std::uint8_t>(v);
    std::uint8_t* mark_below = below ? jumps.ptr<std::uint8_t>(v + 1) : nullptr;
    for (int u = 0; u < exact.cols; ++u) {
      if (u + 1 < exact.cols && jump(row[u], row[u + 1])) mark[u] = mark[u + 1] = 255;
      if (below && jump(row[u], below[u])) mark[u] = mark_below[u] = 255;
    }
  }
  const int size = 2 * noise_.depth_edge_holes - 1;
  if (size > 1) {
    cv::dilate(jumps, jumps, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(size, size)));
  }
  return jumps;
}

DepthCapture DepthSensor::capture(const cv::Mat& exact, std::uint64_t frame) const {
  if (exact.type() != CV_32F || !exact.isContinuous()) {
    throw std::invalid_argument("Exact depth is a continuous CV_32F image");
  }
  auto random = random_stream(seed_, RandomStream::kDepthNoise, frame + 1);
  const float* noise = gaussian_ ? gaussian_->draw(exact.total(), random) : nullptr;
  const cv::Mat holes = noise_.depth_edge_holes > 0 ? edge_holes(exact) : cv::Mat();

  DepthCapture capture;
  capture.metres.create(exact.size(), CV_32F);
  capture.millimetres.create(exact.size(), CV_16U);
  const float base = static_cast<float>(noise_.depth_noise);
  const float quadratic = static_cast<float>(noise_.depth_noise_quadratic);
  const float near = static_cast<float>(min_depth_);
  const float far = static_cast<float>(max_depth_);
  const float* in = exact.ptr<float>();
  const std::uint8_t* hole = holes.empty() ? nullptr : holes.ptr<std::uint8_t>();
  float* metres = capture.metres.ptr<float>();
  std::uint16_t* millimetres = capture.millimetres.ptr<std::uint16_t>();
  for (std::size_t i = 0; i < exact.total(); ++i) {
    float z = in[i];
    if (noise) z += noise[i] * (base + quadratic * z * z);
    if ((hole && hole[i]) || !(z >= near && z <= far)) z = 0.0f;
    metres[i] = z;
    millimetres[i] = cv::saturate_cast<std::uint16_t>(z * 1000.0f);
  }

  if (noise_.depth_dropout > 0.0) {
    const int blobs = static_cast<int>(noise_.depth_dropout * exact.total() / kPixelsPerDropout);
    std::uniform_int_distribution<int> column(0, exact.cols - 1);
    std::uniform_int_distribution<int> row(0, exact.rows - 1);
    std::uniform_int_distribution<int> radius(0, 1);
    for (int i = 0; i < blobs; ++i) {
      const int u = column(random);
      const int v = row(random);
      const int r = radius(random);
      cv::circle(capture.metres, cv::Point(u, v), r, cv::Scalar(0.0), cv::FILLED);
      cv::circle(capture.millimetres, cv::Point(u, v), r, cv::Scalar(0), cv::FILLED);
    }
  }
  return capture;
}

}  // namespace orvalt::simulation
