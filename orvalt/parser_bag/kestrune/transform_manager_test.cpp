#include "orvalt/parser_bag/kestrune/transform_manager.hpp"

#include <cmath>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/header_stamp.hpp"
#include "orvalt/testing/bags/test_bag.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/log_capture.hpp"

namespace orvalt::parser_bag {
namespace {

using orvalt::testing::stamp_at;
using orvalt::testing::tf_message;

constexpr std::int64_t kSecond = 1000000000;

// odom -> base_footprint at 10.0 s (x = 1) and 10.1 s (x = 2).
void store_odometry(TransformManager& manager) {
  manager._save_tf_buffer(tf_message("odom", "base_footprint", 10 * kSecond, 1.0), "dynamic_tf");
  manager._save_tf_buffer(tf_message("odom", "base_footprint", 10 * kSecond + 100000000, 2.0),
                          "dynamic_tf");
}

TEST(TransformManagerTest, InterpolatesBetweenTheBracketingSamples) {
  TransformManager manager("base_footprint", "odom");
  store_odometry(manager);
  const std::int64_t stamp = 10 * kSecond + 50000000;
  const auto info = manager.get_odom_info(stamp_at(stamp), "base_footprint", "odom");
  ASSERT_TRUE(info.has_value());
  EXPECT_NEAR(info->odom_pose.tx, 1.5, 1e-12);
  EXPECT_EQ(info->odom_pose.timestamp, stamp);
  EXPECT_EQ(info->odom_info.rfind("10050000000.1.500000_", 0), 0u) << info->odom_info;
  EXPECT_EQ(info->odom_info,
            "10050000000.1.500000_0.000000_0.000000_1.000000_0.000000_0.000000_0.000000");
}

TEST(TransformManagerTest, StampsOutsideTheSamplesFindNoPose) {
  orvalt::testing::LogCapture log("orvalt.parser_bag.kestrune");
  TransformManager manager("base_footprint", "odom");
  store_odometry(manager);
  EXPECT_FALSE(manager.get_odom_info(stamp_at(9 * kSecond), "base_footprint", "odom"));
  EXPECT_FALSE(manager.get_odom_info(stamp_at(11 * kSecond), "base_footprint", "odom"));
  EXPECT_FALSE(manager.get_odom_info(stamp_at(-kSecond), "base_footprint", "odom"));
  EXPECT_FALSE(manager.get_odom_info(stamp_at(10 * kSecond), "base_link", "odom"));
  EXPECT_TRUE(log.contains(
      "[debug] Failed to lookup transform of base_footprint to odom, error_info=Lookup would "
      "require extrapolation"));
}

TEST(TransformManagerTest, AZeroStampHasNoPoseNotTheLatestOne) {
  orvalt::testing::LogCapture log("orvalt.parser_bag.kestrune");
  TransformManager manager("base_footprint", "odom");
  store_odometry(manager);
  EXPECT_FALSE(manager.get_odom_info(stamp_at(0), "base_footprint", "odom"));
  EXPECT_TRUE(log.contains("[debug] Failed to lookup transform of base_footprint to odom"));
  // A chain of static transforms holds at every stamp, but an unset one is still no stamp.
  TransformManager fixed("camera", "base_footprint");
  fixed._save_tf_buffer(tf_message("base_footprint", "camera", 0, 0.2), "static_tf");
  EXPECT_FALSE(fixed.get_odom_info(stamp_at(0), "camera", "base_footprint"));
  EXPECT_TRUE(fixed.get_odom_info(stamp_at(1), "camera", "base_footprint"));
}

// Real drivers leave header stamps unset: every IMU message of one recording, the first image
// of another. Against a static chain, which holds at every real stamp, only those find no pose.
TEST(TransformManagerTest, UnsetStampsOfRealRecordingsFindNoPose) {
  const auto bags = orvalt::testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << orvalt::testing::kNoRealBags;
  TransformManager manager("sensor", "odom");
  manager._save_tf_buffer(tf_message("odom", "sensor", 0, 0.5), "static_tf");
  for (const char* name : {"v5_sqlite3_schema3_imu", "v5_sqlite3_schema2_image_2x2"}) {
    const ros2::BagReader reader(*bags / name);
    auto stream = reader.messages();
    int unset = 0;
    int posed = 0;
    while (auto message = stream.next()) {
      const auto stamp = ros2::header_stamp(message->connection->msgtype, message->data);
      ASSERT_TRUE(stamp.has_value()) << name;
      const bool found =
          manager
              .get_odom_info(ros2::builtin_interfaces::Time::from_nanoseconds(*stamp), "sensor",
                             "odom")
              .has_value();
      EXPECT_EQ(found, *stamp != 0) << name << " at " << *stamp;
      (*stamp == 0 ? unset : posed) += 1;
    }
    EXPECT_GT(unset, 0) << name;
    if (std::string(name) == "v5_sqlite3_schema2_image_2x2") {
      EXPECT_EQ(posed, 2);
    }
  }
}

TEST(TransformManagerTest, RejectedTransformsAreErrorsWithTf2sTextAndNothingOnStderr) {
  TransformManager manager("base_footprint", "odom");
  store_odometry(manager);
  auto message = tf_message("odom", "base_footprint", 10 * kSecond, 5.0);  // repeated stamp
  message.transforms.push_back(
      tf_message("base_footprint", "camera", 10 * kSecond, std::nan("")).transforms[0]);
  message.transforms.push_back(
      tf_message("base_footprint", "lidar", 10 * kSecond, 0.3).transforms[0]);
  ::testing::internal::CaptureStderr();
  std::string error;
  try {
    manager._save_tf_buffer(message, "dynamic_tf");
  } catch (const std::invalid_argument& rejected) {
    error = rejected.what();
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_THAT(error, ::testing::HasSubstr("TF_REPEATED_DATA"));
  EXPECT_THAT(error, ::testing::HasSubstr("TF_NAN_INPUT"));
  // The repeated sample did not replace the stored one; the good transform beside the bad
  // ones is kept.
  const auto info = manager.get_odom_info(stamp_at(10 * kSecond), "base_footprint", "odom");
  ASSERT_TRUE(info.has_value());
  EXPECT_DOUBLE_EQ(info->odom_pose.tx, 1.0);
  EXPECT_TRUE(manager.get_transform("lidar", "base_footprint", stamp_at(10 * kSecond)));
}

TEST(TransformManagerTest, StaticTransformsHoldAtEveryStamp) {
  TransformManager manager("camera", "odom");
  store_odometry(manager);
  manager._save_tf_buffer(tf_message("base_footprint", "camera", 0, 0.2, 0, 0.5), "static_tf");
  // Static alone: any stamp, even one before every dynamic sample of other links.
  const auto camera_in_base = manager.get_transform("camera", "base_footprint", stamp_at(kSecond));
  ASSERT_TRUE(camera_in_base.has_value());
  EXPECT_DOUBLE_EQ(camera_in_base->transform.translation.z, 0.5);
  // Chained with the dynamic link inside its range.
  const auto info = manager.get_odom_info(stamp_at(10 * kSecond + 50000000), "camera", "odom");
  ASSERT_TRUE(info.has_value());
  EXPECT_NEAR(info->odom_pose.tx, 1.7, 1e-12);
  EXPECT_NEAR(info->odom_pose.tz, 0.5, 1e-12);
}

TEST(TransformManagerTest, StaticTransformsAreLoggedAsWarnings) {
  orvalt::testing::LogCapture log("orvalt.parser_bag.kestrune");
  TransformManager manager("base_footprint", "odom");
  manager._save_tf_buffer(tf_message("base_footprint", "camera", 0, 0.2), "static_tf");
  store_odometry(manager);
  EXPECT_TRUE(log.contains("[warning] [Static TF Incoming Storage] base_footprint → camera"));
  EXPECT_TRUE(log.contains("[debug] [Dynamic TF Incoming Storage] odom → base_footprint"));
  EXPECT_TRUE(log.contains(
      "[debug] transform.header.frame_id=odom, transform.child_frame_id=base_footprint"));
}

TEST(TransformManagerTest, KeepsOnlyTheLast3000SecondsOfDynamicSamples) {
  TransformManager manager("base_footprint", "odom");
  for (std::int64_t second = 0; second <= 4000; second += 500) {
    manager._save_tf_buffer(
        tf_message("odom", "base_footprint", (100 + second) * kSecond, double(second)),
        "dynamic_tf");
  }
  EXPECT_FALSE(manager.get_odom_info(stamp_at(350 * kSecond), "base_footprint", "odom"));
  const auto kept = manager.get_odom_info(stamp_at(3850 * kSecond), "base_footprint", "odom");
  ASSERT_TRUE(kept.has_value());
  EXPECT_NEAR(kept->odom_pose.tx, 3750.0, 1e-6);
}

TEST(TransformManagerTest, KeepsEveryStampOfAFramePairSorted) {
  TransformManager manager("base_footprint", "odom");
  manager.save_transform_timestamp("base_footprint", "odom", 30);
  manager.save_transform_timestamp("base_footprint", "odom", 10);
  manager.save_transform_timestamp("base_footprint", "odom", 30);
  manager.save_transform_timestamp("base_footprint", "odom", 20);
  manager._save_tf_buffer(tf_message("odom", "base_footprint", 20, 0.0), "dynamic_tf");
  const auto& stamps = manager.timestamps().at({"base_footprint", "odom"});
  EXPECT_THAT(stamps, ::testing::ElementsAre(10, 20, 20, 30, 30));
  EXPECT_EQ(manager.timestamps().size(), 1u);
}

TEST(TransformManagerTest, StampBefore1970IsAnErrorAndEarlierTransformsStay) {
  TransformManager manager("base_footprint", "odom");
  auto message = tf_message("odom", "base_footprint", 10 * kSecond, 1.0);
  message.transforms.push_back(tf_message("base_footprint", "camera", -kSecond, 0.0).transforms[0]);
  EXPECT_THROW(manager._save_tf_buffer(message, "dynamic_tf"), std::invalid_argument);
  EXPECT_TRUE(manager.get_transform("base_footprint", "odom", stamp_at(10 * kSecond)));
}

TEST(TransformManagerTest, ReportsWhetherFramesConnect) {
  TransformManager manager("base_footprint", "odom");
  std::string error;
  EXPECT_FALSE(manager.can_transform("base_footprint", "odom", &error));
  EXPECT_FALSE(error.empty());
  store_odometry(manager);
  EXPECT_TRUE(manager.can_transform("base_footprint", "odom", &error));
  manager._save_tf_buffer(tf_message("map", "other", 10 * kSecond, 0.0), "dynamic_tf");
  EXPECT_FALSE(manager.can_transform("base_footprint", "map", &error));
}

TEST(TransformManagerTest, AfterShutdownNothingIsFound) {
  TransformManager manager("base_footprint", "odom");
  store_odometry(manager);
  manager.shutdown();
  manager.shutdown();
  EXPECT_FALSE(manager.get_odom_info(stamp_at(10 * kSecond), "base_footprint", "odom"));
  EXPECT_THROW(manager._save_tf_buffer(tf_message("odom", "base_footprint", 0, 0.0), "static_tf"),
               std::runtime_error);
}

TEST(TransformManagerTest, StemNumbersFollowPrintfFixedSixDecimals) {
  EXPECT_EQ(format_fixed6(-0.0), "-0.000000");
  EXPECT_EQ(format_fixed6(-0.25), "-0.250000");
  EXPECT_EQ(format_fixed6(-1e-9), "-0.000000");
  EXPECT_EQ(format_fixed6(0.0000005001), "0.000001");
  EXPECT_EQ(format_fixed6(1e20), "100000000000000000000.000000");
  EXPECT_EQ(format_fixed6(123456789.1234567), "123456789.123457");
  EXPECT_EQ(format_fixed6(std::numeric_limits<double>::max()).size(), 309u + 7u);
}

TEST(TransformManagerTest, StemOfTheDocumentedExample) {
  TransformManager manager("base_footprint", "odom");
  manager._save_tf_buffer(tf_message("odom", "base_footprint", 0, 1.5, -0.25, -0.0), "static_tf");
  const auto info = manager.get_odom_info(stamp_at(5), "base_footprint", "odom");
  ASSERT_TRUE(info.has_value());
  // tf2 composes static transforms, so a -0 coordinate may come back as +0; the stem shows
  // whatever sign the buffer answers with.
  const std::string z = std::signbit(info->odom_pose.tz) ? "-0.000000" : "0.000000";
  EXPECT_EQ(info->odom_info, "5.1.500000_-0.250000_" + z + "_1.000000_0.000000_0.000000_0.000000");
}

}  // namespace
}  // namespace orvalt::parser_bag
