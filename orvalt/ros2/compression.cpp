#include "orvalt/ros2/compression.hpp"

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace orvalt::ros2 {
namespace {

// Above SQLite's largest value (10^9 bytes): no message stored uncompressed is larger.
constexpr std::size_t kMaxDecompressedBytes = std::size_t{1} << 30;

struct DStreamDeleter {
  void operator()(ZSTD_DStream* stream) const { ZSTD_freeDStream(stream); }
};
using DStream = std::unique_ptr<ZSTD_DStream, DStreamDeleter>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

DStream make_dstream() {
  DStream stream(ZSTD_createDStream());
  if (!stream) throw std::bad_alloc();
  return stream;
}

}  // namespace

bool is_zstd_frame(const std::uint8_t* data, std::size_t size) {
  return size >= 4 && data[0] == 0x28 && data[1] == 0xB5 && data[2] == 0x2F && data[3] == 0xFD;
}

std::vector<std::uint8_t> zstd_decompress(const std::uint8_t* data, std::size_t size,
                                          const std::string& what) {
  if (!is_zstd_frame(data, size)) {
    throw std::runtime_error(what + ": not a zstd frame");
  }
  // A stated content size is only a hint: the frame may lie, so the buffer grows with the
  // output actually produced instead of being allocated up front.
  const unsigned long long stated = ZSTD_getFrameContentSize(data, size);
  std::size_t capacity = 4 * size + 64;
  if (stated != ZSTD_CONTENTSIZE_UNKNOWN && stated != ZSTD_CONTENTSIZE_ERROR) {
    capacity = static_cast<std::size_t>(std::min<unsigned long long>(stated, 64ULL << 20));
  }
  std::vector<std::uint8_t> out(std::max<std::size_t>(capacity, 64));

  DStream stream = make_dstream();
  ZSTD_inBuffer input{data, size, 0};
  std::size_t produced = 0;
  std::size_t last = 0;
  while (true) {
    if (produced == out.size()) {
      if (out.size() >= kMaxDecompressedBytes) {
        throw std::runtime_error(what + ": decompresses to more than 1 GiB");
      }
      out.resize(std::min(out.size() * 2, kMaxDecompressedBytes));
    }
    ZSTD_outBuffer output{out.data() + produced, out.size() - produced, 0};
    last = ZSTD_decompressStream(stream.get(), &output, &input);
    if (ZSTD_isError(last)) {
      throw std::runtime_error(what + ": corrupt zstd data (" + ZSTD_getErrorName(last) + ")");
    }
    produced += output.pos;
    // 0: a frame ended and is fully flushed. Calling again without input would start a new
    // frame, so stop there when the input is used up.
    if (last == 0 && input.pos == input.size) break;
    // Input used up and room left over: the codec has nothing more, the frame is cut short.
    if (input.pos == input.size && output.pos < output.size) break;
  }
  if (last != 0) throw std::runtime_error(what + ": truncated zstd frame");
  out.resize(produced);
  return out;
}

void zstd_decompress_file(const std::filesystem::path& source,
                          const std::filesystem::path& target) {
  File in(std::fopen(source.c_str(), "rb"));
  if (!in) throw std::runtime_error("Cannot open " + source.string());
  File out(std::fopen(target.c_str(), "wb"));
  if (!out) throw std::runtime_error("Cannot create " + target.string());

  DStream stream = make_dstream();
  std::vector<std::uint8_t> in_buffer(ZSTD_DStreamInSize());
  std::vector<std::uint8_t> out_buffer(ZSTD_DStreamOutSize());
  std::size_t last = 0;
  bool any_input = false;
  while (true) {
    const std::size_t read = std::fread(in_buffer.data(), 1, in_buffer.size(), in.get());
    if (read == 0) {
      if (std::ferror(in.get())) throw std::runtime_error("Cannot read " + source.string());
      break;
    }
    if (!any_input && !is_zstd_frame(in_buffer.data(), read)) {
      throw std::runtime_error(source.string() + " is not a zstd file");
    }
    any_input = true;
    ZSTD_inBuffer input{in_buffer.data(), read, 0};
    while (input.pos < input.size) {
      ZSTD_outBuffer output{out_buffer.data(), out_buffer.size(), 0};
      last = ZSTD_decompressStream(stream.get(), &output, &input);
      if (ZSTD_isError(last)) {
        throw std::runtime_error(source.string() + ": corrupt zstd data (" +
                                 ZSTD_getErrorName(last) + ")");
      }
      if (std::fwrite(out_buffer.data(), 1, output.pos, out.get()) != output.pos) {
        throw std::runtime_error("Cannot write " + target.string());
      }
    }
  }
  // Flush what the codec still holds once the input has ended.
  while (last != 0 && any_input) {
    ZSTD_inBuffer input{nullptr, 0, 0};
    ZSTD_outBuffer output{out_buffer.data(), out_buffer.size(), 0};
    last = ZSTD_decompressStream(stream.get(), &output, &input);
    if (ZSTD_isError(last)) {
      throw std::runtime_error(source.string() + ": corrupt zstd data (" + ZSTD_getErrorName(last) +
                               ")");
    }
    if (output.pos == 0) break;
    if (std::fwrite(out_buffer.data(), 1, output.pos, out.get()) != output.pos) {
      throw std::runtime_error("Cannot write " + target.string());
    }
  }
  if (!any_input) throw std::runtime_error(source.string() + " is empty");
  if (last != 0) throw std::runtime_error(source.string() + ": truncated zstd data");
  if (std::fclose(out.release()) != 0) throw std::runtime_error("Cannot write " + target.string());
}

}  // namespace orvalt::ros2
