#include "orvalt/common/atomic_file.hpp"

#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/file_size_limit.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::common {
namespace {

namespace fs = std::filesystem;
using orvalt::testing::read_text;
using ::testing::HasSubstr;

int entries(const fs::path& directory) {
  return static_cast<int>(std::distance(fs::directory_iterator(directory), {}));
}

TEST(AtomicFileTest, WritesAndReplacesWholeFiles) {
  testing::TempDir dir;
  const fs::path path = dir / "calibration_result.json";
  write_file_atomically(path, "first\n");
  EXPECT_EQ(read_text(path), "first\n");
  write_file_atomically(path, "second, longer\n");
  EXPECT_EQ(read_text(path), "second, longer\n");
  write_file_atomically(dir / "empty.txt", "");
  EXPECT_TRUE(fs::exists(dir / "empty.txt"));
  EXPECT_EQ(entries(dir.path()), 2);
}

TEST(AtomicFileTest, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  testing::TempDir dir;
  const fs::path path = dir / "calibration_report.json";
  write_file_atomically(path, "old\n");
  {
    const testing::FileSizeLimit limit(64);
    try {
      write_file_atomically(path, std::string(4096, 'x'));
      FAIL() << "a write past the size limit succeeded";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr("Failed to write " + path.string() + ": write: "));
    }
    EXPECT_THROW(write_file_atomically(dir / "new.json", std::string(4096, 'x')),
                 std::runtime_error);
  }
  EXPECT_EQ(read_text(path), "old\n");
  EXPECT_FALSE(fs::exists(dir / "new.json"));
  EXPECT_EQ(entries(dir.path()), 1);
}

TEST(AtomicFileTest, AMissingFolderIsAnErrorNamingThePath) {
  testing::TempDir dir;
  const fs::path path = dir / "gone" / "static_transform.txt";
  try {
    write_file_atomically(path, "text");
    FAIL() << "wrote into a missing folder";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("Failed to write " + path.string()));
    EXPECT_THAT(error.what(), HasSubstr("No such file or directory"));
  }
  EXPECT_EQ(entries(dir.path()), 0);
}

}  // namespace
}  // namespace orvalt::common
