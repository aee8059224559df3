#include "orvalt/ros2/cdr_stream.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace orvalt::ros2 {
namespace {

using ::testing::HasSubstr;

TEST(CdrStream, ValuesAfterAByteSequenceAreAlignedAgain) {
  // uint32 count 3, three bytes, one byte of padding, uint32, then a double at offset 16.
  const Bytes payload = {0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x0a, 0x0b,
                         0x0c, 0x99, 0x2a, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf0, 0x3f};
  Bytes bytes;
  std::uint32_t word = 0;
  double number = 0;
  decode_cdr(payload, "test", [&](CdrReader& in) {
    in.read(bytes);
    in.read(word);
    in.read(number);
    EXPECT_EQ(0u, in.remaining());
  });
  EXPECT_EQ((Bytes{0x0a, 0x0b, 0x0c}), bytes);
  EXPECT_EQ(42u, word);
  EXPECT_EQ(1.0, number);

  CdrSizer sizer;
  sizer.write(bytes);
  sizer.write(word);
  sizer.write(number);
  EXPECT_EQ(payload.size() - 4, sizer.size());
  CdrWriter out(sizer.size());
  out.write(bytes);
  out.write(word);
  out.write(number);
  Bytes expected = payload;
  expected[11] = 0;  // padding is written as zeros
  EXPECT_EQ(expected, out.finish());
}

TEST(CdrStream, SequenceLengthMustFitWhatIsLeft) {
  const Bytes payload = {0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
  decode_cdr(payload, "test", [](CdrReader& in) { EXPECT_EQ(2u, in.read_sequence_length(4)); });
  try {
    decode_cdr(payload, "pkg/msg/Type", [](CdrReader& in) { in.read_sequence_length(5); });
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("Cannot decode pkg/msg/Type: sequence length 2 at byte 4"));
  }
}

TEST(CdrStream, ErrorsNameTheTypeAndTheFault) {
  const auto message_of = [](const Bytes& payload) {
    try {
      decode_cdr(payload, "pkg/msg/Type", [](CdrReader& in) {
        double value = 0;
        in.read(value);
      });
    } catch (const std::runtime_error& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(
      "Cannot decode pkg/msg/Type: the payload of 2 bytes is shorter than the 4-byte CDR "
      "encapsulation header",
      message_of({0x00, 0x01}));
  EXPECT_THAT(message_of({0x00, 0x03, 0x00, 0x00}),
              HasSubstr("not a plain CDR payload (encapsulation header 00 03 00 00)"));
  EXPECT_THAT(
      message_of({0x00, 0x01, 0x00, 0x00, 1, 2, 3, 4}),
      HasSubstr("the payload of 8 bytes is truncated (a field at byte 4 runs past its end)"));
}

}  // namespace
}  // namespace orvalt::ros2
