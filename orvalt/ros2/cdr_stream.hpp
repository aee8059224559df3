#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>

#include "orvalt/ros2/messages.hpp"

// Bounds-checked CDR reading and little-endian CDR writing over Fast-CDR, as ROS 2's default
// middleware lays messages out (Cdr::DDS_CDR: 4-byte encapsulation header, alignment counted
// from the first byte after it). Internal to the data layer.
namespace orvalt::ros2 {

class CdrReader {
 public:
  // Checks and reads the encapsulation header (plain CDR, either byte order).
  explicit CdrReader(const Bytes& bytes);
  CdrReader(const CdrReader&) = delete;
  CdrReader& operator=(const CdrReader&) = delete;

  // Primitive values (and std::string).
  template <class T>
  void read(T& value) {
    cdr_ >> value;
  }
  void read(bool& value);
  void read(std::string& value);

  template <class T, std::size_t N>
  void read(std::array<T, N>& values) {
    cdr_.deserializeArray(values.data(), N);
  }

  // A sequence of primitives: count, then the elements copied in one go.
  template <class T>
  void read(std::vector<T>& values) {
    const std::uint32_t count = read_sequence_length(sizeof(T));
    values.resize(count);
    if (count > 0) cdr_.deserializeArray(values.data(), count);
  }

  // The element count of a sequence, refused when `count` elements of at least
  // `min_element_size` bytes each cannot fit in what is left, so that a corrupt count never
  // makes the caller allocate more than the payload could hold.
  std::uint32_t read_sequence_length(std::size_t min_element_size);

  // Bytes of the payload not read yet.
  std::size_t remaining();
  // Offset of the next byte to read, from the start of the payload.
  std::size_t position();

 private:
  eprosima::fastcdr::FastBuffer buffer_;
  eprosima::fastcdr::Cdr cdr_;
};

// Runs `read_fields` over `bytes`; any truncation or corruption becomes std::runtime_error
// "Cannot decode <type_name>: <reason>".
void decode_cdr(const Bytes& bytes, const std::string& type_name,
                const std::function<void(CdrReader&)>& read_fields);

class CdrWriter {
 public:
  // Writes the little-endian encapsulation header; `size_hint` is the expected payload size
  // (the buffer grows past it when needed).
  explicit CdrWriter(std::size_t size_hint);
  CdrWriter(const CdrWriter&) = delete;
  CdrWriter& operator=(const CdrWriter&) = delete;

  template <class T>
  void write(const T& value) {
    pad_to(sizeof(T));
    cdr_ << value;
  }
  void write(bool value);
  // Length with the terminating NUL, the characters (embedded NULs kept), NUL.
  void write(const std::string& value);

  template <class T, std::size_t N>
  void write(const std::array<T, N>& values) {
    pad_to(sizeof(T));
    cdr_.serializeArray(values.data(), N);
  }

  template <class T>
  void write(const std::vector<T>& values) {
    write_sequence_length(values.size());
    if (values.empty()) return;
    pad_to(sizeof(T));
    cdr_.serializeArray(values.data(), values.size());
  }

  void write_sequence_length(std::size_t count);

  // The payload written so far, header included.
  Bytes finish() const;

 private:
  // Fast-CDR skips alignment gaps without writing them; zeros make the bytes reproducible.
  void pad_to(std::size_t alignment);

  // Reserved before the Cdr object is built over it, so small messages never reallocate.
  struct Buffer {
    explicit Buffer(std::size_t capacity) { fast.reserve(capacity); }
    eprosima::fastcdr::FastBuffer fast;
  };
  Buffer buffer_;
  eprosima::fastcdr::Cdr cdr_;
};

}  // namespace orvalt::ros2
