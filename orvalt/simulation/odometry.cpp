#include "orvalt/simulation/odometry.hpp"

#include <cmath>
#include <random>
#include <stdexcept>

#include "orvalt/simulation/random_streams.hpp"

namespace orvalt::simulation {
namespace {

// Integration steps are at most this long, so that slip varies smoothly within a TF period.
constexpr double kMaxStep = 0.005;

}  // namespace

OdometrySimulator::OdometrySimulator(const Trajectory& trajectory, const OdometryError& error,
                                     std::uint64_t seed)
    : trajectory_(trajectory), error_(error), seed_(seed) {}

std::vector<OdometrySample> OdometrySimulator::run(const std::vector<double>& times) const {
  auto random = random_stream(seed_, RandomStream::kOdometry);
  std::normal_distribution<double> gaussian(0.0, 1.0);

  std::vector<OdometrySample> samples;
  samples.reserve(times.size());
  OdometrySample current;
  PlanarState previous = trajectory_.state(0.0);
  current.x = previous.x;
  current.y = previous.y;
  current.yaw = previous.yaw;
  double slip = 0.0;  // Ornstein-Uhlenbeck share of the distance that the wheels over-report
  for (double target : times) {
    if (target < current.time) {
      throw std::invalid_argument("Odometry sample times must not decrease");
    }
    while (current.time < target) {
      const bool last = target - current.time <= kMaxStep;
      const double next_time = last ? target : current.time + kMaxStep;
      const double step = next_time - current.time;
      const PlanarState next = trajectory_.state(next_time);
      const double driven = next.distance - previous.distance;
      const double turned = next.yaw - previous.yaw;

      if (error_.slip > 0.0) {
        const double decay = std::exp(-step / error_.slip_time);
        slip = slip * decay + error_.slip * std::sqrt(1.0 - decay * decay) * gaussian(random);
      }
      const double measured_distance = driven * (1.0 + error_.scale + slip);
      double measured_turn = turned * (1.0 + error_.yaw_scale);
      if (error_.yaw_noise > 0.0) {
        measured_turn +=
            error_.yaw_noise * std::sqrt(std::abs(turned) + std::abs(driven)) * gaussian(random);
      }

      // One constant-curvature arc per step.
      const double yaw_after = current.yaw + measured_turn;
      if (std::abs(measured_turn) < 1e-12) {
        current.x += measured_distance * std::cos(current.yaw);
        current.y += measured_distance * std::sin(current.yaw);
      } else {
        const double radius = measured_distance / measured_turn;
        current.x += radius * (std::sin(yaw_after) - std::sin(current.yaw));
        current.y -= radius * (std::cos(yaw_after) - std::cos(current.yaw));
      }
      current.yaw = yaw_after;
      // The wheels turn with the true motion plus what slips.
      const double wheel_turn = 0.5 * kWheelSeparation * turned;
      current.left_wheel_angle += (measured_distance - wheel_turn) / kWheelRadius;
      current.right_wheel_angle += (measured_distance + wheel_turn) / kWheelRadius;
      current.time = next_time;
      previous = next;
    }
    samples.push_back(current);
  }
  return samples;
}

}  // namespace orvalt::simulation
