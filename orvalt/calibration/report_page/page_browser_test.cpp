// Opens the calibration page in headless Chromium, as a person would, and checks what the
// browser made of it.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/calibration/report_page/page_test_input.hpp"
#include "orvalt/calibration/report_page/report_page.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

namespace fs = std::filesystem;
// Says what is missing without printing the page, which runs to hundreds of kilobytes.
::testing::AssertionResult contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no \"" << part << "\"";
}

std::optional<fs::path> find_chromium() {
  const char* path = std::getenv("PATH");
  std::istringstream directories(path ? path : "");
  std::string directory;
  while (std::getline(directories, directory, ':')) {
    for (const char* name : {"chromium", "chromium-browser"}) {
      const fs::path candidate = fs::path(directory) / name;
      if (fs::exists(candidate)) return candidate;
    }
  }
  return std::nullopt;
}

std::string read(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// Every "url" a network log names.
std::vector<std::string> requested_urls(const std::string& net_log) {
  static const std::string kKey = "\"url\":\"";
  std::vector<std::string> urls;
  for (auto at = net_log.find(kKey); at != std::string::npos; at = net_log.find(kKey, at + 1)) {
    const std::size_t begin = at + kKey.size();
    urls.push_back(net_log.substr(begin, net_log.find('"', begin) - begin));
  }
  return urls;
}

// Chromium calls its update, time and account services by itself, whatever it shows.
bool is_browser_service(const std::string& url) {
  const std::regex service(R"(^https?://[a-z0-9.]*(google\.com|googleapis\.com|gstatic\.com)/.*)");
  return std::regex_match(url, service);
}

class PageBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chromium_ = find_chromium();
    if (!chromium_) {
      GTEST_SKIP() << "Chromium is not installed (Debian package chromium): the calibration "
                      "page is not checked in a browser";
    }
  }

  // Runs the headless browser on the page with `mode` ("--dump-dom" or "--screenshot=...")
  // and returns its exit status; stdout goes to dom.html, stderr to its log, the network
  // events to net.json.
  int open_in_browser(const fs::path& page, const std::string& mode) {
    const std::string command = fmt::format(
        "'{}' --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--user-data-dir='{}' --window-size=1280,6000 --virtual-time-budget=5000 "
        "--enable-logging=stderr --log-net-log='{}' {} 'file://{}' > '{}' 2> '{}'",
        chromium_->string(), (dir_ / "profile").string(), (dir_ / "net.json").string(), mode,
        page.string(), (dir_ / "dom.html").string(), (dir_ / "browser.log").string());
    return std::system(command.c_str());
  }

  std::optional<fs::path> chromium_;
  testing::TempDir dir_{"orvalt_page_browser"};
};

TEST_F(PageBrowserTest, LoadsWithoutRequestsAndShowsTheSectionsAndTheResult) {
  const ReportPageInput input = sample_page_input();
  const fs::path page = write_report_page(dir_.path(), input);

  ASSERT_EQ(open_in_browser(page, "--dump-dom"), 0) << read(dir_ / "browser.log");
  const std::string dom = read(dir_ / "dom.html");
  ASSERT_TRUE(contains(dom, "</html>")) << "the browser did not finish the page";
  for (const char* heading : {"Verdict", "What the recording determined", "Pictures",
                              "Settings, version and recording"}) {
    EXPECT_TRUE(contains(dom, fmt::format("<h2>{}</h2>", heading)));
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(contains(dom, fmt::format("{:.4f}", input.vec6[i] * 180.0 / M_PI)));
  }
  for (int i = 3; i < 6; ++i)
    EXPECT_TRUE(contains(dom, fmt::format("{:.2f}", input.vec6[i] * 1e3)));

  // The page asked for nothing: the only URLs requested are the browser's own services'.
  for (const std::string& url : requested_urls(read(dir_ / "net.json"))) {
    EXPECT_TRUE(is_browser_service(url)) << "the page requested " << url;
  }

  const fs::path screenshot = dir_ / "page.png";
  ASSERT_EQ(open_in_browser(page, "--screenshot='" + screenshot.string() + "'"), 0)
      << read(dir_ / "browser.log");
  const cv::Mat shot = cv::imread(screenshot.string(), cv::IMREAD_COLOR);
  ASSERT_FALSE(shot.empty()) << "no screenshot";
  // The board's purple is drawn only inside the trajectory picture: finding it shows the
  // embedded pictures were decoded and shown.
  cv::Mat board_purple;
  cv::inRange(shot, cv::Scalar(0xBD, 0x67, 0x94), cv::Scalar(0xBD, 0x67, 0x94), board_purple);
  EXPECT_GT(cv::countNonZero(board_purple), 50);
}

}  // namespace
}  // namespace orvalt::calibration
