#include "service/tree_removal.h"

#include <cwchar>
#include <vector>

#include "logging/log.h"
#include "platform/link_removal.h"
#include "platform/unique_handle.h"

namespace {

constexpr char kFarCategory[] = "far";

// A search of a directory's names without their 8.3 names (which Windows 7
// and later, and Wine, then need not make up for every entry), and with large
// fetches; where the system knows neither (Windows XP), a plain search.
HANDLE WINAPI FindNamesOnly(LPCWSTR pattern, LPWIN32_FIND_DATAW found) {
  constexpr auto kFindExInfoBasic = static_cast<FINDEX_INFO_LEVELS>(1);
  constexpr DWORD kFindFirstExLargeFetch = 2;
  const HANDLE search =
      ::FindFirstFileExW(pattern, kFindExInfoBasic, found, FindExSearchNameMatch, nullptr, kFindFirstExLargeFetch);
  if (search != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_INVALID_PARAMETER) return search;
  return ::FindFirstFileW(pattern, found);
}

constexpr VskFarSearch kSystemSearch = {FindNamesOnly, ::FindNextFileW, bk::win::RemoveLink};
VskFarSearch g_search = kSystemSearch;

template <typename Text>
bool EndsWithBackslash(const Text& path) {
  return !path.empty() && path.back() == '\\';
}

// The error of the call that just failed; never 0, so that a failure can
// never be taken for success.
DWORD LastErrorOfFailure() {
  const DWORD error = ::GetLastError();
  return error != 0 ? error : ERROR_GEN_FAILURE;
}

std::wstring Wide(const char* text) {
  const int n = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

// The extended form of a full path: "\\?\C:\..." or "\\?\UNC\server\...".
std::wstring Extended(const std::wstring& full) {
  if (full.compare(0, 4, L"\\\\?\\") == 0) return full;
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// Runs `remove`; when it fails, resets the attributes (a read-only entry
// cannot be removed) and tries once more. 0 or the error of the last try.
template <typename Remove>
DWORD RemoveWithRetry(const std::wstring& path, Remove remove) {
  if (remove(path.c_str())) return 0;
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (remove(path.c_str())) return 0;
  return LastErrorOfFailure();
}

DWORD DelFile(const VskFarPath& parent, const WIN32_FIND_DATAW& entry);

int DelDirectory(const VskFarPath& path) {
  const bool contents = EndsWithBackslash(path.native);
  const std::wstring pattern = contents ? path.native + L"*.*" : path.native;
  WIN32_FIND_DATAW current;
  bk::win::unique_hfind search(path.native.empty() ? INVALID_HANDLE_VALUE
                                                   : g_search.findFirst(pattern.c_str(), &current));
  if (!search) {
    const long error = path.native.empty() ? ERROR_INVALID_NAME : static_cast<long>(::GetLastError());
    vskLogTrace(kFarCategory, "FindFirstFile Error: Path=%s, GetLastError=%ld, func=DelBackup_DelDirectory.",
                (contents ? path.shown + "*.*" : path.shown).c_str(), error);
    return 0;
  }
  // The next entry is fetched before the current one is deleted, so that the
  // deletion cannot disturb the search's position.
  for (;;) {
    WIN32_FIND_DATAW next;
    const bool more = g_search.findNext(search.get(), &next) != FALSE;
    if (DelFile(path, current) != 0) return 0;
    if (!more) return 1;
    current = next;
  }
}

DWORD DelFile(const VskFarPath& parent, const WIN32_FIND_DATAW& entry) {
  const wchar_t* name = entry.cFileName;
  if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) return 0;
  const VskFarPath full = EndsWithBackslash(parent.native) ? vskFarChild(parent, name) : parent;

  const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  DWORD error = 0;
  if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A junction or link is removed itself; entering it, or deleting the
    // file it names, would delete what it points to.
    if (!g_search.removeLink(full.native.c_str(), &error) && error == 0) error = ERROR_GEN_FAILURE;
  } else if (directory) {
    DelDirectory(VskFarPath{full.native + L"\\", full.shown + "\\"});
    error = RemoveWithRetry(full.native, [](const wchar_t* p) { return ::RemoveDirectoryW(p) != FALSE; });
  } else {
    error = RemoveWithRetry(full.native, [](const wchar_t* p) { return ::DeleteFileW(p) != FALSE; });
  }
  if (error != 0) {
    vskLogTrace(kFarCategory, directory ? "RemoveDirectory Error: Path=%s, GetLastError=%ld, func=DelBackup_DelFile."
                                        : "DeleteFile Error: Path=%s, GetLastError=%ld, func=DelBackup_DelFile.",
                full.shown.c_str(), static_cast<long>(error));
  }
  return error;
}

}  // namespace

VskFarSearch& vskFarSearch() { return g_search; }
void vskFarResetSearch() { g_search = kSystemSearch; }

std::vector<WIN32_FIND_DATAW> vskFarChildren(const VskFarPath& directory) {
  std::vector<WIN32_FIND_DATAW> children;
  WIN32_FIND_DATAW found;
  bk::win::unique_hfind search(g_search.findFirst((directory.native + L"\\*").c_str(), &found));
  if (!search) return children;
  do {
    if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0)
      children.push_back(found);
  } while (g_search.findNext(search.get(), &found));
  return children;
}

bool vskFarAnsiName(const wchar_t* name, std::string* out) {
  const UINT page = ::GetACP();
  BOOL lossy = FALSE;
  // The UTF-8 page spells every name and takes no default character.
  BOOL* usedDefault = page == CP_UTF8 ? nullptr : &lossy;
  const DWORD flags = page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int n = ::WideCharToMultiByte(page, flags, name, -1, nullptr, 0, nullptr, usedDefault);
  if (n <= 0) {
    // (assign of one character: GCC 12 at -O3 warns on the copy of a literal here)
    out->assign(1, '?');
    return false;
  }
  std::vector<char> text(static_cast<std::size_t>(n));
  ::WideCharToMultiByte(page, flags, name, -1, text.data(), n, nullptr, usedDefault);
  *out = text.data();
  return !lossy;
}

VskFarPath vskFarPath(const char* path) {
  VskFarPath out;
  out.shown = path;
  const std::wstring wide = Wide(path);
  if (wide.empty()) return out;
  const DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return out;
  std::wstring full(n, L'\0');
  const DWORD got = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (got == 0 || got >= n) return out;
  full.resize(got);
  out.native = Extended(full);
  return out;
}

VskFarPath vskFarChild(const VskFarPath& parent, const wchar_t* name) {
  std::string shownName;
  vskFarAnsiName(name, &shownName);
  VskFarPath child;
  child.native = parent.native + (EndsWithBackslash(parent.native) ? L"" : L"\\") + name;
  child.shown = parent.shown + (EndsWithBackslash(parent.shown) ? "" : "\\") + shownName;
  return child;
}

int vskFarRemove(const VskFarPath& path) { return DelDirectory(path); }

int DelBackup_DelDirectory(const char* path) {
  if (path == nullptr) return 0;
  return DelDirectory(vskFarPath(path));
}

DWORD DelBackup_DelFile(const char* parent, const WIN32_FIND_DATAA& entry) {
  if (parent == nullptr) return ERROR_INVALID_PARAMETER;
  WIN32_FIND_DATAW wide{};
  wide.dwFileAttributes = entry.dwFileAttributes;
  const std::wstring name = Wide(entry.cFileName);
  if (name.size() >= MAX_PATH) return ERROR_INVALID_PARAMETER;
  std::wcscpy(wide.cFileName, name.c_str());
  return DelFile(vskFarPath(parent), wide);
}
