#pragma once
// Small text helpers shared by the portable and the Windows code.
#include <cstddef>
#include <cstring>

namespace bk {

inline char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
inline char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive (ASCII letters) comparison of two zero-terminated texts.
inline bool EqualsIgnoreCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (AsciiUpper(*a) != AsciiUpper(*b)) return false;
    if (*a == '\0') return true;
  }
}

// Case-insensitive comparison of at most n bytes, stopping at a terminator, as
// the C library's _strnicmp does; 0 when equal.
inline int CompareIgnoreCaseN(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char ca = static_cast<unsigned char>(AsciiUpper(a[i]));
    const unsigned char cb = static_cast<unsigned char>(AsciiUpper(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == '\0') return 0;
  }
  return 0;
}

// Copies src into dst (capacity bytes, capacity > 0), cutting it if needed;
// the result is always terminated. Returns the number of bytes copied.
inline std::size_t CopyText(char* dst, std::size_t capacity, const char* src) {
  std::size_t n = 0;
  while (n + 1 < capacity && src[n] != '\0') {
    dst[n] = src[n];
    ++n;
  }
  dst[n] = '\0';
  return n;
}

// Length of a text, reading at most limit bytes (limit when unterminated).
inline std::size_t BoundedLength(const char* s, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && s[n] != '\0') ++n;
  return n;
}

}  // namespace bk
