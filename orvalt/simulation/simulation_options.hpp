#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvalt::simulation {

// Pinhole intrinsics of the rectified colour image; the depth image is registered to it, so it
// shares them.
struct CameraIntrinsics {
  int width = 640;
  int height = 480;
  double fx = 386.2;
  double fy = 385.7;
  double cx = 321.4;
  double cy = 238.9;
};

// An AprilGrid board: rows x cols tag36h11 markers with ids first_id, first_id + 1, ... left
// to right, then top to bottom, separated by white gaps and framed by a white margin.
struct BoardLayout {
  int rows = 2;
  int cols = 5;
  int first_id = 0;
  double tag_size = 0.15;      // metres, black border included
  double tag_spacing = 0.045;  // metres between neighbouring tags
  double margin = 0.08;        // metres of white around the tags
  int pixels_per_tag = 240;    // texture resolution; a multiple of the 8 cells of a tag
};

// Where the board stands: upright, its bottom edge on the floor, centred at `x`, `y` of the
// world (odometry start) frame, its face towards the robot's start when `yaw` is 0.
struct BoardPlacement {
  double x = 1.0;
  double y = 0.0;
  double yaw = 0.0;  // radians, about the world's up axis
};

// Wheel odometry errors; each is zero in the exact preset.
struct OdometryError {
  double scale = 0.01;       // relative error of travelled distance (wheel radius)
  double slip = 0.01;        // standard deviation of the wheel-slip share of distance
  double slip_time = 0.5;    // seconds over which slip stays correlated
  double yaw_scale = 0.005;  // relative error of turned angle (wheel base)
  double yaw_noise = 0.002;  // radians per square root of (radians turned + metres driven)
};

// Every imperfection of the recorded data. The defaults describe a typical stereo depth camera
// on a small wheeled robot; `exact()` switches all of them off.
struct NoiseSettings {
  double image_noise = 2.0;              // grey levels per channel at mid grey (shot noise)
  double image_blur = 0.6;               // pixels, Gaussian sigma of the optics
  double brightness_variation = 0.08;    // relative amplitude of the exposure changes
  double depth_noise = 0.001;            // metres, standard deviation at zero range
  double depth_noise_quadratic = 0.002;  // metres per square metre of depth
  int depth_edge_holes = 2;              // pixels invalidated around depth discontinuities
  double depth_dropout = 0.001;          // share of pixels lost at random (small blobs)
  OdometryError odometry;

  static NoiseSettings exact();
};

// Bag timestamps lag header stamps by a delay drawn per message; each topic has its own mean
// delay, drawn once from [min_ms, max_ms], and messages spread around it inside that range.
struct RecordingDelay {
  double min_ms = 3.0;
  double max_ms = 40.0;
};

// The camera topics of the recording, as on the robot.
struct TopicNames {
  std::string color = "/QuillonNode/rectify_left_image";
  std::string depth = "/QuillonNode/quillon_depth";
  std::string cloud = "/QuillonNode/quillon_pointcloud2";
  std::string camera_info = "/QuillonNode/quillon_depth/camera_info";
};

// The room the robot drives in: floor at z = 0, walls and ceiling textured.
struct Room {
  double x_min = -3.5;
  double x_max = 4.5;
  double y_min = -4.0;
  double y_max = 3.5;
  double height = 2.7;
};

enum class TrajectoryKind {
  kTurnsAndArcs,  // in-place turns to both sides, straight moves and S-shaped arcs
  kTurns,         // in-place turns only
  kStraight,      // forward and backward moves only, no turning
  kGentleArcs,    // forward and backward moves along shallow arcs, turns of under 10 degrees
};

// Parses "turns_and_arcs", "turns", "straight" or "gentle_arcs"; throws std::invalid_argument
// otherwise.
TrajectoryKind parse_trajectory_kind(const std::string& name);
std::string trajectory_kind_name(TrajectoryKind kind);

// A six-vector [rx, ry, rz, tx, ty, tz] in radians and metres (R = Rz * Ry * Rx), the mounting
// of the camera's forward-left-up frame on base_footprint.
using Vector6 = std::vector<double>;
// Converts [rx, ry, rz] from degrees; throws std::invalid_argument unless there are 6 values.
Vector6 extrinsic_from_degrees(const std::vector<double>& degrees_and_metres);

struct SimulationOptions {
  std::string output = "simulated_recording";
  std::string storage = "sqlite3";  // or "mcap"
  double duration = 20.0;           // seconds of recording
  double camera_rate = 15.0;        // Hz of colour, depth and camera info
  double cloud_rate = 15.0;         // Hz of point clouds, at most camera_rate
  double tf_rate = 50.0;            // Hz of odom -> base_footprint
  std::uint64_t seed = 1;
  std::int64_t start_time_ns = 1700000000000000000;  // header stamp of the first TF sample
  TrajectoryKind trajectory = TrajectoryKind::kTurnsAndArcs;
  // The true mounting, near the nominal one but not at it.
  Vector6 extrinsic = extrinsic_from_degrees({0.6, 4.0, 3.0, 0.025, 0.028, 0.152});
  // The mounting the robot's model claims, published on /tf_static.
  Vector6 nominal_extrinsic = extrinsic_from_degrees({0.0, 0.0, 0.0, 0.01, 0.04, 0.146});
  CameraIntrinsics intrinsics;
  BoardLayout board;
  BoardPlacement board_placement;
  Room room;
  NoiseSettings noise;
  RecordingDelay delay;
  // Camera drivers stamp a frame when they publish it, not when it was exposed: colour, depth,
  // cloud and camera info header stamps are this much later than the capture.
  double camera_latency_ms = 0.0;
  TopicNames topics;
  int cloud_step = 4;       // the cloud keeps every cloud_step-th pixel in both directions
  double depth_min = 0.15;  // metres; the camera reports nothing closer
  double depth_max = 8.0;   // metres; nor farther
};

// Throws std::invalid_argument naming the first option that is out of range.
void validate(const SimulationOptions& options);

}  // namespace orvalt::simulation
