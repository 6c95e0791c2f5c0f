// The fields of C0.ctr, read from its 276 bytes.
#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"
#include "environment/command_file.h"

namespace {
// Copies the text of a field of `width` bytes, stopping at its terminator or
// at the field's end, into out (outSize bytes, always terminated).
void CopyField(char* out, std::size_t outSize, const unsigned char* field, std::size_t width) {
  std::size_t n = bk::BoundedLength(reinterpret_cast<const char*>(field), width);
  if (n >= outSize) n = outSize - 1;
  std::memcpy(out, field, n);
  out[n] = '\0';
}
}  // namespace

CtrFields vskCtrDecode(const unsigned char* bytes) {
  CtrFields f;
  CopyField(f.host, sizeof f.host, bytes + kCtrHost, kCtrHostWidth);
  CopyField(f.second, sizeof f.second, bytes + kCtrSecond, kCtrSecondWidth);
  f.numberB = static_cast<std::int32_t>(bk::LoadLe32(bytes + kCtrNumberB));
  f.numberA = static_cast<std::int32_t>(bk::LoadLe32(bytes + kCtrNumberA));
  return f;
}
