#include "bench/accuracy/hand_eye_solvers.hpp"

#include <stdexcept>

#include <Eigen/Geometry>
#include <opencv2/calib3d.hpp>
#include <opencv2/core/eigen.hpp>

namespace orvalt::bench {
namespace {

Eigen::Matrix4d inverse(const Eigen::Matrix4d& T) {
  return Eigen::Isometry3d(T).inverse().matrix();
}

cv::Mat rotation_of(const Eigen::Matrix4d& T) {
  cv::Mat R;
  cv::eigen2cv(Eigen::Matrix3d(T.block<3, 3>(0, 0)), R);
  return R;
}

cv::Mat translation_of(const Eigen::Matrix4d& T) {
  cv::Mat t;
  cv::eigen2cv(Eigen::Vector3d(T.block<3, 1>(0, 3)), t);
  return t;
}

}  // namespace

const std::vector<OpenCvHandEyeMethod>& opencv_hand_eye_methods() {
  static const std::vector<OpenCvHandEyeMethod> methods = {
      {"Tsai", cv::CALIB_HAND_EYE_TSAI},
      {"Park", cv::CALIB_HAND_EYE_PARK},
      {"Horaud", cv::CALIB_HAND_EYE_HORAUD},
      {"Andreff", cv::CALIB_HAND_EYE_ANDREFF},
      {"Daniilidis", cv::CALIB_HAND_EYE_DANIILIDIS}};
  return methods;
}

HandEyeStations stations_from_motions(const std::vector<Eigen::Matrix4d>& A_list,
                                      const std::vector<Eigen::Matrix4d>& B_list) {
  if (A_list.size() != B_list.size()) {
    throw std::invalid_argument("stations_from_motions: " + std::to_string(A_list.size()) +
                                " odometry motions but " + std::to_string(B_list.size()) +
                                " camera motions");
  }
  // The odometry frame and the board frame are arbitrary here: the first station's base and
  // camera sit at their origins.
  Eigen::Matrix4d odom_from_base = Eigen::Matrix4d::Identity();
  Eigen::Matrix4d board_from_camera = Eigen::Matrix4d::Identity();
  HandEyeStations stations;
  stations.gripper_to_base.push_back(odom_from_base);
  stations.target_to_camera.push_back(inverse(board_from_camera));
  for (std::size_t i = 0; i < A_list.size(); ++i) {
    odom_from_base = odom_from_base * A_list[i];
    board_from_camera = board_from_camera * B_list[i];
    stations.gripper_to_base.push_back(odom_from_base);
    stations.target_to_camera.push_back(inverse(board_from_camera));
  }
  return stations;
}

Eigen::Matrix4d solve_hand_eye_opencv(const std::vector<Eigen::Matrix4d>& A_list,
                                      const std::vector<Eigen::Matrix4d>& B_list, int method) {
  if (A_list.size() < 2) {
    throw std::invalid_argument("solve_hand_eye_opencv: needs at least 2 motion pairs, got " +
                                std::to_string(A_list.size()));
  }
  const HandEyeStations stations = stations_from_motions(A_list, B_list);
  std::vector<cv::Mat> R_gripper2base, t_gripper2base, R_target2cam, t_target2cam;
  for (std::size_t i = 0; i < stations.gripper_to_base.size(); ++i) {
    R_gripper2base.push_back(rotation_of(stations.gripper_to_base[i]));
    t_gripper2base.push_back(translation_of(stations.gripper_to_base[i]));
    R_target2cam.push_back(rotation_of(stations.target_to_camera[i]));
    t_target2cam.push_back(translation_of(stations.target_to_camera[i]));
  }
  cv::Mat R_cam2gripper, t_cam2gripper;
  cv::calibrateHandEye(R_gripper2base, t_gripper2base, R_target2cam, t_target2cam, R_cam2gripper,
                       t_cam2gripper, static_cast<cv::HandEyeCalibrationMethod>(method));
  Eigen::Matrix3d R;
  Eigen::Vector3d t;
  cv::cv2eigen(R_cam2gripper, R);
  cv::cv2eigen(t_cam2gripper, t);
  Eigen::Matrix4d X = Eigen::Matrix4d::Identity();
  X.block<3, 3>(0, 0) = R;
  X.block<3, 1>(0, 3) = t;
  return X;
}

}  // namespace orvalt::bench
