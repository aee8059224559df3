#include "orvalt/testing/program_run.hpp"

#include "orvalt/common/child_process.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::testing {

ProgramRun run_program(const std::string& name, const std::vector<std::string>& arguments,
                       const ProgramOptions& options) {
  const TempDir logs("orvalt_program_run");
  common::ChildCommand command;
  command.arguments.push_back((program_dir() / name).string());
  command.arguments.insert(command.arguments.end(), arguments.begin(), arguments.end());
  command.output = logs / "output.txt";
  if (options.separate_errors) command.errors = logs / "errors.txt";
  command.working_dir = options.working_dir;
  const common::ChildExit exit = common::run_child(command);
  return {exit.status, read_text(command.output),
          options.separate_errors ? read_text(command.errors) : std::string()};
}

}  // namespace orvalt::testing
