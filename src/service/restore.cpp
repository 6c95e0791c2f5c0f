#include "service/restore.h"

#include <windows.h>

#include <cstdio>

#include "logging/log.h"
#include "service/resource_key.h"
#include "service/service.h"

namespace {

constexpr char kRestoreModule[] = "client\\bkrv\\rstore";

// Reports the first bad argument (name, then version, then generation).
bool CheckRestoreArguments(const char* name, const char* version, const char* generation) {
  const char* logLine = nullptr;
  if (!vskIsValidArgument(name, kVskNameWidth))
    logLine = "ERROR_INVALID_RESOURCENAME";
  else if (!vskIsValidArgument(version, kVskVersionWidth))
    logLine = "ERROR_INVALID_VER-REVSION";
  else if (!vskIsValidArgument(generation, kVskGenerationWidth))
    logLine = "ERROR_INVALID_GENNO";
  if (logLine == nullptr) return true;
  vskReportInputError(kRestoreModule, __LINE__, logLine, name, version, generation, nullptr, nullptr);
  return false;
}

// A failed restore step. The backup is kept for a rerun, unless its archive
// can never be restored: then the delete check removes it unless it is
// protected; 3 when it could not. One line says which.
std::uint32_t FailedStep(const char* name, const char* version, const char* generation, bool unusable) {
  vskLogTrace(kVskCategory, "BACKUP_FILE_ACCESS_ERR");
  const char* directory = vskRestoreState().directory;
  if (!unusable) {
    vskLogTrace(kVskCategory, "The backup %s is kept for a rerun in vskDoRestore.", directory);
    return 2;
  }
  switch (vskCheckDelBackup(name, version, generation)) {
    case 0:
      vskLogTrace(kVskCategory, "The backup %s is deleted as unusable in vskDoRestore.", directory);
      return 2;
    case 1:
      vskLogTrace(kVskCategory, "The backup %s is unusable and kept as protected in vskDoRestore.", directory);
      return 2;
    default:
      vskLogTrace(kVskCategory, "The backup %s is unusable and could not be deleted in vskDoRestore.", directory);
      vskLogTrace(kVskCategory, "vskCheckDelBackup_ERR");
      return 3;
  }
}

bool HasSavedEntry() {
  const unsigned char* date = vskRestoreState().savedEntry + kVskEntryInstallDate;
  for (int i = 0; i < 12; ++i)
    if (date[i] != ' ') return true;
  return false;
}

}  // namespace

std::uint32_t vskDoRestore(const char* name, const char* version, const char* generation) {
  vskRestoreClearState();
  if (!CheckRestoreArguments(name, version, generation)) return 2;
  if (vskRestoreFindBackup(name, version, generation) != 0) {
    vskLogTrace(kVskCategory, "BACKUP_NO_ENTRIES");
    return 1;
  }
  // Nothing is changed before the saved files are known to be whole: a
  // refused archive leaves the installation and the backup as they are.
  const int checked = vskRestoreCheckSavedFiles();
  if (checked != kVskCheckOk) return FailedStep(name, version, generation, checked == kVskCheckUnusable);
  if (vskRestoreRemoveAddedPaths() != 0) return FailedStep(name, version, generation, false);
  if (vskRestoreRemoveAddedContents() != 0) return FailedStep(name, version, generation, false);
  if (vskRestoreSavedFiles() != 0) return FailedStep(name, version, generation, false);
  vskRestoreRetireUsedBackup();
  if (vskAPIDelBackup(name, version, generation) != 0) {
    vskLogTrace(kVskCategory, "vskAPIDelBackup_ERR");
    return 3;
  }
  if (HasSavedEntry()) vskRestorePutBackEntry();
  return 0;
}

void vskDeleteBackupLoadMarker() {
  VskPath root;
  vskEnvGetBackupPath(root);
  char marker[kVskPathSize + 16];
  std::snprintf(marker, sizeof marker, "%s\\BACKUPLD", root);
  if (::GetFileAttributesA(marker) != INVALID_FILE_ATTRIBUTES) ::DeleteFileA(marker);
}
