#include "orvalt/calibration/pellitor/synthetic_problem.hpp"

#include <random>
#include <stdexcept>
#include <string>

#include <open3d/geometry/PointCloud.h>
#include <open3d/io/PointCloudIO.h>
#include <Eigen/Geometry>

namespace orvalt::calibration {
namespace {

Eigen::Matrix3d small_rotation(std::mt19937& random, double sigma) {
  std::normal_distribution<double> normal(0.0, sigma);
  const Eigen::Vector3d axis_angle(normal(random), normal(random), normal(random));
  if (axis_angle.norm() == 0.0) return Eigen::Matrix3d::Identity();
  return Eigen::AngleAxisd(axis_angle.norm(), axis_angle.normalized()).toRotationMatrix();
}

}  // namespace

SyntheticProblem make_synthetic_problem(const SyntheticProblemOptions& options) {
  std::mt19937 random(options.seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::normal_distribution<double> normal(0.0, 1.0);

  SyntheticProblem problem;
  problem.X = TransformUtils::vector6_to_transform_matrix(options.true_vec6);
  const Eigen::Matrix4d camera_from_base = problem.X.inverse();

  for (int i = 0; i < options.num_motions; ++i) {
    Eigen::Matrix4d A = Eigen::Matrix4d::Identity();
    const double angle = options.max_rotation * (0.25 + 0.75 * (unit(random) + 1.0) / 2.0);
    const double sign = unit(random) < 0.0 ? -1.0 : 1.0;
    Eigen::Vector3d axis = Eigen::Vector3d::UnitZ();
    if (!options.planar) axis = Eigen::Vector3d(unit(random), unit(random), unit(random));
    A.block<3, 3>(0, 0) = Eigen::AngleAxisd(sign * angle, axis.normalized()).toRotationMatrix();
    A.block<3, 1>(0, 3) =
        options.max_translation *
        Eigen::Vector3d(unit(random), unit(random), options.planar ? 0.0 : unit(random));
    Eigen::Matrix4d B = camera_from_base * A * problem.X;
    B.block<3, 3>(0, 0) = B.block<3, 3>(0, 0) * small_rotation(random, options.rotation_noise);
    for (int k = 0; k < 3; ++k) B(k, 3) += options.translation_noise * normal(random);
    problem.A_list.push_back(A);
    problem.B_list.push_back(B);
  }

  for (int c = 0; c < options.num_clouds; ++c) {
    Points3d points(options.points_per_cloud, 3);
    const double near = 0.6 + 0.1 * c;
    for (int p = 0; p < options.points_per_cloud; ++p) {
      const Eigen::Vector3d in_base(near + 1.2 * (unit(random) + 1.0) / 2.0, 0.8 * unit(random),
                                    options.ground_noise * normal(random));
      points.row(p) =
          (camera_from_base.block<3, 3>(0, 0) * in_base + camera_from_base.block<3, 1>(0, 3))
              .transpose();
    }
    problem.camera_ground_points.push_back(points);
  }
  return problem;
}

void write_ground_clouds(const std::vector<Points3d>& clouds, const std::filesystem::path& dir) {
  for (std::size_t i = 0; i < clouds.size(); ++i) {
    open3d::geometry::PointCloud cloud;
    for (Eigen::Index p = 0; p < clouds[i].rows(); ++p) {
      cloud.points_.emplace_back(clouds[i].row(p).transpose());
    }
    const std::filesystem::path file = dir / ("ground_" + std::to_string(i) + ".ply");
    if (!open3d::io::WritePointCloud(file.string(), cloud)) {
      throw std::runtime_error("Cannot write " + file.string());
    }
  }
}

}  // namespace orvalt::calibration
