#pragma once
// Removal of a directory tree or a single path (backup directories, and the
// paths an installation added). Failures are traced under the category "far".
#include <windows.h>

// Deletes `path` itself (file or whole directory tree); with a trailing
// backslash, deletes the directory's contents and keeps the directory.
// 1 success, 0 failure. The first failure stops the walk of that level;
// what was deleted before it stays deleted.
int DelBackup_DelDirectory(const char* path);

// Deletes one directory-search entry found under `parent`: the full path is
// parent + name when parent ends with a backslash, else parent itself.
// Read-only entries are reset to normal and tried once more. A reparse point
// is removed as a link: the tree it points to is never entered.
// 0 success, else the system error number.
DWORD DelBackup_DelFile(const char* parent, const WIN32_FIND_DATAA& entry);

// The directory search the removal walks with. Tests replace it to watch which
// directories are entered and to report entries as reparse points (which Wine
// cannot create); vskFarResetSearch restores the system's functions.
struct VskFarSearch {
  HANDLE(WINAPI* findFirst)(LPCSTR pattern, LPWIN32_FIND_DATAA found);
  BOOL(WINAPI* findNext)(HANDLE search, LPWIN32_FIND_DATAA found);
};
VskFarSearch& vskFarSearch();
void vskFarResetSearch();
