#include "orvalt/visual/ferrimond/png_export.hpp"

#include <cstdio>

#include <gtest/gtest.h>
#include <png.h>

#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::visual {
namespace {

// 32-bit pixels as a Cairo RGB24 surface holds them, rows padded as its stride may be.
struct TestImage {
  int width = 0;
  int height = 0;
  int stride = 0;
  std::vector<std::uint32_t> words;

  PixelView view() const {
    return {width, height, stride, reinterpret_cast<const std::uint8_t*>(words.data())};
  }
};

TestImage white(int width, int height) {
  const int padded = width + 2;
  // The unused top byte is set too: it must not count as colour.
  return {width, height, padded * 4,
          std::vector<std::uint32_t>(static_cast<std::size_t>(padded) * height, 0xFFFFFFFFu)};
}

void paint(TestImage& image, int x, int y) {
  image.words[static_cast<std::size_t>(y) * (image.stride / 4) + x] = 0x000A141Eu;
}

struct PngInfo {
  png_uint_32 width = 0, height = 0, x_ppm = 0, y_ppm = 0;
  int unit = -1;
  std::vector<std::uint8_t> first_row;
};

PngInfo read_png(const std::filesystem::path& path) {
  PngInfo result;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return result;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, file);
  png_read_info(png, info);
  result.width = png_get_image_width(png, info);
  result.height = png_get_image_height(png, info);
  png_get_pHYs(png, info, &result.x_ppm, &result.y_ppm, &result.unit);
  result.first_row.resize(png_get_rowbytes(png, info));
  png_read_row(png, result.first_row.data(), nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return result;
}

TEST(ContentBoxTest, BoundsTheNonBackgroundPixelsPlusPad) {
  TestImage image = white(100, 80);
  paint(image, 20, 30);
  paint(image, 60, 50);
  const PixelBox box = content_box(image.view(), 5);
  EXPECT_EQ(box.x, 15);
  EXPECT_EQ(box.y, 25);
  EXPECT_EQ(box.width, 51);
  EXPECT_EQ(box.height, 31);
}

TEST(ContentBoxTest, PadIsClippedToTheImageAndBlankImagesStayWhole) {
  TestImage image = white(40, 30);
  paint(image, 1, 28);
  const PixelBox box = content_box(image.view(), 10);
  EXPECT_EQ(box.x, 0);
  EXPECT_EQ(box.y, 18);
  EXPECT_EQ(box.width, 12);
  EXPECT_EQ(box.height, 12);

  const PixelBox whole = content_box(white(40, 30).view(), 3);
  EXPECT_EQ(whole.width, 40);
  EXPECT_EQ(whole.height, 30);
}

TEST(WritePngTest, WritesTheBoxWithItsResolution) {
  testing::TempDir dir;
  TestImage image = white(50, 40);
  paint(image, 10, 5);
  write_png(dir / "out.png", image.view(), {10, 5, 20, 15}, 300);
  const PngInfo written = read_png(dir / "out.png");
  EXPECT_EQ(written.width, 20u);
  EXPECT_EQ(written.height, 15u);
  // 300 dots per inch in pixels per metre, as PNG records it.
  EXPECT_EQ(written.x_ppm, 11811u);
  EXPECT_EQ(written.y_ppm, 11811u);
  EXPECT_EQ(written.unit, PNG_RESOLUTION_METER);
  // Three bytes a pixel, red first.
  ASSERT_EQ(written.first_row.size(), 60u);
  EXPECT_EQ(written.first_row[0], 10);
  EXPECT_EQ(written.first_row[1], 20);
  EXPECT_EQ(written.first_row[2], 30);
  EXPECT_EQ(written.first_row[3], 255);
}

TEST(WritePngTest, UnwritablePathThrowsNamingIt) {
  testing::TempDir dir;
  try {
    write_png(dir / "missing" / "out.png", white(4, 4).view(), {0, 0, 4, 4}, 300);
    FAIL() << "expected an error";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("missing/out.png"), std::string::npos);
  }
}

}  // namespace
}  // namespace orvalt::visual
