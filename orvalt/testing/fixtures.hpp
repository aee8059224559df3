#pragma once

#include <filesystem>
#include <optional>

namespace orvalt::testing {

// The folder of real rosbag2 recordings (shared/fixtures/real_bags beside the source tree, or
// $ORVALT_REAL_BAGS), or std::nullopt when it is absent. Tests that need it skip without it:
//   const auto bags = real_bags_dir();
//   if (!bags) GTEST_SKIP() << kNoRealBags;
std::optional<std::filesystem::path> real_bags_dir();
inline constexpr const char* kNoRealBags =
    "real bag fixtures not found (../shared/fixtures/real_bags or $ORVALT_REAL_BAGS)";

// The folder of real camera images of AprilTags with their truth lists
// (shared/fixtures/real_images beside the source tree, or $ORVALT_REAL_IMAGES), or
// std::nullopt when it is absent.
std::optional<std::filesystem::path> real_images_dir();
inline constexpr const char* kNoRealImages =
    "real image fixtures not found (../shared/fixtures/real_images or $ORVALT_REAL_IMAGES)";

// Where the built programs are (build/bin), for tests that run a command as a process.
std::filesystem::path program_dir();

}  // namespace orvalt::testing
