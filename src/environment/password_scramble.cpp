#include "environment/password_scramble.h"

#include <cstdio>
#include <cstring>

namespace bk {
namespace {

constexpr unsigned char kKey[32] = {0x5A, 0xC3, 0x17, 0x8E, 0x21, 0xF4, 0x6B, 0x90, 0x3D, 0xA7, 0x0C,
                                    0xE1, 0x72, 0x49, 0xB6, 0x2F, 0x98, 0x13, 0xCA, 0x65, 0xFE, 0x37,
                                    0x84, 0x5D, 0xAB, 0x06, 0xD9, 0x40, 0x1E, 0xB3, 0x7C, 0xE8};

unsigned char Mask(unsigned char seed, std::size_t i) {
  return static_cast<unsigned char>(kKey[(seed + i) % 32] ^ ((seed * 31u + i * 7u) & 0xFFu));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool HexByte(const char* p, unsigned char& value) {
  const int hi = HexDigit(p[0]), lo = HexDigit(p[1]);
  if (hi < 0 || lo < 0) return false;
  value = static_cast<unsigned char>(hi * 16 + lo);
  return true;
}

}  // namespace

bool ScramblePassword(const char* plain, unsigned char seed, char* out, std::size_t outSize) {
  const std::size_t n = plain ? std::strlen(plain) : 0;
  if (n == 0 || n > kMaxPasswordLength || out == nullptr || outSize < 2 * n + 5) return false;
  unsigned sum = seed;
  char* p = out;
  p += std::snprintf(p, 3, "%02X", seed);
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = static_cast<unsigned char>(plain[i]);
    sum += b;
    p += std::snprintf(p, 3, "%02X", static_cast<unsigned>(b ^ Mask(seed, i)));
  }
  std::snprintf(p, 3, "%02X", sum & 0xFFu);
  return true;
}

int UnscramblePassword(const char* stored, char* out, std::size_t outSize) {
  if (stored == nullptr || out == nullptr) return 0;
  const std::size_t length = std::strlen(stored);
  if (length < 4 || length > 63 || length % 2 != 0) return 0;
  const std::size_t n = (length - 4) / 2;
  if (n == 0 || outSize < n + 1) return 0;
  unsigned char seed = 0, check = 0;
  if (!HexByte(stored, seed) || !HexByte(stored + length - 2, check)) return 0;
  char plain[kMaxPasswordLength + 1];
  unsigned sum = seed;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char b = 0;
    if (!HexByte(stored + 2 + 2 * i, b)) return 0;
    b = static_cast<unsigned char>(b ^ Mask(seed, i));
    if (b == 0) return 0;
    plain[i] = static_cast<char>(b);
    sum += b;
  }
  if ((sum & 0xFFu) != check) return 0;
  std::memcpy(out, plain, n);
  out[n] = '\0';
  return 1;
}

}  // namespace bk
