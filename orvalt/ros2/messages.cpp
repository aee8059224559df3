#include "orvalt/ros2/messages.hpp"

#include <limits>
#include <stdexcept>
#include <string>

#include "orvalt/ros2/cdr_stream.hpp"

namespace orvalt::ros2 {
namespace {

using builtin_interfaces::Time;
using geometry_msgs::Point;
using geometry_msgs::Pose;
using geometry_msgs::PoseWithCovariance;
using geometry_msgs::Quaternion;
using geometry_msgs::Transform;
using geometry_msgs::TransformStamped;
using geometry_msgs::Twist;
using geometry_msgs::TwistWithCovariance;
using geometry_msgs::Vector3;
using nav_msgs::Odometry;
using sensor_msgs::CameraInfo;
using sensor_msgs::Image;
using sensor_msgs::Imu;
using sensor_msgs::LaserScan;
using sensor_msgs::PointCloud2;
using sensor_msgs::PointField;
using sensor_msgs::RegionOfInterest;
using std_msgs::Header;
using tf2_msgs::TFMessage;

// The fewest CDR bytes an element of a sequence of these can take (empty strings), used to
// refuse corrupt counts before allocating.
constexpr std::size_t kMinTransformStampedSize = 4 + 4 + 4 + 4 + 7 * 8;
constexpr std::size_t kMinPointFieldSize = 4 + 4 + 1 + 4;

// Field by field, in the order of the .msg definitions.

void read_fields(CdrReader& in, Time& m) {
  in.read(m.sec);
  in.read(m.nanosec);
}
template <class Out>
void write_fields(Out& out, const Time& m) {
  out.write(m.sec);
  out.write(m.nanosec);
}

void read_fields(CdrReader& in, Header& m) {
  read_fields(in, m.stamp);
  in.read(m.frame_id);
}
template <class Out>
void write_fields(Out& out, const Header& m) {
  write_fields(out, m.stamp);
  out.write(m.frame_id);
}

template <class XYZ>
void read_xyz(CdrReader& in, XYZ& m) {
  in.read(m.x);
  in.read(m.y);
  in.read(m.z);
}
template <class Out, class XYZ>
void write_xyz(Out& out, const XYZ& m) {
  out.write(m.x);
  out.write(m.y);
  out.write(m.z);
}
void read_fields(CdrReader& in, Vector3& m) { read_xyz(in, m); }
template <class Out>
void write_fields(Out& out, const Vector3& m) {
  write_xyz(out, m);
}
void read_fields(CdrReader& in, Point& m) { read_xyz(in, m); }
template <class Out>
void write_fields(Out& out, const Point& m) {
  write_xyz(out, m);
}

void read_fields(CdrReader& in, Quaternion& m) {
  read_xyz(in, m);
  in.read(m.w);
}
template <class Out>
void write_fields(Out& out, const Quaternion& m) {
  write_xyz(out, m);
  out.write(m.w);
}

void read_fields(CdrReader& in, Pose& m) {
  read_fields(in, m.position);
  read_fields(in, m.orientation);
}
template <class Out>
void write_fields(Out& out, const Pose& m) {
  write_fields(out, m.position);
  write_fields(out, m.orientation);
}

void read_fields(CdrReader& in, PoseWithCovariance& m) {
  read_fields(in, m.pose);
  in.read(m.covariance);
}
template <class Out>
void write_fields(Out& out, const PoseWithCovariance& m) {
  write_fields(out, m.pose);
  out.write(m.covariance);
}

void read_fields(CdrReader& in, Twist& m) {
  read_fields(in, m.linear);
  read_fields(in, m.angular);
}
template <class Out>
void write_fields(Out& out, const Twist& m) {
  write_fields(out, m.linear);
  write_fields(out, m.angular);
}

void read_fields(CdrReader& in, TwistWithCovariance& m) {
  read_fields(in, m.twist);
  in.read(m.covariance);
}
template <class Out>
void write_fields(Out& out, const TwistWithCovariance& m) {
  write_fields(out, m.twist);
  out.write(m.covariance);
}

void read_fields(CdrReader& in, Transform& m) {
  read_fields(in, m.translation);
  read_fields(in, m.rotation);
}
template <class Out>
void write_fields(Out& out, const Transform& m) {
  write_fields(out, m.translation);
  write_fields(out, m.rotation);
}

void read_fields(CdrReader& in, TransformStamped& m) {
  read_fields(in, m.header);
  in.read(m.child_frame_id);
  read_fields(in, m.transform);
}
template <class Out>
void write_fields(Out& out, const TransformStamped& m) {
  write_fields(out, m.header);
  out.write(m.child_frame_id);
  write_fields(out, m.transform);
}

void read_fields(CdrReader& in, TFMessage& m) {
  m.transforms.resize(in.read_sequence_length(kMinTransformStampedSize));
  for (auto& transform : m.transforms) read_fields(in, transform);
}
template <class Out>
void write_fields(Out& out, const TFMessage& m) {
  out.write_sequence_length(m.transforms.size());
  for (const auto& transform : m.transforms) write_fields(out, transform);
}

void read_fields(CdrReader& in, Image& m) {
  read_fields(in, m.header);
  in.read(m.height);
  in.read(m.width);
  in.read(m.encoding);
  in.read(m.is_bigendian);
  in.read(m.step);
  in.read(m.data);
}
template <class Out>
void write_fields(Out& out, const Image& m) {
  write_fields(out, m.header);
  out.write(m.height);
  out.write(m.width);
  out.write(m.encoding);
  out.write(m.is_bigendian);
  out.write(m.step);
  out.write(m.data);
}

void read_fields(CdrReader& in, RegionOfInterest& m) {
  in.read(m.x_offset);
  in.read(m.y_offset);
  in.read(m.height);
  in.read(m.width);
  in.read(m.do_rectify);
}
template <class Out>
void write_fields(Out& out, const RegionOfInterest& m) {
  out.write(m.x_offset);
  out.write(m.y_offset);
  out.write(m.height);
  out.write(m.width);
  out.write(m.do_rectify);
}

void read_fields(CdrReader& in, CameraInfo& m) {
  read_fields(in, m.header);
  in.read(m.height);
  in.read(m.width);
  in.read(m.distortion_model);
  in.read(m.d);
  in.read(m.k);
  in.read(m.r);
  in.read(m.p);
  in.read(m.binning_x);
  in.read(m.binning_y);
  read_fields(in, m.roi);
}
template <class Out>
void write_fields(Out& out, const CameraInfo& m) {
  write_fields(out, m.header);
  out.write(m.height);
  out.write(m.width);
  out.write(m.distortion_model);
  out.write(m.d);
  out.write(m.k);
  out.write(m.r);
  out.write(m.p);
  out.write(m.binning_x);
  out.write(m.binning_y);
  write_fields(out, m.roi);
}

void read_fields(CdrReader& in, PointField& m) {
  in.read(m.name);
  in.read(m.offset);
  in.read(m.datatype);
  in.read(m.count);
}
template <class Out>
void write_fields(Out& out, const PointField& m) {
  out.write(m.name);
  out.write(m.offset);
  out.write(m.datatype);
  out.write(m.count);
}

void read_fields(CdrReader& in, PointCloud2& m) {
  read_fields(in, m.header);
  in.read(m.height);
  in.read(m.width);
  m.fields.resize(in.read_sequence_length(kMinPointFieldSize));
  for (auto& field : m.fields) read_fields(in, field);
  in.read(m.is_bigendian);
  in.read(m.point_step);
  in.read(m.row_step);
  in.read(m.data);
  in.read(m.is_dense);
}
template <class Out>
void write_fields(Out& out, const PointCloud2& m) {
  write_fields(out, m.header);
  out.write(m.height);
  out.write(m.width);
  out.write_sequence_length(m.fields.size());
  for (const auto& field : m.fields) write_fields(out, field);
  out.write(m.is_bigendian);
  out.write(m.point_step);
  out.write(m.row_step);
  out.write(m.data);
  out.write(m.is_dense);
}

void read_fields(CdrReader& in, LaserScan& m) {
  read_fields(in, m.header);
  in.read(m.angle_min);
  in.read(m.angle_max);
  in.read(m.angle_increment);
  in.read(m.time_increment);
  in.read(m.scan_time);
  in.read(m.range_min);
  in.read(m.range_max);
  in.read(m.ranges);
  in.read(m.intensities);
}
template <class Out>
void write_fields(Out& out, const LaserScan& m) {
  write_fields(out, m.header);
  out.write(m.angle_min);
  out.write(m.angle_max);
  out.write(m.angle_increment);
  out.write(m.time_increment);
  out.write(m.scan_time);
  out.write(m.range_min);
  out.write(m.range_max);
  out.write(m.ranges);
  out.write(m.intensities);
}

void read_fields(CdrReader& in, Imu& m) {
  read_fields(in, m.header);
  read_fields(in, m.orientation);
  in.read(m.orientation_covariance);
  read_fields(in, m.angular_velocity);
  in.read(m.angular_velocity_covariance);
  read_fields(in, m.linear_acceleration);
  in.read(m.linear_acceleration_covariance);
}
template <class Out>
void write_fields(Out& out, const Imu& m) {
  write_fields(out, m.header);
  write_fields(out, m.orientation);
  out.write(m.orientation_covariance);
  write_fields(out, m.angular_velocity);
  out.write(m.angular_velocity_covariance);
  write_fields(out, m.linear_acceleration);
  out.write(m.linear_acceleration_covariance);
}

void read_fields(CdrReader& in, Odometry& m) {
  read_fields(in, m.header);
  in.read(m.child_frame_id);
  read_fields(in, m.pose);
  read_fields(in, m.twist);
}
template <class Out>
void write_fields(Out& out, const Odometry& m) {
  write_fields(out, m.header);
  out.write(m.child_frame_id);
  write_fields(out, m.pose);
  write_fields(out, m.twist);
}

template <class Message>
Message decode_message(const Bytes& bytes) {
  Message message;
  decode_cdr(bytes, Message::kTypeName, [&](CdrReader& in) { read_fields(in, message); });
  return message;
}

template <class Message>
Bytes encode_message(const Message& message) {
  CdrSizer sizer;
  write_fields(sizer, message);
  CdrWriter out(sizer.size());
  write_fields(out, message);
  return out.finish();
}

}  // namespace

namespace builtin_interfaces {
Time Time::from_nanoseconds(std::int64_t ns) {
  constexpr std::int64_t kPerSecond = 1000000000;
  std::int64_t seconds = ns / kPerSecond;
  std::int64_t rest = ns % kPerSecond;
  if (rest < 0) {
    seconds -= 1;
    rest += kPerSecond;
  }
  if (seconds < std::numeric_limits<std::int32_t>::min() ||
      seconds > std::numeric_limits<std::int32_t>::max()) {
    throw std::invalid_argument("Time stamp " + std::to_string(ns) +
                                " ns is out of the range of builtin_interfaces/msg/Time");
  }
  return Time{static_cast<std::int32_t>(seconds), static_cast<std::uint32_t>(rest)};
}
Time Time::decode(const Bytes& bytes) { return decode_message<Time>(bytes); }
Bytes Time::encode() const { return encode_message(*this); }
}  // namespace builtin_interfaces

namespace std_msgs {
Header Header::decode(const Bytes& bytes) { return decode_message<Header>(bytes); }
Bytes Header::encode() const { return encode_message(*this); }
}  // namespace std_msgs

namespace geometry_msgs {
Vector3 Vector3::decode(const Bytes& bytes) { return decode_message<Vector3>(bytes); }
Bytes Vector3::encode() const { return encode_message(*this); }
Point Point::decode(const Bytes& bytes) { return decode_message<Point>(bytes); }
Bytes Point::encode() const { return encode_message(*this); }
Quaternion Quaternion::decode(const Bytes& bytes) { return decode_message<Quaternion>(bytes); }
Bytes Quaternion::encode() const { return encode_message(*this); }
Pose Pose::decode(const Bytes& bytes) { return decode_message<Pose>(bytes); }
Bytes Pose::encode() const { return encode_message(*this); }
PoseWithCovariance PoseWithCovariance::decode(const Bytes& bytes) {
  return decode_message<PoseWithCovariance>(bytes);
}
Bytes PoseWithCovariance::encode() const { return encode_message(*this); }
Twist Twist::decode(const Bytes& bytes) { return decode_message<Twist>(bytes); }
Bytes Twist::encode() const { return encode_message(*this); }
TwistWithCovariance TwistWithCovariance::decode(const Bytes& bytes) {
  return decode_message<TwistWithCovariance>(bytes);
}
Bytes TwistWithCovariance::encode() const { return encode_message(*this); }
Transform Transform::decode(const Bytes& bytes) { return decode_message<Transform>(bytes); }
Bytes Transform::encode() const { return encode_message(*this); }
TransformStamped TransformStamped::decode(const Bytes& bytes) {
  return decode_message<TransformStamped>(bytes);
}
Bytes TransformStamped::encode() const { return encode_message(*this); }
}  // namespace geometry_msgs

namespace tf2_msgs {
TFMessage TFMessage::decode(const Bytes& bytes) { return decode_message<TFMessage>(bytes); }
Bytes TFMessage::encode() const { return encode_message(*this); }
}  // namespace tf2_msgs

namespace sensor_msgs {
Image Image::decode(const Bytes& bytes) { return decode_message<Image>(bytes); }
Bytes Image::encode() const { return encode_message(*this); }
RegionOfInterest RegionOfInterest::decode(const Bytes& bytes) {
  return decode_message<RegionOfInterest>(bytes);
}
Bytes RegionOfInterest::encode() const { return encode_message(*this); }
CameraInfo CameraInfo::decode(const Bytes& bytes) { return decode_message<CameraInfo>(bytes); }
Bytes CameraInfo::encode() const { return encode_message(*this); }
PointField PointField::decode(const Bytes& bytes) { return decode_message<PointField>(bytes); }
Bytes PointField::encode() const { return encode_message(*this); }
PointCloud2 PointCloud2::decode(const Bytes& bytes) { return decode_message<PointCloud2>(bytes); }
Bytes PointCloud2::encode() const { return encode_message(*this); }
LaserScan LaserScan::decode(const Bytes& bytes) { return decode_message<LaserScan>(bytes); }
Bytes LaserScan::encode() const { return encode_message(*this); }
Imu Imu::decode(const Bytes& bytes) { return decode_message<Imu>(bytes); }
Bytes Imu::encode() const { return encode_message(*this); }
}  // namespace sensor_msgs

namespace nav_msgs {
Odometry Odometry::decode(const Bytes& bytes) { return decode_message<Odometry>(bytes); }
Bytes Odometry::encode() const { return encode_message(*this); }
}  // namespace nav_msgs

}  // namespace orvalt::ros2
