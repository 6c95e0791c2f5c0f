#pragma once
// Removal of a directory tree or a single path (backup directories, and the
// paths an installation added). Failures are traced under the category "far".
//
// The walk goes by the names as the file system has them: wide-character
// calls on the extended form of the path ("\\?\C:\..."), so that a name the
// ANSI code page cannot spell, a name ending in a dot or a blank, or a path
// longer than MAX_PATH is reached and removed like any other. Log lines show
// the ANSI text of the path.
#include <windows.h>

#include <string>
#include <vector>

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

// A path as the removal walks it.
struct VskFarPath {
  std::wstring native;  // extended form; ends with "\" when it names a directory's contents
  std::string shown;    // for log lines
};
// An ANSI path as Windows resolves it (relative parts, "/" separators).
VskFarPath vskFarPath(const char* path);
// `name` (as a directory search gives it) below `parent`.
VskFarPath vskFarChild(const VskFarPath& parent, const wchar_t* name);
// DelBackup_DelDirectory of such a path.
int vskFarRemove(const VskFarPath& path);
// `name` in the ANSI code page; false when it has a character that page
// cannot spell (`out` then holds a stand-in for log lines).
bool vskFarAnsiName(const wchar_t* name, std::string* out);

// The directory search the removal walks with (and the restore's search for
// added contents), and the removal of an entry the search reports as a
// reparse point (bk::win::RemoveLink). Tests replace them to watch which
// directories are entered and to report entries as reparse points (which Wine
// cannot create); vskFarResetSearch restores the system's functions. The
// system's search asks for names only, without 8.3 names.
struct VskFarSearch {
  HANDLE(WINAPI* findFirst)(LPCWSTR pattern, LPWIN32_FIND_DATAW found);
  BOOL(WINAPI* findNext)(HANDLE search, LPWIN32_FIND_DATAW found);
  bool (*removeLink)(const wchar_t* path, DWORD* error);
};
VskFarSearch& vskFarSearch();
void vskFarResetSearch();
// The entries of `directory` through that search, without "." and ".."
// (none when it cannot be searched).
std::vector<WIN32_FIND_DATAW> vskFarChildren(const VskFarPath& directory);
