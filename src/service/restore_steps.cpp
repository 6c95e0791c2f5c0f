// The steps of a restore: find the backup of the key, check its saved files,
// remove what the installation added, put the saved files back, and put the
// installed-software entry back as it was saved.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/ar_create.h"
#include "archive/ar_extract.h"
#include "archive/ar_paths.h"
#include "logging/log.h"
#include "platform/unique_handle.h"
#include "service/backup_sums.h"
#include "service/install_list.h"
#include "service/management_file.h"
#include "service/resource_key.h"
#include "service/restore_checked.h"
#include "service/service.h"
#include "service/tree_removal.h"
#include "softwarelist/uplistd.h"

namespace {

constexpr char kModule[] = "client\\bkrv\\rstore";

// Traces a failed or short record read of `path` (errno as the read left it).
void TraceShortRead(int got, std::size_t wanted, const char* path, int line) {
  const int error = errno;
  char info[kVskPathSize + 96];
  std::snprintf(info, sizeof info, "_read: %d BytesRead, %d BytesToRead, Path=%s", got < 0 ? -1 : got,
                static_cast<int>(wanted), path);
  vskLogApiError(kVskApiCLibrary, kVskCategory, info, error, kModule, line);
  vskLogTrace(kVskCategory, "ERROR__read path = %s,errno=%d", path, error);
}

void ApiError(std::int32_t error, int line, const char* format, const char* path) {
  char info[kVskPathSize + 64];
  std::snprintf(info, sizeof info, format, path);
  vskLogApiError(kVskApiCLibrary, kVskCategory, info, error, kModule, line);
}

bool Exists(const char* path) { return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// A file of the restore directory.
void BackupFile(const char* fileName, char* out, std::size_t size) {
  std::snprintf(out, size, "%s\\%s", vskRestoreState().directory, fileName);
}

// Scans BACKMNG for the key: 0 and the record in `record`, 1 not found, or
// an outcome of the find step.
int ScanManagementFile(const char* mngPath, const char* name, const char* version,
                       const char* generation, unsigned char* record) {
  bk::win::unique_fd mng(::_open(mngPath, _O_RDONLY | _O_BINARY));
  if (!mng) {
    const int error = errno;
    ApiError(error, __LINE__, "_open: Path=%s", mngPath);
    vskLogTrace(kVskCategory, "ERROR_NOT_OPEN_BACKUPMNGFILE(%s),errno=%d", mngPath, error);
    return 30;
  }
  unsigned char header[kBkmnHeaderSize];
  if (vskBKRVReadFull(mng.get(), header, sizeof header) != static_cast<int>(sizeof header)) {
    const int error = errno;
    ApiError(error, __LINE__, "_read: Path=%s", mngPath);
    vskLogTrace(kVskCategory, "ERROR_NOT_READ_BACKUPMNGFILE,errno=%d", error);
    return 30;
  }
  for (;;) {
    const int got = vskBKRVReadFull(mng.get(), record, kBkmnRecordSize);
    if (got != static_cast<int>(kBkmnRecordSize)) {
      // The end of the file after the last record only means that no record
      // matched ("BACKUP_NO_ENTRIES" follows): no read failure is reported.
      if (got != 0) TraceShortRead(got, kBkmnRecordSize, mngPath, __LINE__);
      return 1;
    }
    if (vskKeyMatches(record + kBkmnName, name, version, generation)) return 0;
  }
}

}  // namespace

int vskRestoreFindBackup(const char* name, const char* version, const char* generation) {
  VskPath root;
  vskEnvGetBackupPath(root);
  struct _stat status;
  if (::_stat(root, &status) != 0) {
    const int error = errno;
    ApiError(error, __LINE__, "_stat: Path=%s", root);
    vskLogTrace(kVskCategory, "ERROR_BACKUPPATH_NOT_FOUND(%s),errno=%d", root, error);
    return 5;
  }
  VskPath mngPath;
  if (!vskBKRVMngPath(root, kBkmnFileName, mngPath)) return 10;
  if (::_stat(mngPath, &status) != 0) {
    const int error = errno;
    ApiError(error, __LINE__, "_stat: Path=%s", mngPath);
    vskLogTrace(kVskCategory, "ERROR_BACKUPMNGFILE_NOT_FOUND(%s),errno=%d", mngPath, error);
    return 10;
  }
  std::unique_ptr<unsigned char[]> record(new (std::nothrow) unsigned char[kBkmnRecordSize]);
  if (!record) {
    vskLogApiError(kVskApiCLibrary, kVskCategory, "malloc: Size=895", ENOMEM, kModule, __LINE__);
    vskLogTrace(kVskCategory, "ERROR_malloc size = %d", static_cast<int>(kBkmnRecordSize));
    return 30;
  }
  const int scanned = ScanManagementFile(mngPath, name, version, generation, record.get());
  if (scanned == 30) return 30;
  if (scanned != 0) return 10;

  VskRestoreState& state = vskRestoreState();
  std::memcpy(state.savedEntry, record.get() + kBkmnEntry, kSyscEntrySize);
  // A name this service never writes names no directory of the backup root;
  // its record is stale and goes as one whose directory is gone.
  if (!vskBKRVBackupDirPath(root, record.get(), state.directory)) {
    vskLogTrace(kVskCategory, "Invalid Backup Directory Name in vskDoRestore. name=%.8s",
                reinterpret_cast<const char*>(record.get() + kBkmnDirectory));
    state.directory[0] = '\0';
    vskCheckDelBackup(name, version, generation);
    return 10;
  }
  if (Exists(state.directory)) return 0;
  vskCheckDelBackup(name, version, generation);
  return 10;
}

namespace {

VskRestoreChecked g_checked;

void CollectEntry(void* context, const char* path, bool directory) {
  static_cast<VskRestoreChecked*>(context)->saved[vskFoldedPath(path)] = directory;
}

// A check that refuses the backup: the coded event names what is wrong.
int Refused(int line, const char* what, const std::string& why) {
  char text[kVskPathSize + 640];
  std::snprintf(text, sizeof text, "%s: %s, Backup=%s", what, why.c_str(), vskRestoreState().directory);
  vskLogEvent(kVskMsgInstallError, kVskCategory, text, 0, kModule, line);
  vskLogTrace(kVskCategory, "%s", text);
  return kVskCheckRefused;
}

}  // namespace

VskRestoreChecked& vskRestoreChecked() { return g_checked; }

std::vector<VskListedPath> vskRestoreListedPaths() {
  char backList[kVskPathSize + 16];
  BackupFile(kBackListFileName, backList, sizeof backList);
  std::vector<VskListedPath> listed;
  bk::win::unique_fd file(::_open(backList, _O_RDONLY | _O_BINARY));
  unsigned char record[kInsRecordSize];
  while (file && vskBKRVReadFull(file.get(), record, sizeof record) == static_cast<int>(sizeof record)) {
    char text[kInsPathWidth + 1];
    vskInsRecordPath(record, text);
    std::string path(text);
    if (path.empty() || path.find_first_of("*?") != std::string::npos) continue;
    bk::ar::arConvertSeparators(path, 2);
    if (path[0] != '\\') bk::ar::arConvertSeparators(path, 4);
    listed.push_back({path, (record[kInsFlags] & kInsInclude) != 0});
  }
  return listed;
}

std::string vskFoldedPath(const std::string& path) {
  std::string folded(path);
  for (char& c : folded)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return folded;
}

int vskRestoreCheckSavedFiles() {
  g_checked = VskRestoreChecked{};
  char archive[kVskPathSize + 16];
  BackupFile(kBackRscFileName, archive, sizeof archive);
  bk::ar::ArchiveSums sums;
  std::string why;
  const int read = vskReadBackupSums(vskRestoreState().directory, &sums, &why);
  if (read == 2) return Refused(__LINE__, "The checksums of the saved files cannot be used", why);
  const bool summed = read == 0;
  if (!Exists(archive)) {
    // Without checksums: BACKLST tells whether an archive was to be made.
    bool listed = false;
    for (const VskListedPath& p : vskRestoreListedPaths()) listed = listed || (p.include && p.path.size() >= 4);
    if (summed ? !sums.hasArchive : !listed) return kVskCheckOk;
    vskLogTrace(kVskCategory, "ERROR_NO_ENTRY_BACKUP_RSCFILE path = %s", archive);
    return Refused(__LINE__, "The archive of the saved files is missing",
                   summed ? std::string("BACKSUM describes one") : std::string("BACKLST names saved paths"));
  }
  VskArVerifyReport report;
  if (vskarCheckArchive(archive, summed ? &sums : nullptr, CollectEntry, &g_checked, &report) == 0) {
    g_checked.archive = true;
    return kVskCheckOk;
  }
  g_checked.saved.clear();
  vskLogTrace(kVskCategory, "ERROR_vskarCreateUnarcNewFile");
  if (report.mismatch) return Refused(__LINE__, "The saved files differ from their checksums", report.firstDefect);
  if (report.unreadable) return Refused(__LINE__, "The saved files cannot be read", report.firstDefect);
  if (summed) return Refused(__LINE__, "The saved files are damaged", report.firstDefect);
  // Made before checksums were kept and defective in its structure: no rerun
  // can restore it.
  return kVskCheckUnusable;
}

int vskRestoreRemoveAddedPaths() {
  char addFile[kVskPathSize + 16];
  BackupFile(kAddFileFileName, addFile, sizeof addFile);
  if (::_access(addFile, 0) != 0) {
    ApiError(errno, __LINE__, "_access: Mode=00, Path=%s", addFile);
    vskLogTrace(kVskCategory, "NO_ENTRY_ADDFILE");
    return 0;
  }
  bk::win::unique_fd file(::_open(addFile, _O_RDONLY | _O_BINARY));
  if (!file) {
    const int error = errno;
    ApiError(error, __LINE__, "_open: Path=%s", addFile);
    vskLogTrace(kVskCategory, "ERROR_NOT_OPEN_ADDFILE(%s),errno=%d", addFile, error);
    return 30;
  }
  const long length = ::_lseek(file.get(), 0, SEEK_END);
  if (length == 0) {
    vskLogTrace(kVskCategory, "NO_ENTRY_ADDFILE");
    return 0;
  }
  auto seekFailed = [&](int line) {
    const int error = errno;
    ApiError(error, line, "_lseek: Path=%s", addFile);
    vskLogTrace(kVskCategory, "ERROR__lseek,errno=%d", error);
    return 30;
  };
  // From the last record to the first: what was added inside an added
  // directory goes before the directory.
  long position = length - static_cast<long>(kInsRecordSize);
  if (length < 0 || position < 0 || ::_lseek(file.get(), position, SEEK_SET) != position)
    return seekFailed(__LINE__);
  for (;;) {
    unsigned char record[kInsRecordSize];
    const int got = vskBKRVReadFull(file.get(), record, sizeof record);
    if (got != static_cast<int>(sizeof record)) {
      TraceShortRead(got, kInsRecordSize, addFile, __LINE__);
      return 30;
    }
    char path[kInsPathWidth + 1];
    vskInsRecordPath(record, path);
    // A pattern never names one added path (backups never write one here).
    if (path[0] != '\0' && std::strpbrk(path, "*?") == nullptr && Exists(path) &&
        DelBackup_DelDirectory(path) != 1) {
      vskLogTrace(kVskCategory, "ERROR__DelBackup_DelDirectory path = %s", path);
      return 30;
    }
    if (position == 0) return 0;
    position -= static_cast<long>(kInsRecordSize);
    if (position < 0) {
      errno = EINVAL;
      return seekFailed(__LINE__);
    }
    if (::_lseek(file.get(), position, SEEK_SET) != position) return seekFailed(__LINE__);
  }
}

int vskRestoreSavedFiles() {
  char archive[kVskPathSize + 16];
  BackupFile(kBackRscFileName, archive, sizeof archive);
  // The check found no archive, and the backup needs none; one that appeared
  // since is not trusted.
  if (!g_checked.archive) {
    vskLogTrace(kVskCategory, "NO_ENTRY_BACKUP_RSCFILE");
    return 0;
  }
  if (vskarRestoreArchive(archive, nullptr) != 0) {
    vskLogTrace(kVskCategory, "ERROR_vskarCreateUnarcNewFile");
    return 1;
  }
  return 0;
}

void vskRestoreRetireUsedBackup() {
  for (const char* fileName : {kBackSumFileName, kBackListFileName, kBackRscFileName}) {
    char path[kVskPathSize + 16];
    BackupFile(fileName, path, sizeof path);
    // The order holds only while each one goes: the deletion of the backup
    // takes the rest.
    if (!::DeleteFileA(path) && ::GetLastError() != ERROR_FILE_NOT_FOUND) return;
  }
}

void vskRestorePutBackEntry() {
  unsigned char* entry = vskRestoreState().savedEntry;
  entry[kSyscRestoreMark] = 'B';
  char now[16] = {};
  vskGetDateTimeString(0, now);
  std::memcpy(entry + kSyscRestoreDate, now + 2, kSyscDateWidth);
  std::memset(entry + kSyscBackupDate, ' ', kSyscDateWidth);
  if (vskSyscPutUplistdEntry(entry) != 0) vskLogTrace(kVskCategory, "vskSyscPutUplistdEntry_ERR in vskDoRestore.");
}
