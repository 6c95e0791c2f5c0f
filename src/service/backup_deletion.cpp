// Deleting backups: unconditionally (after a restore, or to undo a backup that
// failed half way) by filtering BACKMNG through its work copy, and checked
// against the protect-until date through the in-memory list.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "logging/log.h"
#include "platform/file_commit.h"
#include "platform/shared_file_lock.h"
#include "platform/unique_handle.h"
#include "service/management_file.h"
#include "service/resource_key.h"
#include "service/service.h"
#include "service/tree_removal.h"
#include "softwarelist/uplistd.h"

static_assert(kVskEntrySize == kSyscEntrySize && kVskEntryInstallDate == kSyscInstallDate);

namespace {

constexpr char kModule[] = "client\\bkrv\\vskapidb";

void ApiError(int kind, std::int32_t error, int line, const char* format, const char* a,
              const char* b = nullptr) {
  char info[2 * kVskPathSize + 64];
  std::snprintf(info, sizeof info, format, a, b);
  vskLogApiError(kind, kVskCategory, info, error, kModule, line);
}

// Deletes a work copy; false (reported) when it exists and stays.
bool RemoveWorkCopy(const char* workPath) {
  if (::GetFileAttributesA(workPath) == INVALID_FILE_ATTRIBUTES) return true;
  if (::_unlink(workPath) == 0) return true;
  const int error = errno;
  ApiError(kVskApiCLibrary, error, __LINE__, "_unlink: Path=%s", workPath);
  vskLogTrace(kVskCategory, "ERROR__unlink path = %s,errno=%d", workPath, error);
  return false;
}

struct Files {
  const char* root;
  const char* mngPath;
  const char* workPath;
  int mng;   // BACKMNG, read-only
  int work;  // BACKMNGW, read-write
};

// The work copy's header count goes down by one for a removed record.
bool DecrementWorkHeader(const Files& f) {
  unsigned char header[kBkmnHeaderSize];
  if (::_lseek(f.work, 0, SEEK_SET) != 0 || vskBKRVReadFull(f.work, header, sizeof header) != 2) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_read: Path=%s", f.workPath);
    vskLogTrace(kVskCategory, "ERROR_NOT_READ_BACKUPCPYMNGFILE,errno=%d", error);
    return false;
  }
  bk::StoreLe16(header, static_cast<std::uint16_t>(bk::LoadLe16(header) - 1u));
  if (::_lseek(f.work, 0, SEEK_SET) != 0 || !bk::win::WriteAllFd(f.work, header, sizeof header) ||
      ::_lseek(f.work, 0, SEEK_END) < 0) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_write: Path=%s", f.workPath);
    vskLogTrace(kVskCategory, "ERROR_NOT_WRITE_BACKUPCPYMNGFILE,errno=%d", error);
    return false;
  }
  return true;
}

// Copies every record except those of the key into the work copy, removing the
// backup directory of the first match. 0 done (found tells whether the key
// was there), 1 stopped by an error (logged).
int FilterRecords(const Files& f, const char* name, const char* version, const char* generation,
                  bool& found) {
  bool directoryDone = false;
  for (;;) {
    unsigned char record[kBkmnRecordSize];
    errno = 0;
    const int got = vskBKRVReadFull(f.mng, record, sizeof record);
    if (got == 0) return 0;
    if (got < 0) {
      vskLogTrace(kVskCategory, "ERROR__read path = %s,errno=%d", f.mngPath, errno);
      return 1;
    }
    if (got != static_cast<int>(sizeof record)) {
      vskLogTrace(kVskCategory, "ERROR__read path = %s, %d BytesRead, %d BytesToRead", f.mngPath, got,
                  static_cast<int>(sizeof record));
      return 1;
    }
    if (!vskKeyMatches(record + kBkmnName, name, version, generation)) {
      if (!bk::win::WriteAllFd(f.work, record, sizeof record)) {
        const int error = errno;
        ApiError(kVskApiCLibrary, error, __LINE__, "_write:Path=%s", f.workPath);
        vskLogTrace(kVskCategory, "ERROR_NOT_WRITE_BACKUPCPYMNGFILE,errno=%d", error);
        return 1;
      }
      continue;
    }
    found = true;
    if (!directoryDone) {
      directoryDone = true;
      VskPath directory;
      if (!vskBKRVBackupDirPath(f.root, record, directory)) {
        vskLogTrace(kVskCategory, "Invalid Backup Directory Name in vskAPIDelBackup. name=%.8s",
                    reinterpret_cast<const char*>(record + kBkmnDirectory));
      } else if (::GetFileAttributesA(directory) != INVALID_FILE_ATTRIBUTES &&
                 DelBackup_DelDirectory(directory) != 1) {
        vskLogTrace(kVskCategory, "ERROR_NOT_DELEATE_BACKUPFILE");
        return 1;
      }
    }
    if (!DecrementWorkHeader(f)) return 1;
  }
}

// A length other than header + whole records means a damaged file: refused
// before any backup directory is touched.
bool HasWholeRecords(int fd, const char* path) {
  struct _stati64 status;
  if (::_fstati64(fd, &status) != 0) return true;  // the reads below will tell
  if (status.st_size < static_cast<__int64>(kBkmnHeaderSize)) return true;
  if ((status.st_size - static_cast<__int64>(kBkmnHeaderSize)) % static_cast<__int64>(kBkmnRecordSize) == 0)
    return true;
  vskLogTrace(kVskCategory, "ERROR__read path = %s, %lld bytes, not a header and whole records", path,
              static_cast<long long>(status.st_size));
  return false;
}

// Marks the resource's installed-software entry as no longer backed up
// (read and stored under one lock).
void ClearBackedUpDate(const char* name) {
  char resource[kVskPathSize];
  std::snprintf(resource, sizeof resource, "%s", name);
  for (std::size_t n = std::strlen(resource); n > 0 && resource[n - 1] == ' '; --n) resource[n - 1] = '\0';
  const int changed = vskSyscChangeUplistdEntry(
      resource, [](unsigned char* entry) { std::memset(entry + kSyscBackupDate, ' ', kSyscDateWidth); });
  if (changed < 0) vskLogTrace(kVskCategory, "vskSyscPutUplistdEntry Error in vskAPIDelBackup.");
}

}  // namespace

namespace {

// The backup root and its management file; 0, or the deletion's result.
int FindManagementFile(VskPath& root, VskPath& mngPath, VskPath& workPath) {
  vskEnvGetBackupPath(root);
  struct _stati64 status;
  if (::_stati64(root, &status) != 0) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_stat: Path=%s", root);
    vskLogTrace(kVskCategory, "ERROR_BACKUPPATH_NOT_FOUND(%s),errno=%d", root, error);
    return 5;
  }
  if (!vskBKRVMngPath(root, kBkmnFileName, mngPath) || !vskBKRVMngPath(root, kBkmnWorkFileName, workPath))
    return 30;
  if (::_stati64(mngPath, &status) != 0) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_stat: Path=%s", mngPath);
    vskLogTrace(kVskCategory, "ERROR_BACKUPMNGFILE_NOT_FOUND(%s),errno=%d", mngPath, error);
    return 10;
  }
  return 0;
}

// BACKMNG for reading and a fresh BACKMNGW; false (reported) when either
// cannot be opened.
bool OpenBoth(const char* mngPath, const char* workPath, bk::win::unique_fd& mng, bk::win::unique_fd& work) {
  mng.reset(::_open(mngPath, _O_RDONLY | _O_BINARY));
  if (!mng) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_open: Path=%s", mngPath);
    vskLogTrace(kVskCategory, "ERROR_NOT_OPEN_BACKUPMNGFILE(%s),errno=%d", mngPath, error);
    return false;
  }
  work.reset(bk::win::WorkCopyOpsTable().openFd(workPath, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY,
                                                 _S_IREAD | _S_IWRITE));
  if (!work) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_open: Path=%s", workPath);
    vskLogTrace(kVskCategory, "ERROR_NOT_OPEN_BACKUPCPYMNGFILE(%s),errno=%d", workPath, error);
    return false;
  }
  return true;
}

// The header, copied as it stands; false (reported) when it cannot be read
// whole or written.
bool CopyHeader(int mng, int work, const char* mngPath, const char* workPath) {
  unsigned char header[kBkmnHeaderSize];
  errno = 0;
  const int got = vskBKRVReadFull(mng, header, sizeof header);
  if (got != static_cast<int>(sizeof header)) {
    const int error = errno;
    char info[kVskPathSize + 64];
    std::snprintf(info, sizeof info, "_read, %d BytesRead, %d BytesToRead, Path=%s", got,
                  static_cast<int>(sizeof header), mngPath);
    vskLogApiError(kVskApiCLibrary, kVskCategory, info, error, kModule, __LINE__);
    // A file shorter than its header is no failed call: no errno to give.
    if (got < 0)
      vskLogTrace(kVskCategory, "ERROR_NOT_READ_BACKUPMNGFILE,errno=%d", error);
    else
      vskLogTrace(kVskCategory, "ERROR_NOT_READ_BACKUPMNGFILE, %d BytesRead, %d BytesToRead", got,
                  static_cast<int>(sizeof header));
    return false;
  }
  if (!bk::win::WriteAllFd(work, header, sizeof header)) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_write: Path=%s", workPath);
    vskLogTrace(kVskCategory, "ERROR_NOT_WRITE_BACKUPCPYMNGFILE,errno=%d", error);
    return false;
  }
  return true;
}

// BACKMNG into BACKMNGW without the key's records (their directories
// deleted on the way). 0 done (`found` tells whether the key had any); 30
// the files could not be opened or the header copied; 1 stopped part way.
// On a failure the work copy is removed.
int FilterIntoWorkCopy(const char* root, const char* mngPath, const char* workPath, const char* name,
                       const char* version, const char* generation, bool& found) {
  bk::win::unique_fd mng, work;
  if (!OpenBoth(mngPath, workPath, mng, work)) return 30;
  if (!CopyHeader(mng.get(), work.get(), mngPath, workPath)) {
    mng.reset();
    work.reset();
    RemoveWorkCopy(workPath);
    return 30;
  }
  const Files files{root, mngPath, workPath, mng.get(), work.get()};
  int stopped = HasWholeRecords(mng.get(), mngPath) ? FilterRecords(files, name, version, generation, found) : 1;
  mng.reset();
  if (::_close(work.release()) != 0 && stopped == 0) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_write: Path=%s", workPath);
    vskLogTrace(kVskCategory, "ERROR_NOT_WRITE_BACKUPCPYMNGFILE,errno=%d", error);
    stopped = 1;
  }
  if (stopped == 0) return 0;
  RemoveWorkCopy(workPath);
  return 1;
}

// BACKMNGW over BACKMNG. Nothing removed: BACKMNG already holds exactly
// these records. A commit that fails leaves the records listed, and the
// deletion is no success. The work copy goes in every case.
bool CommitFiltered(const char* workPath, const char* mngPath, bool found) {
  if (found) {
    bk::win::CommitFailure failure;
    if (!bk::win::CommitWorkCopy(workPath, mngPath, &failure, kVskCategory)) {
      ApiError(kVskApiWindows, static_cast<std::int32_t>(failure.error), __LINE__, "CopyFile: %s To %s", workPath,
               mngPath);
      vskLogTrace(kVskCategory, "ERROR_CopyFile GetLastError = %d", static_cast<int>(failure.error));
      RemoveWorkCopy(workPath);
      return false;
    }
  }
  RemoveWorkCopy(workPath);
  return true;
}

}  // namespace

int vskAPIDelBackup(const char* name, const char* version, const char* generation) {
  if (!vskIsValidKey(name, version, generation)) return 1;
  VskPath root, mngPath, workPath;
  if (const int missing = FindManagementFile(root, mngPath, workPath)) return missing;
  bool found = false;
  {
    // From the copy to the commit no other writer may change BACKMNG.
    const bk::win::SharedFileLock lock(kBkmnFileName, kVskCategory);
    if (!lock.Held()) return 30;
    if (!RemoveWorkCopy(workPath)) return 30;
    if (const int failed = FilterIntoWorkCopy(root, mngPath, workPath, name, version, generation, found))
      return failed;
    if (!CommitFiltered(workPath, mngPath, found)) return 1;
  }
  if (!found) return 10;
  ClearBackedUpDate(name);
  return 0;
}

int vskCheckDelBackup(const char* name, const char* version, const char* generation) {
  int result = 2;
  SYSTEMTIME now;
  ::GetSystemTime(&now);
  char today[16];
  std::snprintf(today, sizeof today, "%4d%2d%2d", now.wYear, now.wMonth, now.wDay);

  unsigned char record[kBkmnRecordSize];
  if (vskIsValidKey(name, version, generation) && vskBKRVOpenBKMN(record) == 1) {
    do {
      if (!vskKeyMatches(record + kBkmnName, name, version, generation)) continue;
      if (std::memcmp(today, record + kBkmnProtectUntil, kBkmnProtectWidth) < 0) {
        vskLogTrace(kVskCategory, "This Backup must not be deleted in vskCheckDelBackup.");
        result = 1;
      } else {
        result = vskBKRVDeleteBKMN(record) == 1 ? 0 : 2;
      }
      break;
    } while (vskBKRVNextBKMN(record) == 1);
  }
  vskBKRVCloseBKMN();
  return result;
}
