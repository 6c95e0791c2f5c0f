#pragma once
// Paths of extracted entries: the separator rewriting of archive names and
// the check that keeps every entry inside its target base directory
// (portable; used by extraction and by the archive check).
#include <cstddef>
#include <string>

namespace bk::ar {

inline constexpr std::size_t kMaxPathLength = 259;  // a 260-byte path buffer with its terminator

// `arConvertSeparators`: splits text into its non-empty parts and joins them
// again. Mode 2 splits at "/" and joins with "\", mode 3 splits at "\" and
// joins with "/" (a drive root "X:\" keeps its slash), mode 4 splits at "\"
// and joins with "\" (doubled, leading and trailing backslashes go).
void arConvertSeparators(std::string& text, int mode);

// The path of an entry below `base`: base + "\" + name with "/" turned into
// "\", doubled, leading and trailing backslashes dropped (unless the path
// starts with "\"), and "\" added after a trailing ":".
std::string EntryPath(const std::string& base, const std::string& name);

// True when `name` (an entry's relative path, "/" or "\" separators) stays
// below the base: not empty, not absolute, no drive or stream colon, no ".."
// component nor one that Windows would turn into it (dots and blanks only).
// Otherwise `why` (may be null) tells what is wrong.
bool IsSafeEntryName(const char* name, std::string* why);

// True for a base path name of an archive (the part after "X:\"): the same
// rules, and "/" for the drive root.
bool IsSafeBasePathName(const char* name, std::string* why);

// True when the archive's file name without directory and extension is 8
// characters starting with "R": creating or extracting such an archive shows
// its progress. False for a null path.
bool IsProgressName(const char* archivePath);

}  // namespace bk::ar
