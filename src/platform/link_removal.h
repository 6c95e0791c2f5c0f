#pragma once
// Removing a reparse point (junction, symbolic link, mount point) itself,
// never what it points to (Windows).
#include <windows.h>

namespace bk::win {

// Removes the link at `path` (in any form the wide calls take, "\\?\"
// included). It goes only when, opened as a link, it shows as one: a system
// that lists a link as a reparse point but follows it when it is opened (Wine
// with a Unix symbolic link, whose removal removes the directory it points
// to when that is empty) keeps it, and the call fails with
// ERROR_NOT_A_REPARSE_POINT. False with the error in *error.
bool RemoveLink(const wchar_t* path, DWORD* error);

}  // namespace bk::win
