#pragma once
// The fields of one installed-software list entry (823 bytes) as the lookup
// and the update read them (portable). Every text is read inside its field.
#include <cstddef>
#include <string_view>

#include "softwarelist/uplistd.h"

namespace bk::sysc {

// The text of a field of `width` bytes, up to its terminator or the field's end.
std::string_view Field(const unsigned char* entry, std::size_t offset, std::size_t width);

// The resource name of a package name "a.b.NAME[.rest]": the text after the
// second dot, up to the next dot. False without two dots.
bool ResourceNamePart(const unsigned char* entry, std::string_view& part);

bool IsErrorEntry(const unsigned char* entry);
bool HasQualifyingStatus(const unsigned char* entry);
bool IsPlaceholderLocation(const unsigned char* entry);

// Completes the new entry from a stored entry of the same package: the
// carried date and the install location, nothing else.
void Merge(unsigned char* entry, const unsigned char* stored);

// Whether a stored entry is the one of `key` (by second key, or by resource
// name); `malformed` when its package name has no resource name part.
bool Matches(int kind, const unsigned char* stored, std::string_view key, bool& malformed);

}  // namespace bk::sysc
