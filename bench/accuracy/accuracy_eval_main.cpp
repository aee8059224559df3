// accuracy_eval: calibrates many simulated recordings, with the calibration program's pipeline
// and with the standard hand-eye solvers, and writes the errors against the ground truth to
// docs/accuracy.md with a figure per condition.

#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "bench/accuracy/accuracy_job.hpp"
#include "bench/accuracy/accuracy_plot.hpp"
#include "bench/accuracy/accuracy_report.hpp"
#include "bench/accuracy/process_pool.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/common/progress_bar.hpp"

namespace {

namespace fs = std::filesystem;
using namespace orvalt::bench;

auto log() { return orvalt::common::logger("orvalt.bench.accuracy"); }

std::string job_name(const std::string& condition, int seed) {
  return condition + "_" + std::to_string(seed);
}

// "CONDITION:SEED" of --job.
std::pair<std::string, int> parse_job(const std::string& job) {
  const auto colon = job.rfind(':');
  if (colon == std::string::npos) {
    throw std::invalid_argument("--job needs CONDITION:SEED, got " + job);
  }
  return {job.substr(0, colon), std::stoi(job.substr(colon + 1))};
}

int run_one(const std::string& job, const fs::path& work_dir) {
  const auto [condition, seed] = parse_job(job);
  const JobResult result =
      run_job(find_condition(condition), static_cast<std::uint64_t>(seed), work_dir / "recordings");
  write_job_result(work_dir / "results" / (job_name(condition, seed) + ".json"), result);
  return 0;
}

double children_cpu_minutes() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto seconds = [](const timeval& value) {
    return static_cast<double>(value.tv_sec) + 1e-6 * static_cast<double>(value.tv_usec);
  };
  return (seconds(usage.ru_utime) + seconds(usage.ru_stime)) / 60.0;
}

std::string today() {
  const std::time_t now = std::time(nullptr);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&now));
  return text;
}

// Runs every job as a child process of this program, `parallel` at a time.
RunFacts run_all(const std::vector<std::string>& conditions, int seeds, int parallel,
                 const fs::path& work_dir) {
  for (const char* folder : {"results", "logs", "recordings"}) {
    fs::remove_all(work_dir / folder);
    fs::create_directories(work_dir / folder);
  }
  const std::string program = fs::read_symlink("/proc/self/exe").string();
  std::vector<orvalt::common::ChildCommand> commands;
  for (const std::string& condition : conditions) {
    for (int seed = 1; seed <= seeds; ++seed) {
      const std::string job = condition + ":" + std::to_string(seed);
      orvalt::common::ChildCommand command;
      command.arguments = {program, "--job", job, "--work_dir", work_dir.string()};
      command.output = work_dir / "logs" / (job_name(condition, seed) + ".log");
      commands.push_back(command);
    }
  }
  const auto start = std::chrono::steady_clock::now();
  RunFacts facts;
  orvalt::common::ProgressBar progress("Recordings", commands.size());
  run_commands(commands, parallel, [&](std::size_t index, int status) {
    progress.update();
    if (status != 0) {
      ++facts.failed_jobs;
      log()->warn("{} ended with status {}, see {}", commands[index].arguments[2], status,
                  commands[index].output.string());
    }
  });
  progress.finish();
  facts.seeds = seeds;
  facts.parallel = parallel;
  facts.wall_minutes =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 60.0;
  facts.cpu_minutes = children_cpu_minutes();
  facts.date = today();
  const nlohmann::json record = {{"seeds", facts.seeds},
                                 {"parallel", facts.parallel},
                                 {"wall_minutes", facts.wall_minutes},
                                 {"cpu_minutes", facts.cpu_minutes},
                                 {"failed_jobs", facts.failed_jobs},
                                 {"date", facts.date}};
  std::ofstream(work_dir / "run.json") << record.dump(2) << '\n';
  return facts;
}

RunFacts read_run_facts(const fs::path& work_dir) {
  std::ifstream file(work_dir / "run.json");
  if (!file) throw std::runtime_error("No finished run in " + work_dir.string());
  const nlohmann::json record = nlohmann::json::parse(file);
  RunFacts facts;
  facts.seeds = record.at("seeds");
  facts.parallel = record.at("parallel");
  facts.wall_minutes = record.at("wall_minutes");
  facts.cpu_minutes = record.at("cpu_minutes");
  facts.failed_jobs = record.at("failed_jobs");
  facts.date = record.at("date");
  return facts;
}

// The results of the run in work_dir, by condition and seed.
std::vector<JobResult> read_results(const fs::path& work_dir, int seeds) {
  std::vector<JobResult> results;
  for (const Condition& condition : accuracy_conditions()) {
    for (int seed = 1; seed <= seeds; ++seed) {
      const fs::path path = work_dir / "results" / (job_name(condition.name, seed) + ".json");
      if (fs::exists(path)) results.push_back(read_job_result(path));
    }
  }
  return results;
}

void write_report(const fs::path& work_dir, const fs::path& docs_dir, const RunFacts& facts) {
  const std::vector<ConditionStatistics> table = aggregate(read_results(work_dir, facts.seeds));
  if (table.empty()) throw std::runtime_error("No job results in " + work_dir.string());
  const std::string figure_dir = "accuracy";
  fs::create_directories(docs_dir / figure_dir);
  for (const ConditionStatistics& statistics : table) {
    plot_condition(
        docs_dir / figure_dir / (statistics.condition.name + ".png"), statistics,
        noise_label(statistics.condition.noise) + ", " + motion_label(statistics.condition.motion));
  }
  const std::string page = accuracy_markdown(table, facts, figure_dir);
  std::ofstream file(docs_dir / "accuracy.md", std::ios::binary | std::ios::trunc);
  file << page;
  if (!file.flush())
    throw std::runtime_error("Failed to write " + (docs_dir / "accuracy.md").string());
  std::cout << page;
  log()->info("Wrote {} and its figures in {}", (docs_dir / "accuracy.md").string(),
              (docs_dir / figure_dir).string());
}

}  // namespace

int main(int argc, char** argv) {
  std::string work_dir = "build/accuracy";
  std::string docs_dir = "docs";
  int seeds = 20;
  int jobs = 2;
  std::vector<std::string> conditions;
  for (const Condition& condition : accuracy_conditions()) conditions.push_back(condition.name);
  std::string stage = "all";
  std::string job;
  orvalt::common::ArgumentParser parser(
      "accuracy_eval",
      "Calibrate many simulated recordings with the calibration pipeline and with the standard "
      "hand-eye solvers, and write the errors against the ground truth to DOCS_DIR/accuracy.md");
  parser.add_option("--work_dir", &work_dir,
                    "Folder for recordings, logs and results (default: build/accuracy)");
  parser.add_option("--docs_dir", &docs_dir,
                    "Folder that receives accuracy.md and accuracy/*.png (default: docs)");
  parser.add_option("--seeds", &seeds, "Recordings per condition, seeds 1 to N (default: 20)");
  parser.add_option("--jobs", &jobs, "Recordings processed at a time (default: 2)");
  parser.add_option("--conditions", &conditions,
                    "Conditions to run (default: all of exact_default_motion "
                    "default_noise_default_motion double_noise_default_motion "
                    "default_noise_short_turn_poor default_noise_long_motion)");
  parser.add_option("--stage", &stage,
                    "all: run every recording, then write the report; report: write the report "
                    "from the results of the last run (default: all)");
  parser.add_option("--job", &job,
                    "Run one recording CONDITION:SEED and store its result in WORK_DIR/results "
                    "(what the parallel runs call)");
  parser.parse_or_exit(argc, argv);

  orvalt::common::configure_console_logging(job.empty() ? spdlog::level::info
                                                        : spdlog::level::warn);
  try {
    if (!job.empty()) return run_one(job, work_dir);
    for (const std::string& condition : conditions) find_condition(condition);
    if (seeds < 1 || jobs < 1) throw std::invalid_argument("--seeds and --jobs must be positive");
    if (stage != "all" && stage != "report") {
      throw std::invalid_argument("--stage must be all or report, got " + stage);
    }
    const RunFacts facts =
        stage == "all" ? run_all(conditions, seeds, jobs, work_dir) : read_run_facts(work_dir);
    write_report(work_dir, docs_dir, facts);
  } catch (const std::exception& error) {
    log()->error("{}", error.what());
    return 1;
  }
  return 0;
}
