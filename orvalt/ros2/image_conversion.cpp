#include "orvalt/ros2/image_conversion.hpp"

#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "orvalt/common/strings.hpp"

namespace orvalt::ros2 {
namespace {

// How cv_bridge sorts encodings: colour formats (mono counts as one, and so do the YUV
// layouts) can be converted among themselves; the generic ones ("16UC1", "32FC1", ...) say
// nothing about colour and only change depth.
enum class Family { kGray, kRgb, kBgr, kRgba, kBgra, kNv12, kGeneric };

struct Encoding {
  std::string name;  // as the caller wrote it, for error texts
  std::string key;   // lower case, for comparisons
  Family family = Family::kGeneric;
  int depth = CV_8U;
  int channels = 1;
  bool is_colour() const { return family != Family::kGeneric; }
  int bits() const { return static_cast<int>(CV_ELEM_SIZE1(depth)) * 8; }
  int cv_type() const { return CV_MAKETYPE(depth, channels); }
};

// A step of a conversion: a cv::cvtColor code, or a change of depth.
constexpr int kChangeDepth = -1;

std::string conversion_name(const std::string& from, const std::string& to) {
  return "Cannot convert image from [" + from + "] to [" + to + "]";
}

std::optional<Encoding> parse_encoding(const std::string& name) {
  struct Layout {
    Family family;
    int depth;
    int channels;
  };
  static const std::map<std::string, Layout> named = {
      {"mono8", {Family::kGray, CV_8U, 1}}, {"mono16", {Family::kGray, CV_16U, 1}},
      {"rgb8", {Family::kRgb, CV_8U, 3}},   {"rgb16", {Family::kRgb, CV_16U, 3}},
      {"bgr8", {Family::kBgr, CV_8U, 3}},   {"bgr16", {Family::kBgr, CV_16U, 3}},
      {"rgba8", {Family::kRgba, CV_8U, 4}}, {"rgba16", {Family::kRgba, CV_16U, 4}},
      {"bgra8", {Family::kBgra, CV_8U, 4}}, {"bgra16", {Family::kBgra, CV_16U, 4}},
      {"nv12", {Family::kNv12, CV_8U, 1}},
  };
  static const std::map<std::string, int> generic_depths = {
      {"8u", CV_8U},   {"8s", CV_8S},   {"16u", CV_16U}, {"16s", CV_16S},
      {"32s", CV_32S}, {"32f", CV_32F}, {"64f", CV_64F},
  };

  Encoding encoding;
  encoding.name = name;
  encoding.key = common::lower(name);
  if (const auto found = named.find(encoding.key); found != named.end()) {
    encoding.family = found->second.family;
    encoding.depth = found->second.depth;
    encoding.channels = found->second.channels;
    return encoding;
  }
  // "<depth>c<channels>", as "32fc1".
  const auto c = encoding.key.rfind('c');
  if (c == std::string::npos || encoding.key.size() != c + 2) return std::nullopt;
  const auto depth = generic_depths.find(encoding.key.substr(0, c));
  const char channels = encoding.key.back();
  if (depth == generic_depths.end() || channels < '1' || channels > '4') return std::nullopt;
  encoding.depth = depth->second;
  encoding.channels = channels - '0';
  return encoding;
}

std::optional<int> colour_conversion_code(Family from, Family to) {
  static const std::map<std::pair<Family, Family>, int> codes = {
      {{Family::kGray, Family::kRgb}, cv::COLOR_GRAY2RGB},
      {{Family::kGray, Family::kBgr}, cv::COLOR_GRAY2BGR},
      {{Family::kGray, Family::kRgba}, cv::COLOR_GRAY2RGBA},
      {{Family::kGray, Family::kBgra}, cv::COLOR_GRAY2BGRA},
      {{Family::kRgb, Family::kGray}, cv::COLOR_RGB2GRAY},
      {{Family::kRgb, Family::kBgr}, cv::COLOR_RGB2BGR},
      {{Family::kRgb, Family::kRgba}, cv::COLOR_RGB2RGBA},
      {{Family::kRgb, Family::kBgra}, cv::COLOR_RGB2BGRA},
      {{Family::kBgr, Family::kGray}, cv::COLOR_BGR2GRAY},
      {{Family::kBgr, Family::kRgb}, cv::COLOR_BGR2RGB},
      {{Family::kBgr, Family::kRgba}, cv::COLOR_BGR2RGBA},
      {{Family::kBgr, Family::kBgra}, cv::COLOR_BGR2BGRA},
      {{Family::kRgba, Family::kGray}, cv::COLOR_RGBA2GRAY},
      {{Family::kRgba, Family::kRgb}, cv::COLOR_RGBA2RGB},
      {{Family::kRgba, Family::kBgr}, cv::COLOR_RGBA2BGR},
      {{Family::kRgba, Family::kBgra}, cv::COLOR_RGBA2BGRA},
      {{Family::kBgra, Family::kGray}, cv::COLOR_BGRA2GRAY},
      {{Family::kBgra, Family::kRgb}, cv::COLOR_BGRA2RGB},
      {{Family::kBgra, Family::kBgr}, cv::COLOR_BGRA2BGR},
      {{Family::kBgra, Family::kRgba}, cv::COLOR_BGRA2RGBA},
      {{Family::kNv12, Family::kGray}, cv::COLOR_YUV2GRAY_NV12},
      {{Family::kNv12, Family::kRgb}, cv::COLOR_YUV2RGB_NV12},
      {{Family::kNv12, Family::kBgr}, cv::COLOR_YUV2BGR_NV12},
      {{Family::kNv12, Family::kRgba}, cv::COLOR_YUV2RGBA_NV12},
      {{Family::kNv12, Family::kBgra}, cv::COLOR_YUV2BGRA_NV12},
  };
  const auto found = codes.find({from, to});
  if (found == codes.end()) return std::nullopt;
  return found->second;
}

// cv_bridge's rules, except that a single-channel generic image ("16UC1") may become mono
// of any depth: depth cameras publish 16UC1 and callers ask for "mono16".
std::vector<int> conversion_steps(const Encoding& from, const Encoding& to) {
  const std::string cannot = conversion_name(from.name, to.name);
  if (!from.is_colour()) {
    if (to.is_colour() && !(from.channels == 1 && to.family == Family::kGray)) {
      throw std::invalid_argument(cannot + ": [" + from.name + "] is not a colour format but [" +
                                  to.name + "] is");
    }
    if (from.channels != to.channels) {
      throw std::invalid_argument(cannot + ": they have different numbers of channels (" +
                                  std::to_string(from.channels) + " and " +
                                  std::to_string(to.channels) + ")");
    }
    return {kChangeDepth};
  }
  if (!to.is_colour()) {
    if (from.channels != to.channels) {
      throw std::invalid_argument(cannot + ": [" + from.name + "] is a colour format and [" +
                                  to.name + "] is not, so they need the same number of channels (" +
                                  std::to_string(from.channels) + " and " +
                                  std::to_string(to.channels) + ")");
    }
    return {kChangeDepth};
  }
  if (from.family == to.family) return {kChangeDepth};
  const auto code = colour_conversion_code(from.family, to.family);
  if (!code) throw std::invalid_argument(cannot + ": no such colour conversion");
  if (from.depth == to.depth) return {*code};
  return {*code, kChangeDepth};
}

// The pixels of `image` as a view (no copy), after checking that step and data size hold
// `rows` rows of `width` pixels.
cv::Mat pixel_view(const sensor_msgs::Image& image, const Encoding& encoding) {
  const bool nv12 = encoding.family == Family::kNv12;
  if (nv12 && (image.width % 2 != 0 || image.height % 2 != 0)) {
    throw std::invalid_argument("An nv12 image needs an even width and height, not " +
                                std::to_string(image.width) + "x" + std::to_string(image.height));
  }
  // NV12: the luma plane, then the interleaved chroma plane of half the height, same step.
  const std::uint64_t rows = nv12 ? std::uint64_t{image.height} * 3 / 2 : image.height;
  const std::uint64_t element_size = CV_ELEM_SIZE1(encoding.depth);
  const std::uint64_t row_size = std::uint64_t{image.width} * element_size * encoding.channels;
  if (image.step < row_size) {
    throw std::invalid_argument("Image step " + std::to_string(image.step) +
                                " is shorter than a row of " + std::to_string(image.width) + " [" +
                                encoding.name + "] pixels (" + std::to_string(row_size) +
                                " bytes)");
  }
  if (image.step % element_size != 0) {
    throw std::invalid_argument("Image step " + std::to_string(image.step) +
                                " is not a multiple of the " + std::to_string(element_size) +
                                "-byte elements of [" + encoding.name + "]");
  }
  const std::uint64_t needed = rows * image.step;
  if (image.data.size() < needed) {
    throw std::invalid_argument("Image data of " + std::to_string(image.data.size()) +
                                " bytes is shorter than " + std::to_string(rows) + " rows x step " +
                                std::to_string(image.step) + " = " + std::to_string(needed) +
                                " bytes");
  }
  if (rows > INT_MAX || image.width > INT_MAX) {
    throw std::invalid_argument("Image of " + std::to_string(image.width) + "x" +
                                std::to_string(image.height) + " pixels is too large");
  }
  return cv::Mat(static_cast<int>(rows), static_cast<int>(image.width), encoding.cv_type(),
                 const_cast<std::uint8_t*>(image.data.data()), image.step);
}

template <class Word, class Swap>
void swap_words(cv::Mat& pixels, Swap swap) {
  for (int row = 0; row < pixels.rows; ++row) {
    auto* words = pixels.ptr<Word>(row);
    const auto count = static_cast<std::size_t>(pixels.cols) * pixels.channels();
    for (std::size_t i = 0; i < count; ++i) words[i] = swap(words[i]);
  }
}

// A copy of `pixels` in the machine's byte order when the message's differs.
cv::Mat in_host_byte_order(const cv::Mat& pixels, bool big_endian) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  const bool host_big_endian = true;
#else
  const bool host_big_endian = false;
#endif
  if (big_endian == host_big_endian || pixels.elemSize1() == 1) return pixels;
  cv::Mat swapped = pixels.clone();
  switch (swapped.elemSize1()) {
    case 2:
      swap_words<std::uint16_t>(swapped, [](std::uint16_t w) { return __builtin_bswap16(w); });
      break;
    case 4:
      swap_words<std::uint32_t>(swapped, [](std::uint32_t w) { return __builtin_bswap32(w); });
      break;
    default:
      swap_words<std::uint64_t>(swapped, [](std::uint64_t w) { return __builtin_bswap64(w); });
      break;
  }
  return swapped;
}

cv::Mat change_depth(const cv::Mat& pixels, const Encoding& from, const Encoding& to) {
  // As cv_bridge: 8-bit and 16-bit images keep their full range, everything else keeps values.
  double scale = 1.0;
  if (from.bits() == 8 && to.bits() == 16) scale = 65535.0 / 255.0;
  if (from.bits() == 16 && to.bits() == 8) scale = 255.0 / 65535.0;
  cv::Mat converted;
  pixels.convertTo(converted, CV_MAKETYPE(to.depth, pixels.channels()), scale);
  return converted;
}

}  // namespace

cv::Mat to_cv(const sensor_msgs::Image& image, const std::string& wanted_encoding) {
  const std::string wanted = wanted_encoding.empty() ? image.encoding : wanted_encoding;
  const auto from = parse_encoding(image.encoding);
  const auto to = parse_encoding(wanted);
  const std::string cannot = conversion_name(image.encoding, wanted);
  if (!from) {
    throw std::invalid_argument(cannot + ": unrecognized encoding [" + image.encoding + "]");
  }
  if (!to) throw std::invalid_argument(cannot + ": unrecognized encoding [" + wanted + "]");

  const bool same = from->key == to->key;
  const std::vector<int> steps = same ? std::vector<int>{} : conversion_steps(*from, *to);
  const cv::Mat pixels = in_host_byte_order(pixel_view(image, *from), image.is_bigendian != 0);
  if (same) return pixels.clone();
  if (pixels.empty()) return cv::Mat(static_cast<int>(image.height), pixels.cols, to->cv_type());

  cv::Mat converted = pixels;
  for (const int step : steps) {
    if (step == kChangeDepth) {
      converted = change_depth(converted, *from, *to);
    } else {
      cv::Mat coloured;
      cv::cvtColor(converted, coloured, step);
      converted = coloured;
    }
  }
  return converted;
}

}  // namespace orvalt::ros2
