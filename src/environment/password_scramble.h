#pragma once
// The stored form of the dial-up password in the client's registry key.
//
// Stored form (uppercase hexadecimal text, 2 digits per byte):
//   S  B1 .. Bn  C
//   S   a seed byte chosen by the scrambler;
//   Bi  plain byte i (i from 0) XOR Key[(S + i) mod 32] XOR ((S * 31 + i * 7) mod 256);
//   C   (S + sum of the plain bytes) mod 256.
// A password has 1 to 29 bytes, none of them 0, so the stored text has 6 to 62
// characters and the plain text with its terminator fits 30 bytes. This keeps
// the password out of plain sight in the registry; it is not encryption.
#include <cstddef>

namespace bk {

inline constexpr std::size_t kMaxPasswordLength = 29;

// Writes the stored form of `plain` (1..29 bytes) with the given seed into out
// (at least 2 * 29 + 5 bytes). False when the password does not fit.
bool ScramblePassword(const char* plain, unsigned char seed, char* out, std::size_t outSize);

// Reverses ScramblePassword. 1 and the password in out (at most 30 bytes with
// the terminator; outSize must allow it); 0 when `stored` is not a valid stored
// form (its length outside 4..63, odd, not hexadecimal, a bad check byte).
int UnscramblePassword(const char* stored, char* out, std::size_t outSize);

}  // namespace bk
