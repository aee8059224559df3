#include "orvalt/calibration/report_page/report_page.hpp"

#include <fstream>
#include <iterator>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/calibration/report_page/page_test_input.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

// Says what is missing without printing the page, which runs to hundreds of kilobytes.
::testing::AssertionResult contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no \"" << part << "\"";
}

TEST(ReportPageTest, SectionsInOrderWithTheResultInReadableUnits) {
  const ReportPageInput input = sample_page_input();
  const std::string html = report_page_html(input);
  std::size_t previous = 0;
  for (const char* heading : {"<h2>Verdict</h2>", "<h2>What the recording determined</h2>",
                              "<h2>Pictures</h2>", "<h2>Settings, version and recording</h2>"}) {
    const std::size_t at = html.find(heading);
    ASSERT_NE(at, std::string::npos) << heading;
    EXPECT_GT(at, previous) << heading;
    previous = at;
  }
  // Angles in degrees, lengths in millimetres.
  EXPECT_TRUE(contains(html, fmt::format("{:.4f}", 0.0123 * 180.0 / M_PI)));
  EXPECT_TRUE(contains(html, "146.20"));
  EXPECT_TRUE(contains(html, "&plusmn; 0.80")) << "&plusmn; 0.80";
  EXPECT_TRUE(contains(html, "static_transform_publisher --x 0.012"));
  EXPECT_TRUE(contains(html, "&lt;joint name=&quot;base_footprint_to_camera_link&quot;"))
      << "&lt;joint name=&quot;base_footprint_to_camera_link&quot;";
  EXPECT_TRUE(contains(html, "sensor_msgs/msg/Image"));
}

TEST(ReportPageTest, SelfContainedAndEscaped) {
  ReportPageInput input = sample_page_input();
  input.settings.push_back({"camera_frame", "<script>alert(1)</script>"});
  const std::string html = report_page_html(input);
  EXPECT_FALSE(contains(html, "<script"));
  EXPECT_TRUE(contains(html, "&lt;script&gt;")) << "&lt;script&gt;";
  // Every picture is embedded; nothing is fetched from elsewhere.
  int pictures = 0;
  for (const std::string attribute : {"src=", "href=", "srcset="}) {
    for (auto at = html.find(attribute); at != std::string::npos;
         at = html.find(attribute, at + 1)) {
      EXPECT_EQ(html.compare(at + attribute.size(), 27, "\"data:image/svg+xml;base64,"), 0)
          << html.substr(at, 60);
      ++pictures;
    }
  }
  EXPECT_EQ(pictures, 4);  // trajectory, tags, pairs, floor
  EXPECT_FALSE(contains(html, "url("));
}

TEST(ReportPageTest, RefinedResultStandsBesideTheOptimizers) {
  ReportPageInput input = sample_page_input();
  PageRefinement refinement;
  refinement.success = true;
  refinement.vec6 = input.vec6;
  refinement.vec6[5] = 0.1475;
  refinement.sigma.fill(1e-4);
  refinement.sigma[3] = NAN;
  refinement.time_offset_s = -0.0312;
  refinement.reprojection_rms_px = 0.274;
  refinement.frame_rms_px = {{input.images[0].stamp_ns, 0.3}, {input.images[1].stamp_ns, 0.25}};
  input.refinement = refinement;
  const std::string html = report_page_html(input);
  EXPECT_TRUE(contains(html, "refined (in the files)"));
  EXPECT_TRUE(contains(html, "147.50"));
  EXPECT_TRUE(contains(html, "146.20"));
  EXPECT_TRUE(contains(html, "not measured"));
  EXPECT_TRUE(contains(html, "0.274 px"));
  EXPECT_TRUE(contains(html, "-31.2 ms"));
  EXPECT_TRUE(contains(html, "<h3>Board refinement</h3>"));
}

TEST(ReportPageTest, AFailedRunStillGetsAPageThatSaysWhy) {
  ReportPageInput input;
  input.failure = "No valid motion pairs: tags of --target_ids were found in 1 of 40 images";
  input.images = sample_page_input().images;
  input.program_version = "0.1.0";
  const std::string html = report_page_html(input);
  EXPECT_TRUE(contains(html, "Not usable: the calibration failed"));
  EXPECT_TRUE(contains(html, "found in 1 of 40 images"));
  EXPECT_FALSE(contains(html, "The result: the camera in the base frame"));
  EXPECT_TRUE(contains(html, "Where the robot drove"));

  testing::TempDir dir;
  const auto path = write_report_page(dir.path(), input);
  EXPECT_EQ(path, dir / "calibration_report.html");
  std::ifstream file(path, std::ios::binary);
  const std::string written(std::istreambuf_iterator<char>(file), {});
  EXPECT_EQ(written.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_TRUE(contains(written, "found in 1 of 40 images"));
  EXPECT_TRUE(contains(written, "</html>"));
}

}  // namespace
}  // namespace orvalt::calibration
