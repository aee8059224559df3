#pragma once

#include <string>
#include <vector>

#include "bench/accuracy/accuracy_statistics.hpp"

namespace orvalt::bench {

// How the evaluation ran, for the page's opening.
struct RunFacts {
  int seeds = 0;
  int parallel = 0;
  double wall_minutes = 0.0;  // the whole evaluation
  double cpu_minutes = 0.0;   // processor time of all jobs
  int failed_jobs = 0;        // jobs that wrote no result
  std::string date;           // YYYY-MM-DD
};

// One condition's table: a row per method with its pairs, run time and, per parameter, the
// mean, standard deviation and largest magnitude of the error.
std::string condition_table(const ConditionStatistics& statistics);

// The page docs/accuracy.md: headline figures, set-up, a table and a figure per condition
// (figure_dir / <condition name>.png, relative to the page), which parameters each solver
// recovers, advice drawn from the figures, and how to reproduce them.
std::string accuracy_markdown(const std::vector<ConditionStatistics>& table, const RunFacts& facts,
                              const std::string& figure_dir);

}  // namespace orvalt::bench
