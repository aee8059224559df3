#pragma once

#include <optional>
#include <string>
#include <vector>

// Reading ROS 2 .msg (ros2msg) definition texts and type names. Internal to the data layer.
namespace orvalt::ros2 {

// One field line of a .msg text, as written: "geometry_msgs/Point[] points" gives type
// "geometry_msgs/Point[]" and name "points".
struct MsgField {
  std::string type;
  std::string name;
};

// The fields of the first definition in `text`, in order: comments, blank lines and constants
// ("uint8 INT8 = 1") are skipped, and reading stops at a line of "=" (the start of the
// dependencies appended in an MCAP schema or a bag's message_definitions).
std::vector<MsgField> msg_fields(const std::string& text);

// The first field of `text` (as above), std::nullopt when it has none.
std::optional<MsgField> first_msg_field(const std::string& text);

// The message type a field type refers to, as "pkg/Type", resolving a type without a package
// against `package` (the package of the message holding the field) and dropping array bounds;
// std::nullopt for a primitive type (bool, int32, string<=10, float64[9], ...).
std::optional<std::string> referenced_msg_type(const std::string& field_type,
                                               const std::string& package);

// "pkg/Type" and "pkg/msg/Type" both become "pkg/msg/Type"; any other text is returned as is.
std::string full_type_name(const std::string& type_name);
// "pkg/msg/Type" and "pkg/Type" both become "pkg/Type"; any other text is returned as is.
std::string short_type_name(const std::string& type_name);

}  // namespace orvalt::ros2
