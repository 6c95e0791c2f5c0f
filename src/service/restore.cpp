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

// A failed restore step: the delete check removes the backup unless it is
// protected; 3 when it could not.
std::uint32_t FailedStep(const char* name, const char* version, const char* generation) {
  vskLogTrace(kVskCategory, "BACKUP_FILE_ACCESS_ERR");
  if (vskCheckDelBackup(name, version, generation) == 2) {
    vskLogTrace(kVskCategory, "vskCheckDelBackup_ERR");
    return 3;
  }
  return 2;
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
  // Nothing is changed before the saved files are known to be readable: a
  // defective archive leaves the installation whole.
  if (vskRestoreCheckSavedFiles() != 0) return FailedStep(name, version, generation);
  if (vskRestoreRemoveAddedPaths() != 0) return FailedStep(name, version, generation);
  if (vskRestoreRemoveAddedContents() != 0) return FailedStep(name, version, generation);
  if (vskRestoreSavedFiles() != 0) return FailedStep(name, version, generation);
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
