#include "orvalt/simulation/depth_sensor.hpp"

#include <random>

#include <opencv2/imgproc.hpp>

#include "orvalt/simulation/random_streams.hpp"

namespace orvalt::simulation {
namespace {

// Dropouts come as blobs of radius 0 or 1 pixel: 3 pixels on average.
constexpr double kPixelsPerDropout = 3.0;

}  // namespace

DepthSensor::DepthSensor(const NoiseSettings& noise, double min_depth, double max_depth,
                         std::uint64_t seed)
    : noise_(noise), min_depth_(min_depth), max_depth_(max_depth), seed_(seed) {}

cv::Mat DepthSensor::edge_holes(const cv::Mat& exact) const {
  cv::Mat disparity;
  cv::divide(1.0, exact, disparity, CV_32F);
  cv::Mat jumps(exact.size(), CV_8U, cv::Scalar(0));
  const int rows = exact.rows;
  const int cols = exact.cols;
  cv::Mat step;
  cv::absdiff(disparity.colRange(1, cols), disparity.colRange(0, cols - 1), step);
  const cv::Mat horizontal = step > kDisparityJump;
  jumps.colRange(1, cols) |= horizontal;
  jumps.colRange(0, cols - 1) |= horizontal;
  cv::absdiff(disparity.rowRange(1, rows), disparity.rowRange(0, rows - 1), step);
  const cv::Mat vertical = step > kDisparityJump;
  jumps.rowRange(1, rows) |= vertical;
  jumps.rowRange(0, rows - 1) |= vertical;
  const int size = 2 * noise_.depth_edge_holes - 1;
  if (size > 1) {
    cv::dilate(jumps, jumps, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(size, size)));
  }
  return jumps;
}

DepthCapture DepthSensor::capture(const cv::Mat& exact, std::uint64_t frame) const {
  DepthCapture capture;
  capture.metres = exact.clone();
  auto random = random_stream(seed_, RandomStream::kDepthNoise, frame);
  if (noise_.depth_noise > 0.0 || noise_.depth_noise_quadratic > 0.0) {
    cv::Mat sigma;
    cv::multiply(exact, exact, sigma, noise_.depth_noise_quadratic);
    sigma += noise_.depth_noise;
    cv::RNG rng(random());
    cv::Mat noise(exact.size(), CV_32F);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
    capture.metres += noise.mul(sigma);
  }
  if (noise_.depth_edge_holes > 0) capture.metres.setTo(0.0f, edge_holes(exact));
  if (noise_.depth_dropout > 0.0) {
    const int blobs = static_cast<int>(noise_.depth_dropout * exact.total() / kPixelsPerDropout);
    std::uniform_int_distribution<int> column(0, exact.cols - 1);
    std::uniform_int_distribution<int> row(0, exact.rows - 1);
    std::uniform_int_distribution<int> radius(0, 1);
    for (int i = 0; i < blobs; ++i) {
      const int u = column(random);
      const int v = row(random);
      cv::circle(capture.metres, cv::Point(u, v), radius(random), cv::Scalar(0.0), cv::FILLED);
    }
  }
  capture.metres.setTo(0.0f, capture.metres < min_depth_);
  capture.metres.setTo(0.0f, capture.metres > max_depth_);
  capture.metres.convertTo(capture.millimetres, CV_16U, 1000.0);
  return capture;
}

}  // namespace orvalt::simulation
