#include "orvalt/ros2/cdr_stream.hpp"

#include <cstdio>
#include <limits>
#include <stdexcept>

#include <fastcdr/exceptions/Exception.h>
#include <fastcdr/exceptions/NotEnoughMemoryException.h>

namespace orvalt::ros2 {
namespace {

// A reason why a payload cannot be decoded; decode_cdr() adds the type name.
class CdrError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr std::size_t kEncapsulationSize = 4;

char* mutable_data(const Bytes& bytes) {
  // Fast-CDR wants a writable buffer even for reading; a reader never writes to it.
  return reinterpret_cast<char*>(const_cast<std::uint8_t*>(bytes.data()));
}

std::string hex_bytes(const Bytes& bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof(byte), i == 0 ? "%02x" : " %02x", bytes[i]);
    text += byte;
  }
  return text;
}

}  // namespace

CdrReader::CdrReader(const Bytes& bytes)
    : buffer_(mutable_data(bytes), bytes.size()),
      cdr_(buffer_, eprosima::fastcdr::Cdr::DEFAULT_ENDIAN, eprosima::fastcdr::Cdr::DDS_CDR) {
  if (bytes.size() < kEncapsulationSize) {
    throw CdrError("the payload of " + std::to_string(bytes.size()) +
                   " bytes is shorter than the 4-byte CDR encapsulation header");
  }
  // 00 00 is big-endian and 00 01 little-endian plain CDR; parameter lists and XCDR2 are not
  // what ROS 2 writes for these types.
  if (bytes[0] != 0 || bytes[1] > 1) {
    throw CdrError("not a plain CDR payload (encapsulation header " +
                   hex_bytes(bytes, kEncapsulationSize) + ")");
  }
  cdr_.read_encapsulation();
}

void CdrReader::read(bool& value) {
  const std::size_t at = position();
  std::uint8_t byte = 0;
  cdr_ >> byte;
  if (byte > 1) {
    throw CdrError("invalid bool value " + std::to_string(byte) + " at byte " + std::to_string(at));
  }
  value = byte == 1;
}

void CdrReader::read(std::string& value) { cdr_ >> value; }

void CdrReader::read(Bytes& values) {
  const std::uint32_t count = read_sequence_length(1);
  const auto* begin = reinterpret_cast<const std::uint8_t*>(cdr_.getCurrentPosition());
  values.assign(begin, begin + count);
  cdr_.jump(count);
  // Fast-CDR skips the alignment of a value no larger than the last one it read, which after a
  // jump would be wrong; an empty byte array leaves it knowing that bytes came last.
  std::uint8_t none = 0;
  cdr_.deserializeArray(&none, 0);
}

std::uint32_t CdrReader::read_sequence_length(std::size_t min_element_size) {
  const std::size_t at = position();
  std::uint32_t count = 0;
  cdr_ >> count;
  if (min_element_size > 0 && count > remaining() / min_element_size) {
    throw CdrError("sequence length " + std::to_string(count) + " at byte " + std::to_string(at) +
                   " does not fit in the " + std::to_string(remaining()) + " bytes left");
  }
  return count;
}

std::size_t CdrReader::remaining() { return buffer_.getBufferSize() - position(); }

std::size_t CdrReader::position() {
  return static_cast<std::size_t>(cdr_.getCurrentPosition() - buffer_.getBuffer());
}

void decode_cdr(const Bytes& bytes, const std::string& type_name,
                const std::function<void(CdrReader&)>& read_fields) {
  try {
    CdrReader reader(bytes);
    try {
      read_fields(reader);
    } catch (const eprosima::fastcdr::exception::NotEnoughMemoryException&) {
      throw CdrError("the payload of " + std::to_string(bytes.size()) +
                     " bytes is truncated (a field at byte " + std::to_string(reader.position()) +
                     " runs past its end)");
    } catch (const eprosima::fastcdr::exception::Exception& error) {
      throw CdrError(error.what());
    }
  } catch (const CdrError& error) {
    throw std::runtime_error("Cannot decode " + type_name + ": " + error.what());
  }
}

CdrWriter::CdrWriter(std::size_t payload_size)
    : bytes_(kEncapsulationSize + payload_size, 0),
      buffer_(reinterpret_cast<char*>(bytes_.data()), bytes_.size()),
      cdr_(buffer_, eprosima::fastcdr::Cdr::LITTLE_ENDIANNESS, eprosima::fastcdr::Cdr::DDS_CDR) {
  cdr_.serialize_encapsulation();
}

void CdrWriter::write(bool value) { cdr_ << static_cast<std::uint8_t>(value ? 1 : 0); }

void CdrWriter::write(const std::string& value) {
  write_sequence_length(value.size() + 1);
  if (!value.empty()) cdr_.serializeArray(value.data(), value.size());
  cdr_ << static_cast<std::uint8_t>(0);
}

void CdrWriter::write_sequence_length(std::size_t count) {
  if (count > std::numeric_limits<std::uint32_t>::max()) {
    throw std::invalid_argument("a sequence of " + std::to_string(count) +
                                " elements does not fit in CDR's 32-bit length");
  }
  cdr_ << static_cast<std::uint32_t>(count);
}

Bytes CdrWriter::finish() {
  bytes_.resize(cdr_.getSerializedDataLength());
  return std::move(bytes_);
}

}  // namespace orvalt::ros2
