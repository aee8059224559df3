#include "bench/accuracy/accuracy_report.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "orvalt/common/angles.hpp"

namespace orvalt::bench {
namespace {

// Indices into ConditionStatistics::methods, in method_names() order.
constexpr std::size_t kDefaults = 0;
constexpr std::size_t kFreeSetting = 1;
constexpr std::size_t kFirstSolver = 2;

constexpr std::size_t kRz = 2, kTx = 3, kTy = 4, kTz = 5;

// "rx, ry, rz deg; tx, ty, tz mm" of a six-vector in radians (or degrees) and metres.
std::string mounting_text(const std::vector<double>& vec6, bool radians = true) {
  const double to_degrees = radians ? common::rad_to_deg(1.0) : 1.0;
  return fmt::format("{:g}, {:g}, {:g} degrees; {:g}, {:g}, {:g} mm", vec6[0] * to_degrees,
                     vec6[1] * to_degrees, vec6[2] * to_degrees, vec6[3] * 1000.0, vec6[4] * 1000.0,
                     vec6[5] * 1000.0);
}

// The ids of the simulated board, as a --target_ids value.
std::string board_ids_text() {
  const calibration::RunSettings settings =
      run_settings(calibration_settings().back(), simulation::BoardLayout(), "", "");
  return fmt::format("{}", fmt::join(settings.target_ids, " "));
}

std::string condition_title(const Condition& condition) {
  return noise_label(condition.noise) + ", " + motion_label(condition.motion);
}

std::string number(double value, std::size_t parameter) {
  return parameter < 3 ? fmt::format("{:.3f}", value) : fmt::format("{:.2f}", value);
}

std::string signed_number(double value, std::size_t parameter) {
  return parameter < 3 ? fmt::format("{:+.3f}", value) : fmt::format("{:+.2f}", value);
}

std::string cell(const MethodStatistics& method, std::size_t parameter) {
  const ErrorSummary& summary = method.parameters[parameter];
  if (summary.count == 0) return "—";
  return fmt::format("{} ± {} ({})", signed_number(summary.mean, parameter),
                     number(summary.stddev, parameter), number(summary.max_abs, parameter));
}

std::string setting_name(const ConditionStatistics& statistics, std::size_t method) {
  return "`" + statistics.methods[method].method + "`";
}

const ConditionStatistics* find(const std::vector<ConditionStatistics>& table,
                                const std::string& name) {
  for (const ConditionStatistics& statistics : table) {
    if (statistics.condition.name == name) return &statistics;
  }
  return nullptr;
}

double largest(const MethodStatistics& method, std::initializer_list<std::size_t> parameters) {
  double value = 0.0;
  for (std::size_t parameter : parameters) {
    value = std::max(value, method.parameters[parameter].max_abs);
  }
  return value;
}

std::string parameter_list(const std::vector<std::size_t>& parameters) {
  std::string text;
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (i > 0) text += i + 1 == parameters.size() ? " and " : ", ";
    text += kParameterNames[parameters[i]];
  }
  return text.empty() ? "none" : text;
}

std::string headline(const ConditionStatistics& statistics) {
  std::string text = fmt::format(
      "Largest error over {} recordings of {} (degrees, millimetres):\n\n"
      "| setting | rx | ry | rz | tx | ty | tz | pairs | run time, CPU |\n"
      "|---|---|---|---|---|---|---|---|---|\n",
      statistics.recordings, condition_title(statistics.condition));
  for (std::size_t m = kDefaults; m < kFirstSolver; ++m) {
    const MethodStatistics& method = statistics.methods[m];
    text += "| " + setting_name(statistics, m);
    for (std::size_t p = 0; p < kParameterNames.size(); ++p) {
      text += " | " + number(method.parameters[p].max_abs, p);
    }
    text += fmt::format(" | {:.0f} | {:.1f} s, {:.1f} s |\n", method.pairs.mean,
                        method.wall_seconds.mean, method.cpu_seconds.mean);
  }
  return text;
}

std::string observability(const std::vector<ConditionStatistics>& table) {
  std::string text =
      "## What each solver recovers on planar motion\n\n"
      "A robot on a floor turns only about the vertical axis. `solve_axxb_linear` and OpenCV's "
      "methods see only the motion pairs; the calibration program also sees the ground planes "
      "and keeps a prior on tx and ty. A parameter counts as recovered below when every run "
      "gave a result and its error stayed within " +
      fmt::format("{:g} degree and {:g} mm", kRecoveredDegrees, kRecoveredMillimetres) +
      " (cells: largest error).\n\n";
  for (const char* name : {"exact_default_motion", "default_noise_default_motion"}) {
    const ConditionStatistics* statistics = find(table, name);
    if (statistics == nullptr) continue;
    text += "**" + condition_title(statistics->condition) + "**\n\n";
    text += "| method | rx | ry | rz | tx | ty | tz | failed runs |\n";
    text += "|---|---|---|---|---|---|---|---|\n";
    for (const MethodStatistics& method : statistics->methods) {
      text += "| " + method.method;
      for (std::size_t p = 0; p < kParameterNames.size(); ++p) {
        if (method.parameters[p].count == 0) {
          text += " | —";
        } else {
          text += fmt::format(" | {} ({})", recovers(method, p) ? "yes" : "no",
                              number(method.parameters[p].max_abs, p));
        }
      }
      text += fmt::format(" | {} of {} |\n", method.failures, method.runs);
    }
    text += "\n";
  }

  const ConditionStatistics* exact = find(table, "exact_default_motion");
  if (exact == nullptr) return text;
  text += "From the exact recordings:\n\n";
  for (std::size_t m = kFirstSolver; m < exact->methods.size(); ++m) {
    const MethodStatistics& method = exact->methods[m];
    if (method.failures == method.runs) {
      text += fmt::format("- {} gave no result in any of the {} runs: \"{}\".\n", method.method,
                          method.runs, method.first_error);
      continue;
    }
    std::vector<std::size_t> recovered, missed;
    for (std::size_t p = 0; p < kParameterNames.size(); ++p) {
      (recovers(method, p) ? recovered : missed).push_back(p);
    }
    std::string line = fmt::format("- {} recovers {}", method.method, parameter_list(recovered));
    if (!missed.empty()) {
      line += "; not " + parameter_list(missed) + " (largest errors";
      for (std::size_t p : missed) {
        line += fmt::format(" {} {} {}", kParameterNames[p],
                            number(method.parameters[p].max_abs, p), parameter_unit(p));
      }
      line += ")";
    }
    if (method.failures > 0) {
      line += fmt::format("; {} of {} runs failed (\"{}\")", method.failures, method.runs,
                          method.first_error);
    }
    text += line + ".\n";
  }
  const MethodStatistics& linear = exact->methods[kFirstSolver];
  const MethodStatistics& program = exact->methods[kDefaults];
  text += fmt::format(
      "\nThe height tz shows planar motion most plainly: every rotation axis is vertical, so "
      "the translation equations (R_A - I) t_X = R_X t_B - t_A have no vertical row, and even on "
      "exact data `solve_axxb_linear` is off by {:.1f} mm on average (it returns the "
      "minimum-norm height). The calibration program takes tz from the ground planes instead: "
      "largest error {:.2f} mm.",
      std::abs(linear.parameters[kTz].mean), program.parameters[kTz].max_abs);
  std::vector<std::string> yaw_blind;
  for (std::size_t m = kFirstSolver; m < exact->methods.size(); ++m) {
    const MethodStatistics& method = exact->methods[m];
    if (method.failures < method.runs && !recovers(method, kRz)) yaw_blind.push_back(method.method);
  }
  if (!yaw_blind.empty()) {
    std::string names;
    for (std::size_t i = 0; i < yaw_blind.size(); ++i) {
      names += (i == 0 ? "" : i + 1 == yaw_blind.size() ? " and " : ", ") + yaw_blind[i];
    }
    text += " The rotation about the vertical axis, rz, is the other gap: " + names +
            " miss it even on exact data, since with one rotation axis the rotations fix only "
            "the camera's tilt; tx and ty then go wrong with rz.";
  }
  text += "\n\n";
  return text;
}

std::string advice(const std::vector<ConditionStatistics>& table) {
  const ConditionStatistics* base = find(table, "default_noise_default_motion");
  if (base == nullptr) return "";
  std::string text = "## Advice for recordings and settings\n\n";
  const std::string defaults = setting_name(*base, kDefaults);
  const std::string free_setting = setting_name(*base, kFreeSetting);
  const MotionFacts base_motion = motion_facts(base->condition.motion);

  if (const ConditionStatistics* poor = find(table, "default_noise_short_turn_poor")) {
    const MotionFacts poor_motion = motion_facts(poor->condition.motion);
    const double base_yaw = base->methods[kFreeSetting].parameters[kRz].max_abs;
    const double poor_yaw = poor->methods[kFreeSetting].parameters[kRz].max_abs;
    const double base_xy = largest(base->methods[kFreeSetting], {kTx, kTy});
    const double poor_xy = largest(poor->methods[kFreeSetting], {kTx, kTy});
    text += fmt::format(
        "- **Turn the robot.** The short gentle recording ({:.0f} s, heading within a span of "
        "{:.0f} degrees) gave yaw errors up to {:.2f} degrees with {} and {:.2f} with {}; the "
        "default drive ({:.0f} s, a span of {:.0f} degrees) kept them within {:.2f} and {:.2f}. "
        "With {}, tx and ty errors reached {:.1f} mm against {:.1f} mm. ",
        poor_motion.duration, poor_motion.yaw_span,
        poor->methods[kDefaults].parameters[kRz].max_abs, defaults, poor_yaw, free_setting,
        base_motion.duration, base_motion.yaw_span,
        base->methods[kDefaults].parameters[kRz].max_abs, base_yaw, free_setting, poor_xy, base_xy);
    const bool yaw_worse = poor_yaw > 1.5 * base_yaw;
    const bool xy_worse = poor_xy > 1.5 * base_xy;
    if (yaw_worse || xy_worse) {
      text += fmt::format(
          "Too little turning cost {} (the gentle recording is also half as long; the next point "
          "shows what length alone does). Turn in place by about {:.0f} degrees to each side, "
          "both ways, as the default drive does.\n",
          yaw_worse && xy_worse ? "yaw and the horizontal offset"
          : yaw_worse           ? "yaw"
                                : "the horizontal offset (tx, ty)",
          base_motion.yaw_span / 2);
    } else {
      text +=
          "Even little turning determined yaw and the horizontal offset here, but turning both "
          "ways costs nothing and guards against it.\n";
    }
  }

  if (const ConditionStatistics* longer = find(table, "default_noise_long_motion")) {
    const MotionFacts long_motion = motion_facts(longer->condition.motion);
    const MethodStatistics& short_run = base->methods[kFreeSetting];
    const MethodStatistics& long_run = longer->methods[kFreeSetting];
    const double base_spread = short_run.parameters[kRz].stddev;
    const double long_spread = long_run.parameters[kRz].stddev;
    const double base_xy = largest(short_run, {kTx, kTy});
    const double long_xy = largest(long_run, {kTx, kTy});
    text += fmt::format(
        "- **Record long enough.** Going from {:.0f} s to {:.0f} s of the same drive changed "
        "the spread (standard deviation) of the yaw error with {} from {:.3f} to {:.3f} "
        "degrees and the largest tx or ty error from {:.1f} to {:.1f} mm; with {} the largest "
        "yaw error went from {:.3f} to {:.3f} degrees. ",
        base_motion.duration, long_motion.duration, free_setting, base_spread, long_spread, base_xy,
        long_xy, defaults, base->methods[kDefaults].parameters[kRz].max_abs,
        longer->methods[kDefaults].parameters[kRz].max_abs);
    text += long_spread < 0.8 * base_spread || long_xy < 0.8 * base_xy
                ? fmt::format(
                      "A longer recording pays: drive the cycle at least twice ({:.0f} s "
                      "or more).\n",
                      long_motion.duration)
                : fmt::format("One {:.0f} s cycle is enough; a longer recording changed little.\n",
                              base_motion.duration);
  }

  const MethodStatistics& held = base->methods[kDefaults];
  const MethodStatistics& freed = base->methods[kFreeSetting];
  const bool prior_holds = held.parameters[kTx].stddev < 1.0 && held.parameters[kTy].stddev < 1.0;
  text += fmt::format(
      "- **Choose the settings.** With {}, tx and ty came out at {:+.1f} ± {:.1f} mm and "
      "{:+.1f} ± {:.1f} mm from the truth; with {}, at {:+.1f} ± {:.1f} mm and {:+.1f} ± {:.1f} "
      "mm. ",
      defaults, held.parameters[kTx].mean, held.parameters[kTx].stddev, held.parameters[kTy].mean,
      held.parameters[kTy].stddev, free_setting, freed.parameters[kTx].mean,
      freed.parameters[kTx].stddev, freed.parameters[kTy].mean, freed.parameters[kTy].stddev);
  if (prior_holds) {
    text +=
        "The defaults do not measure tx and ty: the horizontal prior keeps them at the initial "
        "value (`--init_extrinsics`), and the error is simply how far that value is from the "
        "truth. Keep the defaults when you have measured the mounting; ";
  }
  text += largest(freed, {kTx, kTy}) < largest(held, {kTx, kTy})
              ? fmt::format(
                    "{} found tx and ty within {:.1f} mm in every run, so use it when the "
                    "mounting is not known to better than that, after a recording that "
                    "turns well.\n",
                    free_setting, largest(freed, {kTx, kTy}))
              : fmt::format("{} did no better on tx and ty here (largest error {:.1f} mm).\n",
                            free_setting, largest(freed, {kTx, kTy}));
  text += fmt::format(
      "  The height comes from the ground planes in both settings (largest error {:.2f} mm with "
      "{}). Roll and pitch come mostly from the motions: the crop box (`--pc_crop_region`) "
      "leaves a strip of floor 10 cm deep and 20 cm wide, over which tilting the camera lifts "
      "the floor almost as moving it down does, so once the height may follow, the floor holds "
      "pitch about a tenth as firmly as the motions at this frame rate, and roll 0.6 times as "
      "firmly (the log's curvatures \"with the others free\"). Their errors (largest {:.3f} and "
      "{:.3f} degrees with {}) therefore shrink with better odometry and more turning, like "
      "yaw's, which needs the motions alone (largest error {:.3f} degrees with {}, {:.3f} with "
      "{}).\n",
      held.parameters[kTz].max_abs, defaults, held.parameters[0].max_abs,
      held.parameters[1].max_abs, defaults, held.parameters[kRz].max_abs, defaults,
      freed.parameters[kRz].max_abs, free_setting);

  const ConditionStatistics* exact = find(table, "exact_default_motion");
  const ConditionStatistics* noisy = find(table, "double_noise_default_motion");
  if (exact != nullptr && noisy != nullptr) {
    const auto worst_angle = [](const ConditionStatistics& statistics, std::size_t m) {
      return largest(statistics.methods[m], {0, 1, kRz});
    };
    const auto worst_offset = [](const ConditionStatistics& statistics, std::size_t m) {
      return largest(statistics.methods[m], {kTx, kTy, kTz});
    };
    text += fmt::format(
        "- **Sensor quality.** With {}, the largest angle error was {:.3f} degrees on exact data, "
        "{:.3f} at the default noise and {:.3f} at twice the noise; the largest translation "
        "error {:.2f}, {:.2f} and {:.2f} mm. Exact data shows what the method itself leaves; a "
        "better camera or odometry buys the rest.\n",
        free_setting, worst_angle(*exact, kFreeSetting), worst_angle(*base, kFreeSetting),
        worst_angle(*noisy, kFreeSetting), worst_offset(*exact, kFreeSetting),
        worst_offset(*base, kFreeSetting), worst_offset(*noisy, kFreeSetting));
  }
  return text + "\n";
}

}  // namespace

std::string condition_table(const ConditionStatistics& statistics) {
  std::string text =
      "| method | pairs | run time, CPU (s) | rx (deg) | ry (deg) | rz (deg) | tx (mm) | ty (mm) "
      "| tz (mm) |\n|---|---|---|---|---|---|---|---|---|\n";
  for (const MethodStatistics& method : statistics.methods) {
    text += fmt::format("| {} | {:.0f} | {:.2f}, {:.2f} |", method.method, method.pairs.mean,
                        method.wall_seconds.mean, method.cpu_seconds.mean);
    for (std::size_t p = 0; p < kParameterNames.size(); ++p) text += " " + cell(method, p) + " |";
    text += "\n";
  }
  return text;
}

std::string accuracy_markdown(const std::vector<ConditionStatistics>& table, const RunFacts& facts,
                              const std::string& figure_dir) {
  std::string text =
      "# Calibration accuracy on simulated recordings\n\n"
      "Written by `accuracy_eval` (`make accuracy`); the figures below are from its last full "
      "run" +
      fmt::format(
          " on {} ({} recordings per condition, {} at a time: {:.1f} minutes, {:.1f} minutes of "
          "processor time{}).\n\n",
          facts.date, facts.seeds, facts.parallel, facts.wall_minutes, facts.cpu_minutes,
          facts.failed_jobs > 0 ? fmt::format("; {} jobs wrote no result", facts.failed_jobs) : "");
  if (const ConditionStatistics* base = find(table, "default_noise_default_motion")) {
    text += "## Headline\n\n" + headline(*base) + "\n";
  }

  text += fmt::format(
      "## Set-up\n\n"
      "Each recording is a `simulate_recording` bag with its ground truth: the default scene "
      "(a 2 x 5 AprilGrid of 0.15 m tags 1 m ahead), the default true mounting ({}) and the "
      "calibration's default initial value ({}), colour, "
      "depth and clouds at {:g} Hz instead of the simulator's {:g} Hz, so that the evaluation "
      "fits in 20 minutes (consecutive frames are {:.2g} times as far apart). Seeds 1 to {} are "
      "used "
      "for every condition, so conditions differ only in what they vary. Conditions vary one "
      "thing at a time from the default recording:\n\n"
      "| condition | noise | drive | length | heading span | driven | turned |\n"
      "|---|---|---|---|---|---|---|\n",
      mounting_text(simulation::SimulationOptions().extrinsic),
      mounting_text(calibration::RunSettings().init_extrinsics, false), camera_rate(),
      simulation::SimulationOptions().camera_rate,
      simulation::SimulationOptions().camera_rate / camera_rate(), facts.seeds);
  for (const ConditionStatistics& statistics : table) {
    const MotionFacts motion = motion_facts(statistics.condition.motion);
    text += fmt::format("| {} | {} | {} | {:.0f} s | {:.0f} deg | {:.1f} m | {:.0f} deg |\n",
                        statistics.condition.name, noise_label(statistics.condition.noise),
                        motion_label(statistics.condition.motion), motion.duration, motion.yaw_span,
                        motion.path, motion.turned);
  }
  text +=
      "\nTwice the default noise doubles every noise amount of the simulator: image noise and "
      "blur, exposure changes, depth noise, edge holes and dropouts, and every odometry error.\n\n"
      "Methods, each on every recording:\n\n"
      "- `varnholt, defaults`: the calibration program's pipeline (`CameraBaseCalibrator`, the "
      "same code the `varnholt` program runs) with its default options.\n"
      "- `varnholt, w_xy 0, all ids`: the same with the horizontal prior switched off "
      "(`--w_xy 0`) and every tag of the board as target (`--target_ids " +
      board_ids_text() +
      "`).\n"
      "- `solve_axxb_linear` (ours) and OpenCV's `cv::calibrateHandEye` with the methods Tsai, "
      "Park, Horaud, Andreff and Daniilidis, on the motion pairs the default run accepted. "
      "OpenCV takes station poses (gripper to base, target to camera) and forms a motion from "
      "every two stations; the pairs are chained into stations so that consecutive stations "
      "differ by exactly one pair (robot base as gripper, odometry frame as base, board as "
      "target). A unit test checks on exact synthetic pairs that every method recovers X "
      "through this conversion.\n\n"
      "Errors are estimate minus truth per parameter of the six-vector (rx, ry, rz in degrees, "
      "tx, ty, tz in millimetres). Cells read mean ± standard deviation (largest magnitude); "
      "pairs are the motion pairs accepted (for the solvers: given, as a mean over the "
      "recordings); run time is the mean wall time of one calibration with another running "
      "beside it, and CPU its processor time over all threads. A recording at the default rate "
      "has " +
      fmt::format("{:.2g}", simulation::SimulationOptions().camera_rate / camera_rate()) +
      " times the frames and takes about as many times as long.\n\n"
      "## Results per condition\n\n";
  for (const ConditionStatistics& statistics : table) {
    text += "### " + condition_title(statistics.condition) + "\n\n";
    text += fmt::format("{} recordings; simulating one took {:.1f} s.\n\n", statistics.recordings,
                        statistics.simulate_seconds.mean);
    text += condition_table(statistics) + "\n";
    for (const MethodStatistics& method : statistics.methods) {
      if (method.failures == 0) continue;
      text += fmt::format("{} failed in {} of {} runs: \"{}\".\n\n", method.method, method.failures,
                          method.runs, method.first_error);
    }
    text +=
        fmt::format("![Error distributions, {}]({}/{}.png)\n\n",
                    condition_title(statistics.condition), figure_dir, statistics.condition.name);
  }
  text += observability(table);
  text += advice(table);
  text +=
      "## Reproduce\n\n"
      "```\nmake accuracy\n```\n\n"
      "builds the project, runs `scripts/run-accuracy build`, which runs `build/bin/accuracy_eval` "
      "(every condition, 20 seeds, two recordings at a time) and rewrites this page and its "
      "figures in `docs/`. `accuracy_eval --help` lists the options (fewer seeds, some "
      "conditions, another output directory); `accuracy_eval --stage report` rewrites the page "
      "from the results of the last run. The same seeds give the same recordings, so a rerun "
      "reproduces the errors; run times depend on the machine.\n";
  return text;
}

}  // namespace orvalt::bench
