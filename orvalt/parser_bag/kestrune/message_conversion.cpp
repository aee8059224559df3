// The converters of BagParser: one decoded sensor message in, an image, points or a record
// out; images and clouds are queued for the save workers.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>

#include <fmt/format.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "orvalt/common/logger.hpp"
#include "orvalt/common/strings.hpp"
#include "orvalt/parser_bag/kestrune/bag_parser.hpp"
#include "orvalt/ros2/image_conversion.hpp"

namespace orvalt::parser_bag {
namespace {

auto log() { return common::logger("orvalt.parser_bag.kestrune"); }

// The image bridge knows encodings by their standard spelling; a message that spells its
// encoding otherwise ("BGR8") is converted through a copy carrying the standard name.
cv::Mat convert(const ros2::sensor_msgs::Image& msg, const std::string& standard_encoding,
                const std::string& wanted_encoding) {
  if (msg.encoding == standard_encoding) return ros2::to_cv(msg, wanted_encoding);
  ros2::sensor_msgs::Image renamed = msg;
  renamed.encoding = standard_encoding;
  return ros2::to_cv(renamed, wanted_encoding);
}

std::string standard_encoding(const std::string& lowered) {
  if (lowered == "16uc1") return "16UC1";
  if (lowered == "32fc1") return "32FC1";
  return lowered;
}

// Metres to millimetres, truncated toward zero. NaN, infinite and negative depths mean "no
// depth" (0); depths beyond the 16-bit range saturate instead of wrapping around.
cv::Mat depth_millimetres(const cv::Mat& metres) {
  cv::Mat millimetres(metres.size(), CV_16UC1);
  for (int row = 0; row < metres.rows; ++row) {
    const float* in = metres.ptr<float>(row);
    std::uint16_t* out = millimetres.ptr<std::uint16_t>(row);
    for (int col = 0; col < metres.cols; ++col) {
      const float depth = in[col];
      const float scaled = depth * 1000.0f;
      if (!(depth >= 0.0f) || std::isinf(depth)) {
        out[col] = 0;
      } else if (scaled > 65535.0f) {
        out[col] = 65535;
      } else {
        out[col] = static_cast<std::uint16_t>(scaled);
      }
    }
  }
  return millimetres;
}

// One coordinate field of a cloud: where it sits in a point and how wide it is.
struct CoordinateField {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;  // 4 (FLOAT32) or 8 (FLOAT64)
};

constexpr bool kHostIsBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
static_assert(sizeof(float) == 4 && sizeof(double) == 8);

double read_value(const std::uint8_t* at, std::uint32_t size, bool swap) {
  std::uint8_t bytes[8];
  std::memcpy(bytes, at, size);
  if (swap) std::reverse(bytes, bytes + size);
  if (size == 4) {
    float value;
    std::memcpy(&value, bytes, 4);
    return value;
  }
  double value;
  std::memcpy(&value, bytes, 8);
  return value;
}

std::vector<CoordinateField> coordinate_fields(const ros2::sensor_msgs::PointCloud2& msg) {
  std::map<std::string, const ros2::sensor_msgs::PointField*> by_name;
  for (const auto& field : msg.fields) by_name[field.name] = &field;
  std::vector<std::string> missing;
  for (const char* name : {"x", "y", "z"}) {
    if (!by_name.count(name)) missing.push_back(name);
  }
  if (!missing.empty()) {
    throw std::invalid_argument(fmt::format("Missing fields: {{{}}}", fmt::join(missing, ", ")));
  }
  std::vector<CoordinateField> fields;
  for (const char* name : {"x", "y", "z"}) {
    const auto& field = *by_name.at(name);
    if (field.datatype != ros2::sensor_msgs::PointField::FLOAT32 &&
        field.datatype != ros2::sensor_msgs::PointField::FLOAT64) {
      throw std::invalid_argument("Unsupported type " + std::to_string(field.datatype));
    }
    fields.push_back(
        {field.offset, field.datatype == ros2::sensor_msgs::PointField::FLOAT32 ? 4u : 8u});
  }
  if (fields[0].size != fields[1].size || fields[0].size != fields[2].size) {
    throw std::invalid_argument("x/y/z must have same dtype");
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (std::uint64_t{fields[i].offset} + fields[i].size > msg.point_step) {
      throw std::invalid_argument(
          fmt::format("field {} ({} bytes at offset {}) does not fit in point_step {}", "xyz"[i],
                      fields[i].size, fields[i].offset, msg.point_step));
    }
  }
  return fields;
}

// Every read below stays inside height x row_step bytes, which the checks here put inside the
// buffer.
Points3f cloud_points(const ros2::sensor_msgs::PointCloud2& msg) {
  const auto fields = coordinate_fields(msg);
  if (std::uint64_t{msg.width} * msg.point_step > msg.row_step) {
    throw std::invalid_argument(fmt::format("row_step {} is shorter than width {} x point_step {}",
                                            msg.row_step, msg.width, msg.point_step));
  }
  const std::uint64_t needed = std::uint64_t{msg.height} * msg.row_step;
  if (msg.data.size() < needed) {
    throw std::invalid_argument(
        fmt::format("data holds {} bytes, but height {} x row_step {} needs {}", msg.data.size(),
                    msg.height, msg.row_step, needed));
  }
  const bool swap = msg.is_bigendian != kHostIsBigEndian;
  Points3f points(static_cast<Eigen::Index>(std::uint64_t{msg.width} * msg.height), 3);
  Eigen::Index kept = 0;
  for (std::uint32_t row = 0; row < msg.height; ++row) {
    for (std::uint32_t col = 0; col < msg.width; ++col) {
      const std::uint8_t* point =
          msg.data.data() + std::uint64_t{row} * msg.row_step + std::uint64_t{col} * msg.point_step;
      for (int axis = 0; axis < 3; ++axis) {
        points(kept, axis) =
            static_cast<float>(read_value(point + fields[axis].offset, fields[axis].size, swap));
      }
      if (msg.is_dense || points.row(kept).allFinite()) ++kept;
    }
  }
  points.conservativeResize(kept, 3);
  return points;
}

}  // namespace

void BagParser::_msg2image(const ros2::sensor_msgs::Image& msg, const std::string& pos_info,
                           const std::string& save_dir) {
  const std::string enc = common::lower(msg.encoding);
  const std::string path = save_dir + "/" + pos_info + ".png";
  if (enc == "32fc1") {
    save_depth_queue_.put({path, depth_millimetres(convert(msg, "32FC1", "32FC1"))});
  } else if (enc == "mono16" || enc == "16uc1") {
    save_depth_queue_.put({path, convert(msg, standard_encoding(enc), "mono16")});
  } else if (enc == "rgb8" || enc == "rgba8" || enc == "bgr8" || enc == "bgra8") {
    save_color_queue_for(path).put({path, convert(msg, enc, "bgr8")});
  } else if (enc == "nv12" || enc == "nv-12" || enc == "nv 12") {
    save_color_queue_for(path).put(
        {path, nv12_to_bgr(msg.data, static_cast<int>(msg.width), static_cast<int>(msg.height))});
  } else {
    throw std::invalid_argument("Unsupported image encoding: " + enc +
                                " (support: 32FC1/mono16/rgb8/bgr8 etc.)");
  }
}

cv::Mat BagParser::nv12_to_bgr(const ros2::Bytes& nv12_data, int width, int height) {
  const std::string prefix = "NV12 to RGB conversion failed: ";
  if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0) {
    throw std::runtime_error(prefix + fmt::format("{} x {} is not a size NV12 can hold (both "
                                                  "must be even and positive)",
                                                  width, height));
  }
  const std::uint64_t expected = std::uint64_t(width) * height * 3 / 2;
  if (nv12_data.size() != expected) {
    throw std::runtime_error(prefix + fmt::format("{} bytes given, a {} x {} frame has {}",
                                                  nv12_data.size(), width, height, expected));
  }
  // cvtColor only reads the frame; the const_cast lets a Mat header view it without a copy.
  const cv::Mat yuv(height * 3 / 2, width, CV_8UC1, const_cast<std::uint8_t*>(nv12_data.data()));
  cv::Mat bgr;
  try {
    cv::cvtColor(yuv, bgr, cv::COLOR_YUV2BGR_NV12);
  } catch (const cv::Exception& error) {
    throw std::runtime_error(prefix + error.what());
  }
  return bgr;
}

Points3f BagParser::_msg2pcd(const ros2::sensor_msgs::PointCloud2& msg, const std::string& pos_info,
                             const std::string& save_dir) {
  try {
    Points3f points = cloud_points(msg);
    if (points.rows() == 0) {
      log()->debug("Empty point cloud at {}", pos_info);
      return Points3f(0, 3);
    }
    save_pc_queue_.put({save_dir + "/" + pos_info + ".ply", points});
    return points;
  } catch (const std::exception& error) {
    log()->error("[PCD ERROR] {}", error.what());
    return Points3f(0, 3);
  }
}

LaserPoints BagParser::_msg2laser(const ros2::sensor_msgs::LaserScan& msg) {
  const std::size_t count = msg.ranges.size();
  const double first = msg.angle_min;
  const double step = count > 1 ? (double{msg.angle_max} - first) / double(count - 1) : 0.0;
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < count; ++i) {
    const float range = msg.ranges[i];
    if (std::isfinite(range) && msg.range_min <= range && range <= msg.range_max) {
      kept.push_back(i);
    }
  }
  LaserPoints points(static_cast<Eigen::Index>(kept.size()), 2);
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const std::size_t i = kept[k];
    // The last angle is angle_max itself, not a sum that rounding moved.
    const double angle =
        count > 1 && i + 1 == count ? double{msg.angle_max} : first + step * double(i);
    points(static_cast<Eigen::Index>(k), 0) = msg.ranges[i] * std::cos(angle);
    points(static_cast<Eigen::Index>(k), 1) = msg.ranges[i] * std::sin(angle);
  }
  return points;
}

OdomRecord BagParser::_msg2odom(const ros2::nav_msgs::Odometry& msg) {
  return {msg.pose.pose.position, msg.pose.pose.orientation, msg.pose.covariance,
          msg.twist.twist.linear, msg.twist.twist.angular,   msg.twist.covariance};
}

ImuRecord BagParser::_msg2imu(const ros2::sensor_msgs::Imu& msg) {
  return {msg.orientation,         msg.orientation_covariance,
          msg.angular_velocity,    msg.angular_velocity_covariance,
          msg.linear_acceleration, msg.linear_acceleration_covariance};
}

}  // namespace orvalt::parser_bag
