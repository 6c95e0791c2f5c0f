#pragma once
// The key of a resource: name, version and generation, stored zero-padded in
// fields of 44, 8 and 4 bytes without terminator.
#include <cstddef>

inline constexpr std::size_t kVskNameWidth = 44;
inline constexpr std::size_t kVskVersionWidth = 8;
inline constexpr std::size_t kVskGenerationWidth = 4;
inline constexpr std::size_t kVskMaxPathArgument = 260;

// True when text is non-null and holds 1 to maxLength characters.
bool vskIsValidArgument(const char* text, std::size_t maxLength);
bool vskIsValidKey(const char* name, const char* version, const char* generation);

// Compares one stored key field (width bytes, perhaps unterminated) with an
// argument: ignoring case, over the argument's length plus its terminator,
// capped at the width. So "ABC" does not match a stored "ABCD", and a
// 44-character argument matches a stored name filling all 44 bytes.
bool vskKeyFieldMatches(const unsigned char* stored, std::size_t width, const char* argument);

// The three fields at `stored` (name at 0, version at 44, generation at 52).
bool vskKeyMatches(const unsigned char* stored, const char* name, const char* version,
                   const char* generation);
