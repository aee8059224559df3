#include "orvalt/simulation/point_cloud_synthesis.hpp"

#include <cstring>
#include <limits>

namespace orvalt::simulation {
namespace {

constexpr std::uint32_t kPointStep = 16;  // x, y, z, intensity: four float32

ros2::sensor_msgs::PointField float_field(const std::string& name, std::uint32_t offset) {
  ros2::sensor_msgs::PointField field;
  field.name = name;
  field.offset = offset;
  field.datatype = ros2::sensor_msgs::PointField::FLOAT32;
  field.count = 1;
  return field;
}

}  // namespace

ros2::sensor_msgs::PointCloud2 synthesize_point_cloud(const cv::Mat& metres, const cv::Mat& bgr,
                                                      const PinholeCamera& camera, int step) {
  static_assert(sizeof(float) == 4, "PointCloud2 fields are IEEE float32");
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "The cloud is written little-endian");
  ros2::sensor_msgs::PointCloud2 cloud;
  cloud.height = static_cast<std::uint32_t>((metres.rows + step - 1) / step);
  cloud.width = static_cast<std::uint32_t>((metres.cols + step - 1) / step);
  cloud.fields = {float_field("x", 0), float_field("y", 4), float_field("z", 8),
                  float_field("intensity", 12)};
  cloud.is_bigendian = false;
  cloud.point_step = kPointStep;
  cloud.row_step = kPointStep * cloud.width;
  cloud.is_dense = false;
  cloud.data.resize(static_cast<std::size_t>(cloud.row_step) * cloud.height);

  const float nan = std::numeric_limits<float>::quiet_NaN();
  // The sample of each cell is its middle pixel.
  const int offset = step / 2;
  std::uint8_t* out = cloud.data.data();
  for (std::uint32_t i = 0; i < cloud.height; ++i) {
    const int v = std::min(static_cast<int>(i) * step + offset, metres.rows - 1);
    const auto* depth_row = metres.ptr<float>(v);
    const auto* colour_row = bgr.ptr<cv::Vec3b>(v);
    for (std::uint32_t j = 0; j < cloud.width; ++j, out += kPointStep) {
      const int u = std::min(static_cast<int>(j) * step + offset, metres.cols - 1);
      const float z = depth_row[u];
      float point[4] = {nan, nan, nan, 0.0f};
      const cv::Vec3b& colour = colour_row[u];
      point[3] = (0.114f * colour[0] + 0.587f * colour[1] + 0.299f * colour[2]) / 255.0f;
      if (z > 0.0f) {
        const Eigen::Vector3d optical = camera.back_project(u, v, z);
        point[0] = static_cast<float>(optical.z());
        point[1] = static_cast<float>(-optical.x());
        point[2] = static_cast<float>(-optical.y());
      }
      std::memcpy(out, point, sizeof(point));
    }
  }
  return cloud;
}

}  // namespace orvalt::simulation
