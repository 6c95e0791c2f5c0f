// Installed-software list entries from any bytes: the lookup's match and the
// resource name part read only the package name's field, and completing a
// new entry from a stored one changes nothing but the carried date and the
// install location.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "softwarelist/uplistd_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 * kSyscEntrySize) return 0;
  // Copies of exactly one entry each, so that a read past one is caught.
  unsigned char* entry = new unsigned char[kSyscEntrySize];
  unsigned char* stored = new unsigned char[kSyscEntrySize];
  std::memcpy(entry, data, kSyscEntrySize);
  std::memcpy(stored, data + kSyscEntrySize, kSyscEntrySize);
  const std::string_view key(reinterpret_cast<const char*>(data) + 2 * kSyscEntrySize, size - 2 * kSyscEntrySize);

  std::string_view part;
  if (bk::sysc::ResourceNamePart(stored, part)) {
    const auto* from = reinterpret_cast<const char*>(stored + kSyscPackageName);
    if (part.data() < from || part.data() + part.size() > from + kSyscPackageNameWidth) std::abort();
  }
  bool malformed = false;
  for (int kind : {kSyscBySecondKey, 0}) (void)bk::sysc::Matches(kind, stored, key, malformed);

  unsigned char before[kSyscEntrySize];
  std::memcpy(before, entry, kSyscEntrySize);
  bk::sysc::Merge(entry, stored);
  for (std::size_t i = 0; i < kSyscEntrySize; ++i) {
    const bool date = i >= kSyscCarriedDate && i < kSyscCarriedDate + kSyscDateWidth;
    const bool location = i >= kSyscLocation && i < kSyscLocation + kSyscLocationWidth;
    if (entry[i] != before[i] && !date && !location) std::abort();
  }
  delete[] entry;
  delete[] stored;
  return 0;
}
