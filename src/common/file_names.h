#pragma once
// Names that the client's files hand to us (an archive name, a HOSTnnnn
// directory) are joined to one of our folders. They are used only when they
// are one plain element of that folder: no separator, no drive, no "." or
// "..", nothing that Windows would read as something else.
#include <cstddef>

namespace bk {

// True when `name` (zero-terminated) is a single plain file name: not empty,
// no "\", "/" or ":", no control character or wildcard, not made of dots and
// spaces only (".", "..", "...": Windows drops trailing dots and spaces),
// not a device name (CON, NUL, COM1, ... also with an extension).
bool IsPlainFileName(const char* name);

// The number of a "HOSTnnnn" directory name ("HOST" in any case, four
// decimal digits, nothing more); -1 for anything else.
int HostDirNumber(const char* name);

}  // namespace bk
