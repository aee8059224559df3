#include "orvalt/ros2/header_stamp.hpp"

#include <set>

#include "orvalt/ros2/cdr_stream.hpp"
#include "orvalt/ros2/ros2msg.hpp"

namespace orvalt::ros2 {
namespace {

// Types of ROS 2's common interfaces whose first field is "std_msgs/Header header" (constants
// before it, as in BatteryState or Marker, take no room in the payload).
const std::set<std::string>& standard_stamped_types() {
  static const std::set<std::string> types = {
      "actionlib_msgs/msg/GoalStatusArray",
      "diagnostic_msgs/msg/DiagnosticArray",
      "geometry_msgs/msg/AccelStamped",
      "geometry_msgs/msg/AccelWithCovarianceStamped",
      "geometry_msgs/msg/InertiaStamped",
      "geometry_msgs/msg/PointStamped",
      "geometry_msgs/msg/PolygonInstanceStamped",
      "geometry_msgs/msg/PolygonStamped",
      "geometry_msgs/msg/PoseArray",
      "geometry_msgs/msg/PoseStamped",
      "geometry_msgs/msg/PoseStampedArray",
      "geometry_msgs/msg/PoseWithCovarianceStamped",
      "geometry_msgs/msg/QuaternionStamped",
      "geometry_msgs/msg/TransformStamped",
      "geometry_msgs/msg/TwistStamped",
      "geometry_msgs/msg/TwistWithCovarianceStamped",
      "geometry_msgs/msg/Vector3Stamped",
      "geometry_msgs/msg/VelocityStamped",
      "geometry_msgs/msg/WrenchStamped",
      "nav_msgs/msg/GridCells",
      "nav_msgs/msg/OccupancyGrid",
      "nav_msgs/msg/Odometry",
      "nav_msgs/msg/Path",
      "sensor_msgs/msg/BatteryState",
      "sensor_msgs/msg/CameraInfo",
      "sensor_msgs/msg/CompressedImage",
      "sensor_msgs/msg/FluidPressure",
      "sensor_msgs/msg/Illuminance",
      "sensor_msgs/msg/Image",
      "sensor_msgs/msg/Imu",
      "sensor_msgs/msg/JointState",
      "sensor_msgs/msg/Joy",
      "sensor_msgs/msg/LaserScan",
      "sensor_msgs/msg/MagneticField",
      "sensor_msgs/msg/MultiDOFJointState",
      "sensor_msgs/msg/MultiEchoLaserScan",
      "sensor_msgs/msg/NavSatFix",
      "sensor_msgs/msg/PointCloud",
      "sensor_msgs/msg/PointCloud2",
      "sensor_msgs/msg/Range",
      "sensor_msgs/msg/RelativeHumidity",
      "sensor_msgs/msg/Temperature",
      "sensor_msgs/msg/TimeReference",
      "stereo_msgs/msg/DisparityImage",
      "trajectory_msgs/msg/JointTrajectory",
      "trajectory_msgs/msg/MultiDOFJointTrajectory",
      "visualization_msgs/msg/ImageMarker",
      "visualization_msgs/msg/InteractiveMarker",
      "visualization_msgs/msg/InteractiveMarkerFeedback",
      "visualization_msgs/msg/InteractiveMarkerPose",
      "visualization_msgs/msg/Marker",
  };
  return types;
}

bool begins_with_header(const std::string& full_name, const std::string& definition) {
  const auto first = first_msg_field(definition);
  if (!first || first->name != "header") return false;
  const std::string package = full_name.substr(0, full_name.find('/'));
  return referenced_msg_type(first->type, package) == std::string("std_msgs/Header");
}

// Our own types with a header are in the table too, so a known type outside it has none.
bool has_header(const std::string& type_name, const std::string& schema_text) {
  const std::string full_name = full_type_name(type_name);
  if (standard_stamped_types().count(full_name) > 0) return true;
  if (is_known_type(full_name)) return false;
  return !schema_text.empty() && begins_with_header(full_name, schema_text);
}

}  // namespace

std::optional<std::int64_t> header_stamp(const std::string& type_name, const Bytes& bytes,
                                         const std::string& schema_text) {
  if (!has_header(type_name, schema_text)) return std::nullopt;
  builtin_interfaces::Time stamp;
  decode_cdr(bytes, type_name, [&](CdrReader& in) {
    in.read(stamp.sec);
    in.read(stamp.nanosec);
    // The frame_id's length must fit too, or the payload is too short for its header.
    in.read_sequence_length(1);
  });
  return stamp.nanoseconds();
}

}  // namespace orvalt::ros2
