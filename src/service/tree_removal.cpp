#include "service/tree_removal.h"

#include <cstring>
#include <string>

#include "logging/log.h"
#include "platform/unique_handle.h"

namespace {

constexpr char kFarCategory[] = "far";
constexpr VskFarSearch kSystemSearch = {::FindFirstFileA, ::FindNextFileA};
VskFarSearch g_search = kSystemSearch;

bool EndsWithBackslash(const char* path) {
  const std::size_t length = std::strlen(path);
  return length > 0 && path[length - 1] == '\\';
}

// The error of the call that just failed; never 0, so that a failure can
// never be taken for success.
DWORD LastErrorOfFailure() {
  const DWORD error = ::GetLastError();
  return error != 0 ? error : ERROR_GEN_FAILURE;
}

// Runs `remove`; when it fails, resets the attributes (a read-only entry
// cannot be removed) and tries once more. 0 or the error of the last try.
template <typename Remove>
DWORD RemoveWithRetry(const std::string& path, Remove remove) {
  if (remove(path.c_str())) return 0;
  ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (remove(path.c_str())) return 0;
  return LastErrorOfFailure();
}

}  // namespace

VskFarSearch& vskFarSearch() { return g_search; }
void vskFarResetSearch() { g_search = kSystemSearch; }

int DelBackup_DelDirectory(const char* path) {
  if (path == nullptr) return 0;
  const std::string pattern = EndsWithBackslash(path) ? std::string(path) + "*.*" : std::string(path);
  WIN32_FIND_DATAA current;
  bk::win::unique_hfind search(g_search.findFirst(pattern.c_str(), &current));
  if (!search) {
    vskLogTrace(kFarCategory, "FindFirstFile Error: Path=%s, GetLastError=%ld, func=DelBackup_DelDirectory.",
                pattern.c_str(), static_cast<long>(::GetLastError()));
    return 0;
  }
  // The next entry is fetched before the current one is deleted, so that the
  // deletion cannot disturb the search's position.
  for (;;) {
    WIN32_FIND_DATAA next;
    const bool more = g_search.findNext(search.get(), &next) != FALSE;
    if (DelBackup_DelFile(path, current) != 0) return 0;
    if (!more) return 1;
    current = next;
  }
}

DWORD DelBackup_DelFile(const char* parent, const WIN32_FIND_DATAA& entry) {
  if (parent == nullptr) return ERROR_INVALID_PARAMETER;
  const char* name = entry.cFileName;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return 0;
  const std::string full = EndsWithBackslash(parent) ? std::string(parent) + name : std::string(parent);

  if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    // A junction or directory link is removed itself; entering it would
    // delete the files of the directory it points to.
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) DelBackup_DelDirectory((full + "\\").c_str());
    const DWORD error = RemoveWithRetry(full, [](const char* p) { return ::RemoveDirectoryA(p) != FALSE; });
    if (error != 0) {
      vskLogTrace(kFarCategory, "RemoveDirectory Error: Path=%s, GetLastError=%ld, func=DelBackup_DelFile.",
                  full.c_str(), static_cast<long>(error));
    }
    return error;
  }
  // Files, and file links (which DeleteFile removes without touching their target).
  const DWORD error = RemoveWithRetry(full, [](const char* p) { return ::DeleteFileA(p) != FALSE; });
  if (error != 0) {
    vskLogTrace(kFarCategory, "DeleteFile Error: Path=%s, GetLastError=%ld, func=DelBackup_DelFile.",
                full.c_str(), static_cast<long>(error));
  }
  return error;
}
