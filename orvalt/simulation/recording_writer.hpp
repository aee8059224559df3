#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "orvalt/simulation/simulation.hpp"

namespace orvalt::simulation {

// What went into a written recording, per topic.
struct TopicSummary {
  std::uint64_t messages = 0;
  double mean_delay_ms = 0.0;  // the topic's own recording delay, drawn once
};

struct RecordingSummary {
  std::filesystem::path directory;
  std::map<std::string, TopicSummary> topics;
  std::uint64_t bytes = 0;  // payload bytes written
};

// Writes the simulation as a rosbag2 directory at options().output (storage
// options().storage), with ground_truth.json inside it:
// - "/tf": odom -> base_footprint at the TF rate from the odometry (drift included), and
//   base_link -> wheel links in separate messages;
// - "/tf_static": the base -> camera chain at the nominal mounting (not the true one);
// - the colour (bgr8), depth (16UC1, mm), camera info and point cloud topics at the camera rate
//   (clouds at the cloud rate), all of one frame with the same header stamp: the capture time
//   plus the camera latency.
// Bag timestamps are header stamps plus a recording delay, and messages are written in bag
// timestamp order, as a recorder receives them. Shows a progress bar when `progress`.
// Throws std::runtime_error when the directory exists or cannot be written.
RecordingSummary write_recording(const Simulation& simulation, bool progress = false);

}  // namespace orvalt::simulation
