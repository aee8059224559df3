#pragma once

#include <string>
#include <vector>

#include <Eigen/Core>

namespace orvalt::bench {

// The hand-eye methods of OpenCV's cv::calibrateHandEye, by the names its documentation uses.
struct OpenCvHandEyeMethod {
  std::string name;
  int method;  // cv::HandEyeCalibrationMethod
};
const std::vector<OpenCvHandEyeMethod>& opencv_hand_eye_methods();

// Station poses in the form cv::calibrateHandEye takes, built from relative motion pairs.
// With the robot base as the "gripper", the odometry frame as the robot's "base" and the board
// as the "target": gripper_to_base[i] is the pose of station i's base in the odometry frame
// (maps base coordinates to odometry coordinates), target_to_camera[i] the pose of the board in
// camera i. Both are 4x4 homogeneous matrices.
struct HandEyeStations {
  std::vector<Eigen::Matrix4d> gripper_to_base;
  std::vector<Eigen::Matrix4d> target_to_camera;
};

// Chains the pairs (A_i the pose of base i+1 in base i, B_i the pose of camera i+1 in camera i,
// A_i X = X B_i) into n + 1 stations whose consecutive relative motions are exactly A_i and
// B_i. OpenCV forms a motion from every two stations, not only consecutive ones; each of those
// is a product of pairs and satisfies the same equation, so the chain carries the same
// information, gaps between pairs included. Throws std::invalid_argument for lists of unequal
// length.
HandEyeStations stations_from_motions(const std::vector<Eigen::Matrix4d>& A_list,
                                      const std::vector<Eigen::Matrix4d>& B_list);

// X (camera to robot base, the pose of the camera on the base) from cv::calibrateHandEye with
// `method` over the stations of the pairs. Throws std::invalid_argument for fewer than 2 pairs
// and passes on OpenCV's cv::Exception.
Eigen::Matrix4d solve_hand_eye_opencv(const std::vector<Eigen::Matrix4d>& A_list,
                                      const std::vector<Eigen::Matrix4d>& B_list, int method);

}  // namespace orvalt::bench
