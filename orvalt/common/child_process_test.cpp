#include "orvalt/common/child_process.hpp"

#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::common {
namespace {

namespace fs = std::filesystem;
using orvalt::testing::read_text;
using ::testing::HasSubstr;

ChildCommand shell(const std::string& script, const fs::path& output) {
  return {{"/bin/sh", "-c", script, "sh"}, output, {}, {}};
}

TEST(ChildProcessTest, ArgumentsArriveExactlyAsGiven) {
  const orvalt::testing::TempDir dir;
  // Each argument on its own line: spaces, quotes and shell characters stay inside their word.
  ChildCommand command = shell("printf '%s\\n' \"$@\"", dir / "out.txt");
  command.arguments.insert(command.arguments.end(),
                           {"with space", "it's", "\"quoted\"", "$HOME;", "*", ""});
  const ChildExit exit = run_child(command);
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(read_text(dir / "out.txt"), "with space\nit's\n\"quoted\"\n$HOME;\n*\n\n");
}

TEST(ChildProcessTest, StatusesAreThoseAShellReports) {
  const orvalt::testing::TempDir dir;
  EXPECT_EQ(run_child(shell("exit 3", dir / "log")).status, 3);
  EXPECT_EQ(run_child(shell("kill -9 $$", dir / "log")).status, 128 + 9);
}

TEST(ChildProcessTest, ErrorsGoWithTheOutputOrApart) {
  const orvalt::testing::TempDir dir;
  ChildCommand command = shell("echo out; echo err >&2", dir / "both.txt");
  run_child(command);
  EXPECT_EQ(read_text(dir / "both.txt"), "out\nerr\n");
  command.output = dir / "out.txt";
  command.errors = dir / "err.txt";
  run_child(command);
  EXPECT_EQ(read_text(dir / "out.txt"), "out\n");
  EXPECT_EQ(read_text(dir / "err.txt"), "err\n");
}

TEST(ChildProcessTest, RunsInTheWorkingDirectoryWithRelativeOutputThere) {
  const orvalt::testing::TempDir dir;
  fs::create_directories(dir / "in here");
  ChildCommand command = shell("pwd", "pwd.txt");
  command.working_dir = dir / "in here";
  EXPECT_EQ(run_child(command).status, 0);
  EXPECT_EQ(read_text(dir / "in here" / "pwd.txt"), fs::canonical(dir / "in here").string() + "\n");
}

TEST(ChildProcessTest, AProgramThatCannotStartThrowsNamingIt) {
  const orvalt::testing::TempDir dir;
  EXPECT_THAT(
      [&] {
        start_child({{(dir / "absent").string()}, {}, {}, {}});
      },
      ::testing::ThrowsMessage<std::runtime_error>(HasSubstr((dir / "absent").string())));
  EXPECT_THROW(start_child(shell("true", dir / "no" / "such" / "folder" / "log")),
               std::runtime_error);
  EXPECT_THROW(start_child({}), std::invalid_argument);
}

TEST(ChildProcessTest, WaitingForAnyChildNamesTheOneThatEnded) {
  const orvalt::testing::TempDir dir;
  const pid_t child = start_child(shell("exit 5", dir / "log"));
  const ChildExit exit = wait_child(-1);
  EXPECT_EQ(exit.pid, child);
  EXPECT_EQ(exit.status, 5);
  EXPECT_THROW(wait_child(-1), std::runtime_error);
}

}  // namespace
}  // namespace orvalt::common
