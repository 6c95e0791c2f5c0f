#include "softwarelist/uplistd_entry.h"

#include <cstring>

#include "common/text.h"

namespace bk::sysc {

std::string_view Field(const unsigned char* entry, std::size_t offset, std::size_t width) {
  const char* text = reinterpret_cast<const char*>(entry + offset);
  return {text, bk::BoundedLength(text, width)};
}

// The resource name of a package name "a.b.NAME[.rest]": the text after the
// second dot, up to the next dot. False without two dots. The part is taken
// from the package name's field as it is, whatever its length: a long name is
// compared whole, never cut and never copied anywhere.
bool ResourceNamePart(const unsigned char* entry, std::string_view& part) {
  const std::string_view name = Field(entry, kSyscPackageName, kSyscPackageNameWidth);
  const std::size_t first = name.find('.');
  if (first == std::string_view::npos) return false;
  const std::size_t second = name.find('.', first + 1);
  if (second == std::string_view::npos) return false;
  part = name.substr(second + 1);
  part = part.substr(0, part.find('.'));
  return true;
}

bool IsErrorEntry(const unsigned char* entry) { return (entry[kSyscStatus] & 0x0F) != 0; }

bool HasQualifyingStatus(const unsigned char* entry) {
  const unsigned char status = entry[kSyscStatus];
  const unsigned char sub = entry[kSyscSubStatus];
  return status == kSyscStatusInstalled || (status == kSyscStatusPending && (sub == 2 || sub == 3));
}

bool IsPlaceholderLocation(const unsigned char* entry) {
  return std::memcmp(entry + kSyscLocation, "#:#", 3) == 0;
}

void Merge(unsigned char* entry, const unsigned char* stored) {
  if (IsErrorEntry(entry)) {
    const std::size_t from = IsErrorEntry(stored) ? kSyscCarriedDate : kSyscInstallDate;
    std::memcpy(entry + kSyscCarriedDate, stored + from, kSyscDateWidth);
  }
  const unsigned char type = entry[kSyscType];
  if ((type == 'S' || type == 'M') && HasQualifyingStatus(entry) && IsPlaceholderLocation(entry) &&
      HasQualifyingStatus(stored) && stored[kSyscLocation] != '\0' && !IsPlaceholderLocation(stored)) {
    std::memcpy(entry + kSyscLocation, stored + kSyscLocation, kSyscLocationWidth);
  }
}

bool Matches(int kind, const unsigned char* stored, std::string_view key, bool& malformed) {
  malformed = false;
  if (kind == kSyscBySecondKey) return Field(stored, kSyscSecondKey, kSyscSecondKeyWidth) == key;
  std::string_view part;
  if (!ResourceNamePart(stored, part)) {
    malformed = true;
    return false;
  }
  return part == key;
}

}  // namespace bk::sysc
