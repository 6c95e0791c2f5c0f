#include "service/resource_key.h"

#include "common/text.h"

bool vskIsValidArgument(const char* text, std::size_t maxLength) {
  if (text == nullptr) return false;
  const std::size_t length = bk::BoundedLength(text, maxLength + 1);
  return length >= 1 && length <= maxLength;
}

bool vskIsValidKey(const char* name, const char* version, const char* generation) {
  return vskIsValidArgument(name, kVskNameWidth) && vskIsValidArgument(version, kVskVersionWidth) &&
         vskIsValidArgument(generation, kVskGenerationWidth);
}

bool vskKeyFieldMatches(const unsigned char* stored, std::size_t width, const char* argument) {
  std::size_t n = bk::BoundedLength(argument, width) + 1;
  if (n > width) n = width;
  return bk::CompareIgnoreCaseN(reinterpret_cast<const char*>(stored), argument, n) == 0;
}

bool vskKeyMatches(const unsigned char* stored, const char* name, const char* version,
                   const char* generation) {
  return vskKeyFieldMatches(stored, kVskNameWidth, name) &&
         vskKeyFieldMatches(stored + kVskNameWidth, kVskVersionWidth, version) &&
         vskKeyFieldMatches(stored + kVskNameWidth + kVskVersionWidth, kVskGenerationWidth,
                            generation);
}
