#include "bench/accuracy/accuracy_statistics.hpp"

#include <algorithm>
#include <cmath>

namespace orvalt::bench {

std::vector<ConditionStatistics> aggregate(const std::vector<JobResult>& results) {
  const std::vector<std::string> methods = method_names();
  std::vector<ConditionStatistics> table;
  for (const Condition& condition : accuracy_conditions()) {
    ConditionStatistics statistics;
    statistics.condition = condition;
    for (const std::string& method : methods) {
      statistics.methods.emplace_back();
      statistics.methods.back().method = method;
    }
    std::vector<double> simulate_seconds;
    std::vector<std::vector<double>> pairs(methods.size()), wall(methods.size()),
        cpu(methods.size()), offsets(methods.size()), refine(methods.size());
    for (const JobResult& result : results) {
      if (result.condition != condition.name) continue;
      ++statistics.recordings;
      simulate_seconds.push_back(result.simulate_seconds);
      for (const MethodOutcome& outcome : result.outcomes) {
        const auto found = std::find(methods.begin(), methods.end(), outcome.method);
        if (found == methods.end()) continue;
        const auto index = static_cast<std::size_t>(found - methods.begin());
        MethodStatistics& method = statistics.methods[index];
        ++method.runs;
        pairs[index].push_back(outcome.pairs);
        wall[index].push_back(outcome.wall_seconds);
        cpu[index].push_back(outcome.cpu_seconds);
        if (!outcome.ok) {
          if (method.failures++ == 0) method.first_error = outcome.error;
          continue;
        }
        for (std::size_t p = 0; p < outcome.errors.size(); ++p) {
          const bool undetermined =
              std::find(outcome.undetermined.begin(), outcome.undetermined.end(),
                        kParameterNames[p]) != outcome.undetermined.end();
          if (undetermined) {
            ++method.undetermined[p];
          } else {
            method.errors[p].push_back(outcome.errors[p]);
          }
        }
        if (std::isfinite(outcome.time_offset_error_ms)) {
          offsets[index].push_back(outcome.time_offset_error_ms);
        }
        if (std::isfinite(outcome.refine_seconds)) refine[index].push_back(outcome.refine_seconds);
      }
    }
    if (statistics.recordings == 0) continue;
    statistics.simulate_seconds = summarise(simulate_seconds);
    for (std::size_t index = 0; index < methods.size(); ++index) {
      MethodStatistics& method = statistics.methods[index];
      for (std::size_t p = 0; p < method.errors.size(); ++p) {
        method.parameters[p] = summarise(method.errors[p]);
      }
      method.pairs = summarise(pairs[index]);
      method.wall_seconds = summarise(wall[index]);
      method.cpu_seconds = summarise(cpu[index]);
      method.time_offset_error_ms = summarise(offsets[index]);
      method.refine_seconds = summarise(refine[index]);
    }
    table.push_back(std::move(statistics));
  }
  return table;
}

bool recovers(const MethodStatistics& method, std::size_t parameter) {
  const double limit = parameter < 3 ? kRecoveredDegrees : kRecoveredMillimetres;
  return method.runs > 0 && method.failures == 0 && method.parameters[parameter].max_abs <= limit;
}

}  // namespace orvalt::bench
