#include "orvalt/ros2/ros2msg.hpp"

#include <gtest/gtest.h>

namespace orvalt::ros2 {
namespace {

std::vector<std::string> names(const std::vector<MsgField>& fields) {
  std::vector<std::string> result;
  for (const auto& field : fields) result.push_back(field.type + " " + field.name);
  return result;
}

TEST(MsgFields, SkipsCommentsConstantsAndDependencies) {
  const std::string text =
      "# A comment line\r\n"
      "\n"
      "uint8 KIND_A=1\n"
      "uint8 KIND_B = 2   # constants take no room\n"
      "string NAME = 'a#b'\n"
      "std_msgs/Header  header # stamp\n"
      "   float64[9] covariance\n"
      "int32 count 5\n"
      "string<=8 label \"x\"\n"
      "Point[<=3] corners\n"
      "================================================================================\n"
      "MSG: std_msgs/Header\n"
      "builtin_interfaces/Time stamp\n";
  EXPECT_EQ((std::vector<std::string>{"std_msgs/Header header", "float64[9] covariance",
                                      "int32 count", "string<=8 label", "Point[<=3] corners"}),
            names(msg_fields(text)));
  ASSERT_TRUE(first_msg_field(text));
  EXPECT_EQ("header", first_msg_field(text)->name);
  EXPECT_FALSE(first_msg_field("# only comments\nuint8 A=1\n"));
  EXPECT_FALSE(first_msg_field(""));
}

TEST(MsgFields, ReferencedTypesResolveAgainstThePackage) {
  EXPECT_EQ("geometry_msgs/Point", referenced_msg_type("Point[<=3]", "geometry_msgs"));
  EXPECT_EQ("std_msgs/Header", referenced_msg_type("std_msgs/Header", "sensor_msgs"));
  EXPECT_EQ("std_msgs/Header", referenced_msg_type("std_msgs/msg/Header", "sensor_msgs"));
  EXPECT_EQ("geometry_msgs/TransformStamped",
            referenced_msg_type("geometry_msgs/TransformStamped[]", "tf2_msgs"));
  for (const char* primitive : {"float64[9]", "string<=8", "string", "wstring", "bool[]", "uint8",
                                "byte", "char", "int64[<=4]"}) {
    EXPECT_FALSE(referenced_msg_type(primitive, "pkg")) << primitive;
  }
}

TEST(TypeNames, GainAndLoseMsg) {
  EXPECT_EQ("sensor_msgs/msg/Image", full_type_name("sensor_msgs/Image"));
  EXPECT_EQ("sensor_msgs/msg/Image", full_type_name("sensor_msgs/msg/Image"));
  EXPECT_EQ("sensor_msgs/Image", short_type_name("sensor_msgs/msg/Image"));
  EXPECT_EQ("sensor_msgs/Image", short_type_name("sensor_msgs/Image"));
  // Service types and odd texts stay as they are.
  EXPECT_EQ("example_interfaces/srv/AddTwoInts_Event",
            short_type_name("example_interfaces/srv/AddTwoInts_Event"));
  EXPECT_EQ("example_interfaces/srv/AddTwoInts_Event",
            full_type_name("example_interfaces/srv/AddTwoInts_Event"));
  for (const char* odd : {"", "Image", "/Image", "pkg/", "a/msg/b/c"}) {
    EXPECT_EQ(odd, full_type_name(odd));
    EXPECT_EQ(odd, short_type_name(odd));
  }
}

}  // namespace
}  // namespace orvalt::ros2
