// The install list of a backup: vskAPIBackup records the one path the
// installation will overwrite, with its attributes, as the single record of
// INSLIST in the backup root.
#include "service/install_list.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/io_faults.h"
#include "logging/log.h"
#include "platform/file_commit.h"
#include "platform/shared_file_lock.h"
#include "platform/unique_handle.h"
#include "service/service.h"

namespace {

constexpr char kModule[] = "client\\bkrv\\vskAPIBackup";

void ApiError(int kind, std::int32_t error, int line, const char* format, const char* path) {
  char info[kVskPathSize + 64];
  std::snprintf(info, sizeof info, format, path);
  vskLogApiError(kind, kVskCategory, info, error, kModule, line);
}

}  // namespace

unsigned char vskInsFlagsFromAttributes(unsigned long attributes) {
  unsigned char flags = kInsInclude;
  if (attributes & FILE_ATTRIBUTE_SYSTEM) flags |= kInsSystem;
  if (attributes & FILE_ATTRIBUTE_HIDDEN) flags |= kInsHidden;
  if (attributes & FILE_ATTRIBUTE_READONLY) flags |= kInsReadOnly;
  if (attributes & FILE_ATTRIBUTE_ARCHIVE) flags |= kInsArchive;
  return flags;
}

void vskInsMakeRecord(const char* path, unsigned char flags, unsigned char record[kInsRecordSize]) {
  std::memset(record, 0, kInsRecordSize);
  const std::size_t length = strnlen(path, kInsPathWidth);
  std::memcpy(record + kInsPath, path, length);
  record[kInsFlags] = flags;
}

void vskInsRecordPath(const unsigned char record[kInsRecordSize], char out[kInsPathWidth + 1]) {
  std::size_t n = 0;
  while (n < kInsPathWidth && record[kInsPath + n] != 0) {
    out[n] = static_cast<char>(record[kInsPath + n]);
    ++n;
  }
  out[n] = '\0';
}

int vskWriteInstallList(const char* path) {
  VskPath root;
  vskEnvGetBackupPath(root);
  char insList[kVskPathSize + 16];
  std::snprintf(insList, sizeof insList, "%s\\%s", root, kInsListFileName);

  // The path as a directory search sees it (the first match of a pattern).
  WIN32_FIND_DATAA found;
  {
    bk::win::unique_hfind search(::FindFirstFileA(path, &found));
    if (!search) {
      const DWORD error = ::GetLastError();
      ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "FindFirstFile: Path=%s", path);
      vskLogTrace(kVskCategory, "File Open Error in vskAPIBackup. path=%s, GetLastError=%d", path,
                  static_cast<int>(error));
      return 1;
    }
  }
  unsigned char record[kInsRecordSize];
  vskInsMakeRecord(path, vskInsFlagsFromAttributes(found.dwFileAttributes), record);

  // A leftover list of an earlier call is replaced, never extended.
  if (::GetFileAttributesA(insList) != INVALID_FILE_ATTRIBUTES && std::remove(insList) != 0) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "remove: Path=%s", insList);
    vskLogTrace(kVskCategory, "File cannot be deleted in vskAPIMakeBackup. path=%s, errno=%d", insList, error);
    return 1;
  }
  bk::win::unique_fd file(::_open(insList, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE));
  if (!file) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_open: Path=%s", insList);
    vskLogTrace(kVskCategory, "File Open Error in vskAPIBackup. path=%s, errno=%d", insList, error);
    return 1;
  }
  if (!vskWriteRecordFd(file.get(), record, kInsRecordSize) || ::_close(file.release()) != 0) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_write: Path=%s", insList);
    vskLogTrace(kVskCategory, "File Access Error in vskAPIBackup. path=%s, errno=%d", insList, error);
    return 1;
  }
  return 0;
}

int vskBackUpPath(const char* name, const char* version, const char* generation, const char* path) {
  // INSLIST is one file for every backup on the machine: from its write to
  // the backup's read of it no other call may write it, or a backup would
  // save another call's path.
  bk::win::SharedFileLock listLock(kInsListFileName, kVskCategory);
  if (!listLock.Held()) {
    vskLogTrace(kVskCategory, "File Access Error in vskAPIBackup. INSLIST is locked by another process");
    return 1;
  }
  if (vskWriteInstallList(path) != 0) return 1;
  return vskAPIMakeBackup(name, version, generation, &listLock) == 0 ? 0 : 1;
}

bool vskWriteRecordFd(int fd, const void* data, unsigned int size) {
  if (bk::io::ShouldFail(bk::io::IoKind::kWrite)) {
    errno = EIO;
    return false;
  }
  return bk::win::WriteAllFd(fd, data, size);
}
