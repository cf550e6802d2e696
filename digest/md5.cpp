// The MD5 message digest of RFC 1321: four 32-bit chaining words, a 64-bit
// bit count kept as two words (low first) and a 64-byte block buffer.
// Words are read and written little-endian byte by byte, so the result does
// not depend on the byte order of the machine.
#include <cstring>

#include "digest/digest.h"

namespace {

constexpr std::uint32_t RotateLeft(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32u - n)); }

constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & y) | (~x & z); }
constexpr std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & z) | (y & ~z); }
constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }
constexpr std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return y ^ (x | ~z); }

// Per step: the additive constant (the integer part of 2^32 * |sin(i + 1)|).
constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Per round: the four rotation amounts, used in turn.
constexpr unsigned kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// Which message word step i of round r takes: round 1 in order, the others by
// the permutations 5i+1, 3i+5 and 7i (mod 16).
constexpr unsigned WordIndex(unsigned round, unsigned i) {
  switch (round) {
    case 0: return i;
    case 1: return (5 * i + 1) % 16;
    case 2: return (3 * i + 5) % 16;
    default: return (7 * i) % 16;
  }
}

void Transform(std::uint32_t state[4], const unsigned char block[64]) {
  std::uint32_t x[16];
  for (unsigned i = 0; i < 16; ++i) {
    x[i] = static_cast<std::uint32_t>(block[4 * i]) | (static_cast<std::uint32_t>(block[4 * i + 1]) << 8) |
           (static_cast<std::uint32_t>(block[4 * i + 2]) << 16) | (static_cast<std::uint32_t>(block[4 * i + 3]) << 24);
  }
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (unsigned step = 0; step < 64; ++step) {
    unsigned round = step / 16;
    std::uint32_t f;
    switch (round) {
      case 0: f = F(b, c, d); break;
      case 1: f = G(b, c, d); break;
      case 2: f = H(b, c, d); break;
      default: f = I(b, c, d); break;
    }
    std::uint32_t sum = a + f + x[WordIndex(round, step % 16)] + kSine[step];
    a = d;
    d = c;
    c = b;
    b = b + RotateLeft(sum, kShift[round][step % 4]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  // The message words may be secrets (the password goes through here).
  std::memset(x, 0, sizeof x);
}

}  // namespace

void MD5Init(MD5Context* context) {
  context->count[0] = 0;
  context->count[1] = 0;
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  std::memset(context->buffer, 0, sizeof context->buffer);
}

void MD5Update(MD5Context* context, const void* bytes, std::size_t length) {
  const unsigned char* input = static_cast<const unsigned char*>(bytes);
  std::size_t used = (context->count[0] >> 3) & 0x3f;  // bytes already waiting in the buffer

  // The bit count is 64 bits wide in two words; carry into the high word.
  std::uint64_t bits = (static_cast<std::uint64_t>(context->count[1]) << 32) | context->count[0];
  bits += static_cast<std::uint64_t>(length) << 3;
  context->count[0] = static_cast<std::uint32_t>(bits);
  context->count[1] = static_cast<std::uint32_t>(bits >> 32);

  std::size_t room = 64 - used;
  std::size_t i = 0;
  if (length >= room) {
    std::memcpy(context->buffer + used, input, room);
    Transform(context->state, context->buffer);
    for (i = room; i + 64 <= length; i += 64) Transform(context->state, input + i);
    used = 0;
  }
  if (i < length) std::memcpy(context->buffer + used, input + i, length - i);
}

void MD5Final(unsigned char digest[16], MD5Context* context) {
  // The length in bits, low word first, each word little-endian: taken before
  // the padding changes the count.
  unsigned char length[8];
  for (unsigned i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(context->count[i / 4] >> (8 * (i % 4)));

  // Pad with one 1 bit and zeros up to 56 bytes modulo 64, then the length.
  static const unsigned char kPadding[64] = {0x80};
  std::size_t used = (context->count[0] >> 3) & 0x3f;
  std::size_t padLength = used < 56 ? 56 - used : 120 - used;
  MD5Update(context, kPadding, padLength);
  MD5Update(context, length, 8);

  for (unsigned i = 0; i < 16; ++i) digest[i] = static_cast<unsigned char>(context->state[i / 4] >> (8 * (i % 4)));
  std::memset(context, 0, sizeof *context);
}
