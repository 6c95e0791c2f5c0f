#pragma once
// Names as the file system has them (UTF-16) against the ANSI names that the
// service's files, archives and logs hold. A name is taken into ANSI only when
// it converts exactly: no best-fit character (U+0101 would become "a" and name
// another file), no default character ("?" names no file), and the ANSI text
// converts back to the very same name. Directory walks that save files search
// with wide names and use these checks, so that an ANSI search's best fit can
// never hand them another file's name.
#include <windows.h>

#include <string>
#include <vector>

namespace bk::win {

// The exact ANSI form of `wide`; false when it has none.
bool ExactAnsiName(const wchar_t* wide, std::string& ansi);
// The UTF-16 form of an ANSI text (a path the service was given or made).
bool WideFromAnsi(const char* ansi, std::wstring& wide);
// `wide` for a log line: every character without an exact ANSI form is shown
// as <U+XXXX> (a surrogate pair as one code point).
std::string ShownName(const wchar_t* wide);

// One entry of a wide directory search in the ANSI form of the searches' data.
struct AnsiEntry {
  WIN32_FIND_DATAA data;  // a short name without an exact ANSI form is left empty
  bool exact;             // false: the long name has no exact ANSI form
  std::string shown;      // the long name for a log line (ShownName)
};

// Searches `pattern` (ANSI) with wide names; "." and ".." are left out. 0 and
// the entries, or the error of the search's start (ERROR_FILE_NOT_FOUND:
// nothing matches), of a later step (the entries are then incomplete), or of
// its close (closeFailed set; the entries are whole).
DWORD FindAnsiEntries(const std::string& pattern, std::vector<AnsiEntry>& entries, bool& closeFailed);

}  // namespace bk::win
