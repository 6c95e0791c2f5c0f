#pragma once
// Fixed-width text fields of the client's files as the commands show them.
#include <cstdio>
#include <string>

#include "common/text.h"

namespace bkrtool {

// The field up to its first NUL (at most `width` bytes). Control bytes are
// shown as \xNN, so that a damaged record cannot garble a terminal; the other
// bytes are the client's ANSI text and stand as they are (the JSON writer
// converts them).
inline std::string FieldText(const unsigned char* field, std::size_t width) {
  std::string out;
  const std::size_t length = bk::BoundedLength(reinterpret_cast<const char*>(field), width);
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = field[i];
    if (c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace bkrtool
