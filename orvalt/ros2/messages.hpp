#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Plain structs for the ROS 2 message types the system reads and writes, with field names and
// order exactly as in ROS 2. Each type has kTypeName, decode() of a whole CDR payload
// (4-byte encapsulation header included; both byte orders) and encode() to little-endian CDR.
// decode() checks every length against the buffer and throws std::runtime_error naming the
// type when the bytes are truncated or corrupt; it never reads past the end.
namespace orvalt::ros2 {

using Bytes = std::vector<std::uint8_t>;

namespace builtin_interfaces {
struct Time {
  static constexpr const char* kTypeName = "builtin_interfaces/msg/Time";
  std::int32_t sec = 0;
  std::uint32_t nanosec = 0;
  // sec * 1e9 + nanosec; nanosec is not required to be below 1e9 (real bags hold such stamps).
  std::int64_t nanoseconds() const {
    return static_cast<std::int64_t>(sec) * 1000000000LL + static_cast<std::int64_t>(nanosec);
  }
  // The stamp of `ns` nanoseconds since the epoch, with 0 <= nanosec < 1e9 (sec rounds toward
  // minus infinity). Throws std::invalid_argument when sec does not fit in 32 bits.
  static Time from_nanoseconds(std::int64_t ns);
  bool operator==(const Time& other) const { return sec == other.sec && nanosec == other.nanosec; }
  static Time decode(const Bytes& bytes);
  Bytes encode() const;
};
}  // namespace builtin_interfaces

namespace std_msgs {
struct Header {
  static constexpr const char* kTypeName = "std_msgs/msg/Header";
  builtin_interfaces::Time stamp;
  std::string frame_id;
  bool operator==(const Header& other) const {
    return stamp == other.stamp && frame_id == other.frame_id;
  }
  static Header decode(const Bytes& bytes);
  Bytes encode() const;
};
}  // namespace std_msgs

namespace geometry_msgs {
struct Vector3 {
  static constexpr const char* kTypeName = "geometry_msgs/msg/Vector3";
  double x = 0, y = 0, z = 0;
  bool operator==(const Vector3& o) const { return x == o.x && y == o.y && z == o.z; }
  static Vector3 decode(const Bytes& bytes);
  Bytes encode() const;
};
struct Point {
  static constexpr const char* kTypeName = "geometry_msgs/msg/Point";
  double x = 0, y = 0, z = 0;
  bool operator==(const Point& o) const { return x == o.x && y == o.y && z == o.z; }
  static Point decode(const Bytes& bytes);
  Bytes encode() const;
};
struct Quaternion {
  static constexpr const char* kTypeName = "geometry_msgs/msg/Quaternion";
  double x = 0, y = 0, z = 0, w = 1;
  bool operator==(const Quaternion& o) const {
    return x == o.x && y == o.y && z == o.z && w == o.w;
  }
  static Quaternion decode(const Bytes& bytes);
  Bytes encode() const;
};
struct Pose {
  static constexpr const char* kTypeName = "geometry_msgs/msg/Pose";
  Point position;
  Quaternion orientation;
  bool operator==(const Pose& o) const {
    return position == o.position && orientation == o.orientation;
  }
  static Pose decode(const Bytes& bytes);
  Bytes encode() const;
};
struct PoseWithCovariance {
  static constexpr const char* kTypeName = "geometry_msgs/msg/PoseWithCovariance";
  Pose pose;
  std::array<double, 36> covariance{};
  bool operator==(const PoseWithCovariance& o) const {
    return pose == o.pose && covariance == o.covariance;
  }
  static PoseWithCovariance decode(const Bytes& bytes);
  Bytes encode() const;
};
struct Twist {
  static constexpr const char* kTypeName = "geometry_msgs/msg/Twist";
  Vector3 linear;
  Vector3 angular;
  bool operator==(const Twist& o) const { return linear == o.linear && angular == o.angular; }
  static Twist decode(const Bytes& bytes);
  Bytes encode() const;
};
struct TwistWithCovariance {
  static constexpr const char* kTypeName = "geometry_msgs/msg/TwistWithCovariance";
  Twist twist;
  std::array<double, 36> covariance{};
  bool operator==(const TwistWithCovariance& o) const {
    return twist == o.twist && covariance == o.covariance;
  }
  static TwistWithCovariance decode(const Bytes& bytes);
  Bytes encode() const;
};
struct Transform {
  static constexpr const char* kTypeName = "geometry_msgs/msg/Transform";
  Vector3 translation;
  Quaternion rotation;
  bool operator==(const Transform& o) const {
    return translation == o.translation && rotation == o.rotation;
  }
  static Transform decode(const Bytes& bytes);
  Bytes encode() const;
};
struct TransformStamped {
  static constexpr const char* kTypeName = "geometry_msgs/msg/TransformStamped";
  std_msgs::Header header;
  std::string child_frame_id;
  Transform transform;
  bool operator==(const TransformStamped& o) const {
    return header == o.header && child_frame_id == o.child_frame_id && transform == o.transform;
  }
  static TransformStamped decode(const Bytes& bytes);
  Bytes encode() const;
};
}  // namespace geometry_msgs

namespace tf2_msgs {
struct TFMessage {
  static constexpr const char* kTypeName = "tf2_msgs/msg/TFMessage";
  std::vector<geometry_msgs::TransformStamped> transforms;
  bool operator==(const TFMessage& o) const { return transforms == o.transforms; }
  static TFMessage decode(const Bytes& bytes);
  Bytes encode() const;
};
}  // namespace tf2_msgs

namespace sensor_msgs {
struct Image {
  static constexpr const char* kTypeName = "sensor_msgs/msg/Image";
  std_msgs::Header header;
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  std::string encoding;
  std::uint8_t is_bigendian = 0;
  std::uint32_t step = 0;
  Bytes data;
  bool operator==(const Image& o) const {
    return header == o.header && height == o.height && width == o.width && encoding == o.encoding &&
           is_bigendian == o.is_bigendian && step == o.step && data == o.data;
  }
  static Image decode(const Bytes& bytes);
  Bytes encode() const;
};

struct RegionOfInterest {
  static constexpr const char* kTypeName = "sensor_msgs/msg/RegionOfInterest";
  std::uint32_t x_offset = 0;
  std::uint32_t y_offset = 0;
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  bool do_rectify = false;
  bool operator==(const RegionOfInterest& o) const {
    return x_offset == o.x_offset && y_offset == o.y_offset && height == o.height &&
           width == o.width && do_rectify == o.do_rectify;
  }
  static RegionOfInterest decode(const Bytes& bytes);
  Bytes encode() const;
};

struct CameraInfo {
  static constexpr const char* kTypeName = "sensor_msgs/msg/CameraInfo";
  std_msgs::Header header;
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  std::string distortion_model;
  std::vector<double> d;
  std::array<double, 9> k{};
  std::array<double, 9> r{};
  std::array<double, 12> p{};
  std::uint32_t binning_x = 0;
  std::uint32_t binning_y = 0;
  RegionOfInterest roi;
  bool operator==(const CameraInfo& o) const {
    return header == o.header && height == o.height && width == o.width &&
           distortion_model == o.distortion_model && d == o.d && k == o.k && r == o.r && p == o.p &&
           binning_x == o.binning_x && binning_y == o.binning_y && roi == o.roi;
  }
  static CameraInfo decode(const Bytes& bytes);
  Bytes encode() const;
};

struct PointField {
  static constexpr const char* kTypeName = "sensor_msgs/msg/PointField";
  static constexpr std::uint8_t INT8 = 1;
  static constexpr std::uint8_t UINT8 = 2;
  static constexpr std::uint8_t INT16 = 3;
  static constexpr std::uint8_t UINT16 = 4;
  static constexpr std::uint8_t INT32 = 5;
  static constexpr std::uint8_t UINT32 = 6;
  static constexpr std::uint8_t FLOAT32 = 7;
  static constexpr std::uint8_t FLOAT64 = 8;
  std::string name;
  std::uint32_t offset = 0;
  std::uint8_t datatype = 0;
  std::uint32_t count = 0;
  bool operator==(const PointField& o) const {
    return name == o.name && offset == o.offset && datatype == o.datatype && count == o.count;
  }
  static PointField decode(const Bytes& bytes);
  Bytes encode() const;
};

struct PointCloud2 {
  static constexpr const char* kTypeName = "sensor_msgs/msg/PointCloud2";
  std_msgs::Header header;
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  std::vector<PointField> fields;
  bool is_bigendian = false;
  std::uint32_t point_step = 0;
  std::uint32_t row_step = 0;
  Bytes data;
  bool is_dense = false;
  bool operator==(const PointCloud2& o) const {
    return header == o.header && height == o.height && width == o.width && fields == o.fields &&
           is_bigendian == o.is_bigendian && point_step == o.point_step && row_step == o.row_step &&
           data == o.data && is_dense == o.is_dense;
  }
  static PointCloud2 decode(const Bytes& bytes);
  Bytes encode() const;
};

struct LaserScan {
  static constexpr const char* kTypeName = "sensor_msgs/msg/LaserScan";
  std_msgs::Header header;
  float angle_min = 0, angle_max = 0, angle_increment = 0, time_increment = 0, scan_time = 0,
        range_min = 0, range_max = 0;
  std::vector<float> ranges;
  std::vector<float> intensities;
  bool operator==(const LaserScan& o) const {
    return header == o.header && angle_min == o.angle_min && angle_max == o.angle_max &&
           angle_increment == o.angle_increment && time_increment == o.time_increment &&
           scan_time == o.scan_time && range_min == o.range_min && range_max == o.range_max &&
           ranges == o.ranges && intensities == o.intensities;
  }
  static LaserScan decode(const Bytes& bytes);
  Bytes encode() const;
};

struct Imu {
  static constexpr const char* kTypeName = "sensor_msgs/msg/Imu";
  std_msgs::Header header;
  geometry_msgs::Quaternion orientation;
  std::array<double, 9> orientation_covariance{};
  geometry_msgs::Vector3 angular_velocity;
  std::array<double, 9> angular_velocity_covariance{};
  geometry_msgs::Vector3 linear_acceleration;
  std::array<double, 9> linear_acceleration_covariance{};
  bool operator==(const Imu& o) const {
    return header == o.header && orientation == o.orientation &&
           orientation_covariance == o.orientation_covariance &&
           angular_velocity == o.angular_velocity &&
           angular_velocity_covariance == o.angular_velocity_covariance &&
           linear_acceleration == o.linear_acceleration &&
           linear_acceleration_covariance == o.linear_acceleration_covariance;
  }
  static Imu decode(const Bytes& bytes);
  Bytes encode() const;
};
}  // namespace sensor_msgs

namespace nav_msgs {
struct Odometry {
  static constexpr const char* kTypeName = "nav_msgs/msg/Odometry";
  std_msgs::Header header;
  std::string child_frame_id;
  geometry_msgs::PoseWithCovariance pose;
  geometry_msgs::TwistWithCovariance twist;
  bool operator==(const Odometry& o) const {
    return header == o.header && child_frame_id == o.child_frame_id && pose == o.pose &&
           twist == o.twist;
  }
  static Odometry decode(const Bytes& bytes);
  Bytes encode() const;
};
}  // namespace nav_msgs

// The ros2msg definition of `type_name` as rosbag2 stores it in an MCAP schema: the type's own
// .msg text, then each dependency once (depth-first, sorted), each after "\n" + 80 "=" + "\n"
// + "MSG: pkg/Type\n". Empty for a type this module does not know. Accepts names with or
// without "/msg/".
std::string message_definition(const std::string& type_name);

// True for the types above (with or without "/msg/" in the name).
bool is_known_type(const std::string& type_name);

}  // namespace orvalt::ros2
