#include "orvalt/ros2/crc32.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orvalt::ros2 {
namespace {

constexpr std::uint32_t kReflectedPolynomial = 0xEDB88320u;

// Slicing tables: kTables[k][b] is the register after feeding byte b followed by k zero bytes.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

Tables make_tables() {
  Tables tables{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    std::uint32_t value = byte;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1u) ? kReflectedPolynomial ^ (value >> 1) : value >> 1;
    }
    tables[0][byte] = value;
  }
  for (std::size_t k = 1; k < tables.size(); ++k) {
    for (std::size_t byte = 0; byte < 256; ++byte) {
      const std::uint32_t previous = tables[k - 1][byte];
      tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

const Tables& tables() {
  static const Tables instance = make_tables();
  return instance;
}

// Updates the raw register (no inversions) eight bytes at a time.
std::uint32_t update_with_tables(std::uint32_t reg, const std::uint8_t* data, std::size_t size) {
  const Tables& t = tables();
  while (size >= 8) {
    std::uint32_t low;
    std::uint32_t high;
    std::memcpy(&low, data, 4);
    std::memcpy(&high, data + 4, 4);
    low ^= reg;
    reg = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^
          t[4][low >> 24] ^ t[3][high & 0xFFu] ^ t[2][(high >> 8) & 0xFFu] ^
          t[1][(high >> 16) & 0xFFu] ^ t[0][high >> 24];
    data += 8;
    size -= 8;
  }
  while (size-- > 0) reg = t[0][(reg ^ *data++) & 0xFFu] ^ (reg >> 8);
  return reg;
}

#if defined(__x86_64__)

// Carry-less multiplication folds 16-byte blocks forward by a fixed distance, so that the data
// is reduced to one block with the same remainder; the tables finish that block. The constants
// are powers of x modulo the polynomial, computed here rather than written out.
struct FoldConstants {
  std::uint64_t low;   // multiplies the first 8 bytes of a block
  std::uint64_t high;  // multiplies the last 8 bytes
};

// x^power mod P as 32 coefficients (bit j is x^j), P = x^32 + 0x04C11DB7.
std::uint32_t x_power_mod(int power) {
  std::uint64_t remainder = 1;
  for (int i = 0; i < power; ++i) {
    remainder <<= 1;
    if (remainder & (1ull << 32)) remainder ^= 0x104C11DB7ull;
  }
  return static_cast<std::uint32_t>(remainder);
}

std::uint64_t reverse_bits(std::uint64_t value) {
  std::uint64_t reversed = 0;
  for (int bit = 0; bit < 64; ++bit) {
    reversed = (reversed << 1) | ((value >> bit) & 1u);
  }
  return reversed;
}

// A block's first 8 bytes are its higher-degree half, so moving the block `distance` bits on
// multiplies that half by x^(distance + 64) and the other by x^distance. The product of two
// reflected 64-bit operands comes out one degree high, hence the "- 1".
FoldConstants fold_constants(int distance) {
  return {reverse_bits(x_power_mod(distance + 63)), reverse_bits(x_power_mod(distance - 1))};
}

__attribute__((target("pclmul,sse2"))) __m128i fold(__m128i block, __m128i constants) {
  return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x00),
                       _mm_clmulepi64_si128(block, constants, 0x11));
}

__attribute__((target("pclmul,sse2"))) __m128i load(const std::uint8_t* data) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
}

// Needs size >= 64. Four blocks are folded in parallel to hide the multiplier's latency.
__attribute__((target("pclmul,sse2"))) std::uint32_t update_with_clmul(std::uint32_t reg,
                                                                       const std::uint8_t* data,
                                                                       std::size_t size) {
  static const FoldConstants by_four = fold_constants(512);
  static const FoldConstants by_one = fold_constants(128);
  const __m128i four =
      _mm_set_epi64x(static_cast<long long>(by_four.high), static_cast<long long>(by_four.low));
  const __m128i one =
      _mm_set_epi64x(static_cast<long long>(by_one.high), static_cast<long long>(by_one.low));

  // A register value is the same as that value xor-ed into the first four bytes.
  __m128i x0 = _mm_xor_si128(load(data), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x1 = load(data + 16);
  __m128i x2 = load(data + 32);
  __m128i x3 = load(data + 48);
  data += 64;
  size -= 64;
  while (size >= 64) {
    x0 = _mm_xor_si128(fold(x0, four), load(data));
    x1 = _mm_xor_si128(fold(x1, four), load(data + 16));
    x2 = _mm_xor_si128(fold(x2, four), load(data + 32));
    x3 = _mm_xor_si128(fold(x3, four), load(data + 48));
    data += 64;
    size -= 64;
  }
  x1 = _mm_xor_si128(fold(x0, one), x1);
  x2 = _mm_xor_si128(fold(x1, one), x2);
  x3 = _mm_xor_si128(fold(x2, one), x3);
  while (size >= 16) {
    x3 = _mm_xor_si128(fold(x3, one), load(data));
    data += 16;
    size -= 16;
  }
  std::uint8_t last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(last), x3);
  return update_with_tables(update_with_tables(0, last, sizeof(last)), data, size);
}

bool has_clmul() {
  static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
  return supported;
}

#endif

}  // namespace

std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t crc) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::uint32_t reg = ~crc;
#if defined(__x86_64__)
  if (size >= 64 && has_clmul()) return ~update_with_clmul(reg, bytes, size);
#endif
  return ~update_with_tables(reg, bytes, size);
}

}  // namespace orvalt::ros2
