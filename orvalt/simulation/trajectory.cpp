#include "orvalt/simulation/trajectory.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "orvalt/common/angles.hpp"

namespace orvalt::simulation {
namespace {

using common::kDegree;

// Share of a manoeuvre done after the share `tau` of its time: velocity 1 - cos(2 pi tau),
// zero with zero acceleration at both ends.
double progress(double tau) { return tau - std::sin(2.0 * M_PI * tau) / (2.0 * M_PI); }
double progress_rate(double tau) { return 1.0 - std::cos(2.0 * M_PI * tau); }

// The state after driving `along` metres and turning `turned` radians on one arc from `start`.
PlanarState advance(const PlanarState& start, double along, double turned) {
  PlanarState state = start;
  state.yaw = start.yaw + turned;
  state.distance = start.distance + along;
  if (std::abs(turned) < 1e-12) {
    state.x += along * std::cos(start.yaw);
    state.y += along * std::sin(start.yaw);
  } else {
    const double radius = along / turned;
    state.x += radius * (std::sin(state.yaw) - std::sin(start.yaw));
    state.y -= radius * (std::cos(state.yaw) - std::cos(start.yaw));
  }
  return state;
}

// An S-curve (left, right twice as far, left) ends on the start heading, straight ahead of its
// start, because the heading is symmetric about the middle of the middle arc.
std::vector<Manoeuvre> s_curve(double distance, double turn, double duration) {
  return {{duration * 0.3, distance * 0.25, turn},
          {duration * 0.4, distance * 0.5, -2.0 * turn},
          {duration * 0.3, distance * 0.25, turn}};
}

std::vector<Manoeuvre> cycle_of_kind(TrajectoryKind kind) {
  // Each cycle below lasts 20 s.
  const std::vector<Manoeuvre> turns = {
      {2.0, 0.0, 30.0 * kDegree}, {2.5, 0.0, -60.0 * kDegree}, {2.0, 0.0, 30.0 * kDegree}};
  switch (kind) {
    case TrajectoryKind::kTurns: {
      std::vector<Manoeuvre> cycle = {{0.5, 0.0, 0.0}};
      for (int i = 0; i < 3; ++i) cycle.insert(cycle.end(), turns.begin(), turns.end());
      return cycle;
    }
    case TrajectoryKind::kStraight:
      return {{0.5, 0.0, 0.0},  {2.5, 0.25, 0.0}, {4.0, -0.5, 0.0}, {3.5, 0.45, 0.0},
              {2.0, -0.2, 0.0}, {2.5, 0.3, 0.0},  {3.0, -0.3, 0.0}, {2.0, 0.0, 0.0}};
    case TrajectoryKind::kGentleArcs: {
      // A hurried recording: mostly back and forth, turning little, the heading within 8
      // degrees of the start.
      std::vector<Manoeuvre> cycle = {{0.5, 0.0, 0.0}, {2.0, 0.2, 0.0}};
      for (const auto& arc : s_curve(-0.5, 6.0 * kDegree, 6.0)) cycle.push_back(arc);
      for (const auto& arc : s_curve(0.5, -6.0 * kDegree, 6.0)) cycle.push_back(arc);
      cycle.push_back({2.0, -0.2, 0.0});
      cycle.push_back({1.75, 0.0, 8.0 * kDegree});
      cycle.push_back({1.75, 0.0, -8.0 * kDegree});
      return cycle;
    }
    case TrajectoryKind::kTurnsAndArcs:
      break;
  }
  // Turn to both sides, close in, back off and return along S-shaped arcs, back to the start.
  std::vector<Manoeuvre> cycle = turns;
  cycle.push_back({1.75, 0.25, 0.0});
  for (const auto& arc : s_curve(-0.6, 15.0 * kDegree, 5.0)) cycle.push_back(arc);
  for (const auto& arc : s_curve(0.6, -15.0 * kDegree, 5.0)) cycle.push_back(arc);
  cycle.push_back({1.75, -0.25, 0.0});
  return cycle;
}

}  // namespace

Eigen::Isometry3d PlanarState::world_from_base() const {
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.linear() = Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  pose.translation() = Eigen::Vector3d(x, y, 0.0);
  return pose;
}

Trajectory::Trajectory(std::vector<Manoeuvre> cycle, double duration)
    : cycle_(std::move(cycle)), duration_(duration) {
  if (cycle_.empty()) throw std::invalid_argument("A trajectory needs at least one manoeuvre");
  for (const auto& manoeuvre : cycle_) {
    if (!(manoeuvre.duration > 0.0)) {
      throw std::invalid_argument("Every manoeuvre of a trajectory needs a positive duration");
    }
  }
  if (!(duration > 0.0)) throw std::invalid_argument("A trajectory needs a positive duration");
  double time = 0.0;
  PlanarState state;
  for (std::size_t i = 0; time < duration_; ++i) {
    const auto& manoeuvre = cycle_[i % cycle_.size()];
    starts_.push_back({time, state});
    time += manoeuvre.duration;
    state = advance(state, manoeuvre.distance, manoeuvre.turn);
  }
}

Trajectory Trajectory::of_kind(TrajectoryKind kind, double duration) {
  return Trajectory(cycle_of_kind(kind), duration);
}

PlanarState Trajectory::state(double time) const {
  time = std::clamp(time, 0.0, duration_);
  const auto next = std::upper_bound(starts_.begin(), starts_.end(), time,
                                     [](double t, const Start& start) { return t < start.time; });
  const std::size_t index = static_cast<std::size_t>(next - starts_.begin()) - 1;
  const Start& start = starts_[index];
  const Manoeuvre& manoeuvre = cycle_[index % cycle_.size()];
  const double tau = std::min(1.0, (time - start.time) / manoeuvre.duration);
  const double share = progress(tau);
  PlanarState state = advance(start.state, manoeuvre.distance * share, manoeuvre.turn * share);
  const double rate = progress_rate(tau) / manoeuvre.duration;
  state.speed = manoeuvre.distance * rate;
  state.yaw_rate = manoeuvre.turn * rate;
  return state;
}

}  // namespace orvalt::simulation
