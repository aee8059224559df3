#include "orvalt/common/json_text.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace orvalt::common {
namespace {

using Json = nlohmann::ordered_json;

TEST(JsonTextTest, LaysOutLikeNlohmannDump) {
  Json json;
  json["name"] = "caméra \"left\"";
  json["count"] = 3;
  json["ok"] = true;
  json["none"] = nullptr;
  json["empty_list"] = Json::array();
  json["empty_object"] = Json::object();
  json["rows"] = Json::array({Json::array({1.0, -2.5}), Json::array({0.0, 3})});
  json["nested"] = {{"a", 1}, {"b", Json::array({"x"})}};
  EXPECT_EQ(json_text(json), json.dump(4));
  EXPECT_EQ(json_text(json, 2), json.dump(2));
}

TEST(JsonTextTest, WritesFloatsInTheirShortestForm) {
  const Json json = Json::array({0.15113095, -0.0, 1e-05, 2.0});
  EXPECT_EQ(json.dump(), "[0.15113094999999999,-0.0,1e-05,2.0]");
  EXPECT_EQ(json_text(json, 0), "[\n0.15113095,\n-0.0,\n1e-05,\n2.0\n]");
}

TEST(JsonTextTest, NonFiniteFloatsAreNull) {
  const Json json = Json::array({std::numeric_limits<double>::infinity(), std::nan("")});
  EXPECT_EQ(json_text(json, 1), "[\n null,\n null\n]");
  EXPECT_EQ(Json::parse(json_text(json)), Json::array({nullptr, nullptr}));
}

}  // namespace
}  // namespace orvalt::common
