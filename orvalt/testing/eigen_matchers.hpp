#pragma once

#include <cmath>

#include <gmock/gmock.h>
#include <Eigen/Core>
#include <Eigen/Geometry>

#include "orvalt/common/angles.hpp"

namespace orvalt::testing {

// Element-wise |actual - expected| <= tolerance for Eigen matrices of equal shape.
MATCHER_P2(EigenNear, expected, tolerance, "") {
  if (arg.rows() != expected.rows() || arg.cols() != expected.cols()) {
    *result_listener << "shape " << arg.rows() << "x" << arg.cols() << " differs from "
                     << expected.rows() << "x" << expected.cols();
    return false;
  }
  const double error = (arg - expected).cwiseAbs().maxCoeff();
  *result_listener << "largest difference " << error << "\nactual:\n"
                   << arg << "\nexpected:\n"
                   << expected;
  return error <= tolerance;
}

// Quaternions (w, x, y, z as Eigen::Vector4d) equal up to the sign that both signs share.
MATCHER_P2(IsNearQuaternion, expected, tolerance, "") {
  const double same = (arg - expected).cwiseAbs().maxCoeff();
  const double flipped = (arg + expected).cwiseAbs().maxCoeff();
  *result_listener << "difference " << std::min(same, flipped);
  return std::min(same, flipped) <= tolerance;
}

// 4x4 rigid transforms within `degrees` of rotation and `millimetres` of translation.
MATCHER_P3(IsNearRigidTransform, expected, degrees, millimetres, "") {
  const Eigen::Matrix3d relative =
      expected.template block<3, 3>(0, 0).transpose() * arg.template block<3, 3>(0, 0);
  const double angle = common::rad_to_deg(Eigen::AngleAxisd(relative).angle());
  const double offset =
      (arg.template block<3, 1>(0, 3) - expected.template block<3, 1>(0, 3)).norm() * 1000.0;
  *result_listener << "rotation differs by " << angle << " deg, translation by " << offset << " mm";
  return angle <= degrees && offset <= millimetres;
}

}  // namespace orvalt::testing
