#include "orvalt/testing/bags/test_bag.hpp"

#include <stdexcept>

namespace orvalt::testing {
namespace {

std::uint32_t bytes_per_pixel(const std::string& encoding) {
  if (encoding == "mono8" || encoding == "8UC1") return 1;
  if (encoding == "mono16" || encoding == "16UC1") return 2;
  if (encoding == "rgb8" || encoding == "bgr8") return 3;
  if (encoding == "rgba8" || encoding == "bgra8" || encoding == "32FC1") return 4;
  throw std::invalid_argument("image_message does not know the encoding " + encoding);
}

}  // namespace

TestBag::TestBag(const std::filesystem::path& directory, const std::string& storage)
    : writer_(directory, storage) {}

void TestBag::write_raw(const std::string& topic, const std::string& msgtype,
                        std::int64_t bag_timestamp, const ros2::Bytes& data,
                        const std::string& message_definition) {
  auto& connection = connections_[topic];
  if (!connection) connection = &writer_.add_connection(topic, msgtype, "", message_definition);
  writer_.write(*connection, bag_timestamp, data);
}

ros2::builtin_interfaces::Time stamp_at(std::int64_t nanoseconds) {
  return ros2::builtin_interfaces::Time::from_nanoseconds(nanoseconds);
}

ros2::tf2_msgs::TFMessage tf_message(const std::string& parent, const std::string& child,
                                     std::int64_t stamp_ns, double x, double y, double z, double qw,
                                     double qx, double qy, double qz) {
  ros2::geometry_msgs::TransformStamped transform;
  transform.header.stamp = stamp_at(stamp_ns);
  transform.header.frame_id = parent;
  transform.child_frame_id = child;
  transform.transform.translation = {x, y, z};
  transform.transform.rotation.w = qw;
  transform.transform.rotation.x = qx;
  transform.transform.rotation.y = qy;
  transform.transform.rotation.z = qz;
  return {{transform}};
}

ros2::sensor_msgs::Image image_message(std::int64_t stamp_ns, std::uint32_t width,
                                       std::uint32_t height, const std::string& encoding,
                                       std::uint8_t fill) {
  ros2::sensor_msgs::Image image;
  image.header.stamp = stamp_at(stamp_ns);
  image.header.frame_id = "camera";
  image.width = width;
  image.height = height;
  image.encoding = encoding;
  image.step = width * bytes_per_pixel(encoding);
  image.data.assign(std::size_t{image.step} * height, fill);
  return image;
}

}  // namespace orvalt::testing
