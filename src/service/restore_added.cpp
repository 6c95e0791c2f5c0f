// The restore's search for added contents. A saved directory was archived
// with its whole tree: whatever lies in it now and is not in the archive was
// added by the installation, inside the directory, where ADDFILE (which names
// only listed paths) cannot see it. It goes before the saved files are put
// back, so that the directories' times are set after the last change inside
// them. So does whatever stands where the archive holds the other kind (a
// file where a directory was saved, or the reverse), so that the saved entry
// can take its place.
//
// The search goes by the names as the file system has them (wide-character
// search and removal), so that a name the ANSI code page cannot spell, a name
// with a trailing dot and a path past MAX_PATH are found and removed too; no
// such name can be in the archive. It is best effort: a path that cannot be
// removed is logged and left, and one line sums the step up.
//
// Links are never saved, so a link that the archive does not name may have
// been there before the installation and is left as it is, unentered. A link
// standing where the archive holds a file or a directory was put there by
// the installation: it is removed as a link, never entered, so that the saved
// entry is recreated in its place and nothing is written through it. Only a
// link that cannot be removed fails the step. A saved folder reached through
// a link on its way (the directories above the listed path, which the backup
// read through as well) is not searched: nothing is removed through a link.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/ar_paths.h"
#include "logging/log.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"
#include "service/restore_checked.h"
#include "service/service.h"
#include "service/tree_removal.h"

namespace {

enum class Held { kNothing, kFile, kDirectory };

class Search {
 public:
  explicit Search(const std::unordered_map<std::string, bool>& saved) : saved_(saved) {}

  // A listed path: only one the archive holds is looked at, and only where
  // it is not reached through a link (which may lead anywhere).
  void Listed(const std::string& path) {
    const VskFarPath at = vskFarPath(path.c_str());
    if (at.native.empty() || HeldAt(path) == Held::kNothing) return;
    if (const std::wstring link = LinkOnTheWay(at.native); !link.empty()) {
      std::string shown;
      vskFarAnsiName(link.c_str() + 4, &shown);  // past "\\?\"
      vskLogTrace(kVskCategory, "ADDED_CONTENTS_NOT_SEARCHED path = %s, below the link %s", path.c_str(),
                  shown.c_str());
      return;
    }
    WIN32_FIND_DATAW found;
    bk::win::unique_hfind search(vskFarSearch().findFirst(at.native.c_str(), &found));
    if (search) Visit(at, found.dwFileAttributes, true);
  }

  unsigned removed = 0, left = 0, linksLeft = 0;

 private:
  // The first directory between the root and `path` (extended form) that is
  // a reparse point, or empty.
  static std::wstring LinkOnTheWay(const std::wstring& path) {
    const bool unc = path.compare(0, 8, L"\\\\?\\UNC\\") == 0;
    // Past "\\?\C:\", or past "\\?\UNC\server\share\".
    std::size_t at = unc ? path.find(L'\\', path.find(L'\\', 8) + 1) : 6;
    while (at != std::wstring::npos && (at = path.find(L'\\', at + 1)) != std::wstring::npos) {
      const std::wstring ancestor = path.substr(0, at);
      const DWORD attributes = ::GetFileAttributesW(ancestor.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ancestor;
    }
    return std::wstring();
  }

  Held HeldAt(const std::string& shown) const {
    if (shown.size() > bk::ar::kMaxPathLength) return Held::kNothing;
    const auto it = saved_.find(vskFoldedPath(shown));
    if (it == saved_.end()) return Held::kNothing;
    return it->second ? Held::kDirectory : Held::kFile;
  }

  // One path found with `attributes`; `spelled`: its name is one the ANSI
  // code page can spell (only such a name can be in the archive).
  void Visit(const VskFarPath& path, DWORD attributes, bool spelled) {
    const Held held = spelled ? HeldAt(path.shown) : Held::kNothing;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (held == Held::kNothing) {
      if (!link) Remove(path, "ADDED_PATH_REMOVED path = %s");
      return;
    }
    if (link) {
      if (!Remove(path, "LINK_REMOVED path = %s")) ++linksLeft;
    } else if (directory != (held == Held::kDirectory)) {
      Remove(path, "OTHER_KIND_REMOVED path = %s");
    } else if (directory) {
      Prune(path);
    }
  }

  bool Remove(const VskFarPath& path, const char* line) {
    if (vskFarRemove(path) == 1) {
      vskLogTrace(kVskCategory, line, path.shown.c_str());
      ++removed;
      return true;
    }
    vskLogTrace(kVskCategory, "ERROR__DelBackup_DelDirectory path = %s", path.shown.c_str());
    ++left;
    return false;
  }

  void Prune(const VskFarPath& directory) {
    for (const WIN32_FIND_DATAW& child : vskFarChildren(directory)) {
      std::string name;
      const bool spelled = vskFarAnsiName(child.cFileName, &name);
      Visit(vskFarChild(directory, child.cFileName), child.dwFileAttributes, spelled);
    }
  }

  const std::unordered_map<std::string, bool>& saved_;
};

}  // namespace

int vskRestoreRemoveAddedContents() {
  const VskRestoreChecked& checked = vskRestoreChecked();
  Search search(checked.saved);
  // The saved directories as the archive saw them: with file-system
  // redirection off (a 32-bit process would otherwise search SysWOW64's
  // folders of the same names).
  bk::win::RedirectionOff redirection;
  if (checked.archive)
    for (const VskListedPath& listed : vskRestoreListedPaths()) search.Listed(listed.path);
  vskLogTrace(kVskCategory, "ADDED_CONTENTS removed = %u, left = %u", search.removed, search.left);
  return search.linksLeft == 0 ? 0 : 30;
}
