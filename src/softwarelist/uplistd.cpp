// Lookup and update of installed-software list entries. The update never
// writes the list itself: it edits a work copy (the list's name ending in
// "UPD") and commits it whole, so a failed update leaves the list unchanged.
#include "softwarelist/uplistd.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/text.h"
#include "environment/env.h"
#include "logging/log.h"
#include "platform/file_commit.h"
#include "platform/shared_file_lock.h"
#include "platform/unique_handle.h"
#include "softwarelist/uplistd_entry.h"

namespace {

using bk::sysc::Field;
using bk::sysc::IsErrorEntry;
using bk::sysc::Matches;
using bk::sysc::Merge;
using bk::sysc::ResourceNamePart;

constexpr char kCategory[] = "sysc";
constexpr char kModule[] = "client\\sysc\\syscinfo";

void TraceWindows(const char* info, int line, DWORD error = ::GetLastError()) {
  vskLogApiError(kVskApiWindows, kCategory, info, static_cast<std::int32_t>(error), kModule, line);
}

// Scans one list file. 1 a match was copied, 0 none, -1 the lookup ends.
int LookUpIn(const char* path, int kind, std::string_view key, unsigned char* out) {
  bk::win::unique_hfile file(::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 0;  // skipped, as a missing list
  if (::SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
    TraceWindows("SetFilePointer()", __LINE__);
    return -1;
  }
  bool copied = false;
  for (bool first = true;; first = false) {
    unsigned char stored[kSyscEntrySize];
    DWORD got = 0;
    if (!::ReadFile(file.get(), stored, sizeof stored, &got, nullptr)) {
      TraceWindows("ReadFile()", __LINE__);
      return -1;
    }
    // An empty list, or one that does not hold even one entry, ends the
    // lookup; a partial entry after whole ones is not an entry.
    if (got != sizeof stored) {
      if (first) return -1;
      break;
    }
    bool malformed = false;
    if (Matches(kind, stored, key, malformed)) {
      if (stored[kSyscStatus] != kSyscStatusInstalled) return -1;
      std::memcpy(out, stored, sizeof stored);
      copied = true;
    } else if (malformed) {
      return -1;
    }
  }
  return copied ? 1 : 0;
}

// The lock of a list file is named after its file name.
const char* FileNameOf(const char* path) {
  const char* fileName = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') fileName = p + 1;
  return fileName;
}

bool SetPosition(HANDLE file, LONGLONG distance, DWORD method) {
  LARGE_INTEGER move;
  move.QuadPart = distance;
  return ::SetFilePointerEx(file, move, nullptr, method) != FALSE;
}

// Replaces every entry of the package in the open work copy, or appends the
// entry. 0 done, -1 failed (traced).
int UpdateWorkCopy(HANDLE file, unsigned char* entry, std::string_view key) {
  const unsigned char initial = entry[kSyscPackageName];
  bool replaced = false;
  for (;;) {
    unsigned char stored[kSyscEntrySize];
    DWORD got = 0;
    if (!::ReadFile(file, stored, sizeof stored, &got, nullptr)) {
      TraceWindows("ReadFile()", __LINE__);
      return -1;
    }
    if (got == 0) break;
    if (got != sizeof stored) {  // a partial entry: the list is damaged
      TraceWindows("ReadFile()", __LINE__, ERROR_HANDLE_EOF);
      return -1;
    }
    std::string_view part;
    if (!ResourceNamePart(stored, part)) {
      const std::string_view name = Field(stored, kSyscPackageName, kSyscPackageNameWidth);
      char info[kSyscPackageNameWidth + 128];
      std::snprintf(info, sizeof info, "strchr():Invalid Format Entry appeared from uplistd.bon, go to Next Entry :%.*s",
                    static_cast<int>(name.size()), name.data());
      vskLogApiError(kVskApiCLibrary, kCategory, info, errno, kModule, __LINE__);
      continue;
    }
    if (stored[kSyscPackageName] != initial || part != key) continue;
    Merge(entry, stored);
    if (!SetPosition(file, -static_cast<LONGLONG>(kSyscEntrySize), FILE_CURRENT)) {
      TraceWindows("SetFilePointer()", __LINE__);
      return -1;
    }
    if (!bk::win::WriteAllFile(file, entry, kSyscEntrySize)) {
      TraceWindows("WriteFile()", __LINE__);
      return -1;
    }
    replaced = true;
  }
  if (replaced) return 0;
  if (!SetPosition(file, 0, FILE_END)) {
    TraceWindows("SetFilePointer()", __LINE__);
    return -1;
  }
  if (!bk::win::WriteAllFile(file, entry, kSyscEntrySize)) {
    TraceWindows("WriteFile()", __LINE__);
    return -1;
  }
  return 0;
}

}  // namespace

int vskSyscGetUplistdEntry(int kind, const char* key, unsigned char* entry) {
  if (key == nullptr || key[0] == '\0' || entry == nullptr) return -1;
  if (kind != kSyscByResourceName && kind != kSyscBySecondKey) return -1;
  VskPath lists[2];
  vskEnvGetUplistdPath(lists[0]);
  vskEnvGetSwlistdPath(lists[1]);
  for (const VskPath& path : lists) {
    if (::GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) continue;
    // Read under the list's lock: an update cannot put its work copy in
    // place of a list that is open here.
    const bk::win::SharedFileLock lock(FileNameOf(path), kCategory);
    if (!lock.Held()) return -1;
    const int found = LookUpIn(path, kind, key, entry);
    if (found != 0) return found == 1 ? 0 : -1;
  }
  return -1;
}

int vskSyscPutUplistdEntry(unsigned char* entry) { return vskSyscPutUplistdEntryEx(entry, nullptr); }

int vskSyscPutUplistdEntryEx(unsigned char* entry, const char* listPath) {
  if (entry == nullptr) return -1;
  if (IsErrorEntry(entry) && vskEnvIsInstallPackageNOErrorSet()) return 0;
  std::string_view key;
  if (!ResourceNamePart(entry, key)) return -1;

  VskPath list, work;
  if (listPath != nullptr) {
    if (bk::BoundedLength(listPath, sizeof list) >= sizeof list) return -1;
    bk::CopyText(list, sizeof list, listPath);
  } else {
    vskEnvGetUplistdPath(list);
  }
  const std::size_t length = std::strlen(list);
  if (length < 3) return -1;
  std::memcpy(work, list, length + 1);
  std::memcpy(work + length - 3, "UPD", 3);

  // Other processes of the client update the list too: from the copy to the
  // commit, one update at a time on this machine (one lock per list file).
  const bk::win::SharedFileLock lock(FileNameOf(list), kCategory);
  if (!lock.Held()) return -1;

  const bool listExists = ::GetFileAttributesA(list) != INVALID_FILE_ATTRIBUTES;
  if (listExists && !::CopyFileA(list, work, FALSE)) {
    TraceWindows("CopyFile()", __LINE__);
    return -1;
  }
  bk::win::WorkCopyOps& ops = bk::win::WorkCopyOpsTable();
  // Without a list the work copy starts empty, also over a leftover of an
  // interrupted update. After a copy, the copy must still be there: one that
  // vanished is a failure, never an empty list.
  bk::win::unique_hfile file(ops.createFile(work, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            listExists ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                            nullptr));
  if (!file) {
    TraceWindows("CreateFile()", __LINE__);
    // The copy just made; one held open by a running update cannot be deleted.
    if (listExists) ::DeleteFileA(work);
    return -1;
  }
  int result = UpdateWorkCopy(file.get(), entry, key);
  file.reset();
  if (result == 0) {
    bk::win::CommitFailure failure;
    if (!bk::win::CommitWorkCopy(work, list, &failure, kCategory)) {
      TraceWindows(failure.step == bk::win::CommitStep::kReplace ? "MoveFileEx()" : "FlushFileBuffers()",
                   __LINE__, failure.error);
      result = -1;
    }
  }
  if (result != 0) ::DeleteFileA(work);
  return result;
}

int vskSyscChangeUplistdEntry(const char* resource, void (*change)(unsigned char* entry)) {
  VskPath list;
  vskEnvGetUplistdPath(list);
  // The lookup and the update below take this lock again (it is recursive):
  // no other update comes between them.
  const bk::win::SharedFileLock lock(FileNameOf(list), kCategory);
  if (!lock.Held()) return -1;
  unsigned char entry[kSyscEntrySize] = {};
  if (vskSyscGetUplistdEntry(kSyscByResourceName, resource, entry) != 0) return 1;
  change(entry);
  return vskSyscPutUplistdEntry(entry) == 0 ? 0 : -1;
}
