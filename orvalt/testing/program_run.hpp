#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace orvalt::testing {

// How a built program ended: its exit status and what it wrote.
struct ProgramRun {
  int status = -1;
  std::string output;  // standard output, with standard error unless kept apart
  std::string errors;  // standard error, when kept apart
};

struct ProgramOptions {
  std::filesystem::path working_dir;  // empty: the test's
  bool separate_errors = false;
};

// Runs the built program `name` (from program_dir()) as a user would, each argument handed over
// exactly as given (no shell, so no quoting), and waits for it:
//   const ProgramRun run = run_program("bag_info", {bag.string()});
//   EXPECT_EQ(run.status, 0) << run.output;
ProgramRun run_program(const std::string& name, const std::vector<std::string>& arguments,
                       const ProgramOptions& options = {});

}  // namespace orvalt::testing
