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
  // Bytes need neither alignment nor swapping: one copy straight from the payload.
  void read(Bytes& values);

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

// Counts the bytes that CdrWriter writes for the same calls, so that a message is written
// into a buffer of the right size at once (images are megabytes).
class CdrSizer {
 public:
  template <class T>
  void write(const T&) {
    add(sizeof(T), sizeof(T));
  }
  void write(bool) { add(1, 1); }
  void write(const std::string& value) {
    write_sequence_length(0);
    size_ += value.size() + 1;
  }
  template <class T, std::size_t N>
  void write(const std::array<T, N>&) {
    add(sizeof(T), N * sizeof(T));
  }
  template <class T>
  void write(const std::vector<T>& values) {
    write_sequence_length(0);
    if (!values.empty()) add(sizeof(T), values.size() * sizeof(T));
  }
  void write_sequence_length(std::size_t) { add(4, 4); }

  // Bytes after the encapsulation header.
  std::size_t size() const { return size_; }

 private:
  void add(std::size_t alignment, std::size_t bytes) {
    size_ += (alignment - size_ % alignment) % alignment + bytes;
  }
  std::size_t size_ = 0;
};

class CdrWriter {
 public:
  // Writes the little-endian encapsulation header, for `payload_size` bytes after it (as
  // CdrSizer counts them). The buffer starts zeroed, so alignment gaps are zeros.
  explicit CdrWriter(std::size_t payload_size);
  CdrWriter(const CdrWriter&) = delete;
  CdrWriter& operator=(const CdrWriter&) = delete;

  template <class T>
  void write(const T& value) {
    cdr_ << value;
  }
  void write(bool value);
  // Length with the terminating NUL, the characters (embedded NULs kept), NUL.
  void write(const std::string& value);

  template <class T, std::size_t N>
  void write(const std::array<T, N>& values) {
    cdr_.serializeArray(values.data(), N);
  }

  template <class T>
  void write(const std::vector<T>& values) {
    write_sequence_length(values.size());
    if (!values.empty()) cdr_.serializeArray(values.data(), values.size());
  }

  void write_sequence_length(std::size_t count);

  // The payload, header included; the writer is spent afterwards.
  Bytes finish();

 private:
  Bytes bytes_;
  eprosima::fastcdr::FastBuffer buffer_;
  eprosima::fastcdr::Cdr cdr_;
};

}  // namespace orvalt::ros2
