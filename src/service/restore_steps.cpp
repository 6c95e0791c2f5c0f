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
#include <unordered_set>
#include <vector>

#include "archive/ar_create.h"
#include "archive/ar_extract.h"
#include "logging/log.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"
#include "service/install_list.h"
#include "service/management_file.h"
#include "service/resource_key.h"
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
      // The end of the file comes here too; the read report is kept for it.
      TraceShortRead(got, kBkmnRecordSize, mngPath, __LINE__);
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

// Paths compared as the file system does: letter case does not count.
std::string Folded(const char* path) {
  std::string folded(path);
  for (char& c : folded)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return folded;
}

// The paths the backup's archive puts back, from the check of the archive;
// part of the restore's state.
std::unordered_set<std::string>& SavedPaths() {
  static std::unordered_set<std::string> paths;
  return paths;
}

void CollectEntry(void* context, const char* path, bool) {
  static_cast<std::unordered_set<std::string>*>(context)->insert(Folded(path));
}

}  // namespace

int vskRestoreCheckSavedFiles() {
  SavedPaths().clear();
  char archive[kVskPathSize + 16];
  BackupFile(kBackRscFileName, archive, sizeof archive);
  if (!Exists(archive)) return 0;
  if (vskarVisitArchiveEntries(archive, CollectEntry, &SavedPaths()) == 0) return 0;
  SavedPaths().clear();
  vskLogTrace(kVskCategory, "ERROR_vskarCreateUnarcNewFile");
  return 1;
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
  if (!Exists(archive)) {
    vskLogTrace(kVskCategory, "NO_ENTRY_BACKUP_RSCFILE");
    return 0;
  }
  if (vskarRestoreArchive(archive, nullptr) != 0) {
    vskLogTrace(kVskCategory, "ERROR_vskarCreateUnarcNewFile");
    return 1;
  }
  return 0;
}

namespace {

// A search of a directory's names without their 8.3 names (which Windows 7
// and later, and Wine, then need not make up for every entry), and with large
// fetches; where the system knows neither (Windows XP), a plain search.
HANDLE FindNamesOnly(const std::string& pattern, WIN32_FIND_DATAA* found) {
  constexpr auto kFindExInfoBasic = static_cast<FINDEX_INFO_LEVELS>(1);
  constexpr DWORD kFindFirstExLargeFetch = 2;
  const HANDLE search = ::FindFirstFileExA(pattern.c_str(), kFindExInfoBasic, found, FindExSearchNameMatch, nullptr,
                                           kFindFirstExLargeFetch);
  if (search != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_INVALID_PARAMETER) return search;
  return ::FindFirstFileA(pattern.c_str(), found);
}

// Removes what lies below `directory` and is not in `saved`. 0, or 30 after
// a removal failed (logged).
int PruneDirectory(const std::string& directory, const std::unordered_set<std::string>& saved) {
  std::vector<WIN32_FIND_DATAA> children;
  {
    WIN32_FIND_DATAA found;
    bk::win::unique_hfind search(FindNamesOnly(directory + "\\*", &found));
    if (!search) return 0;
    do {
      if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0)
        children.push_back(found);
    } while (::FindNextFileA(search.get(), &found));
  }
  for (const WIN32_FIND_DATAA& child : children) {
    const std::string path = directory + "\\" + child.cFileName;
    // Links were never saved; they are left as they are.
    if (child.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    if (saved.count(Folded(path.c_str())) == 0) {
      vskLogTrace(kVskCategory, "ADDED_PATH_REMOVED path = %s", path.c_str());
      if (DelBackup_DelDirectory(path.c_str()) != 1) {
        vskLogTrace(kVskCategory, "ERROR__DelBackup_DelDirectory path = %s", path.c_str());
        return 30;
      }
    } else if (child.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (const int result = PruneDirectory(path, saved)) return result;
    }
  }
  return 0;
}

}  // namespace

// A saved directory was archived with its whole tree: whatever lies in it now
// and is not in the archive was added by the installation, inside the
// directory, where ADDFILE (which names only listed paths) cannot see it.
// It goes before the saved files are put back, so that the directories'
// times are set after the last change inside them. The directories are
// looked at as the archive saw them, with file-system redirection off.
int vskRestoreRemoveAddedContents() {
  char archive[kVskPathSize + 16], backList[kVskPathSize + 16];
  BackupFile(kBackRscFileName, archive, sizeof archive);
  BackupFile(kBackListFileName, backList, sizeof backList);
  if (!Exists(archive)) return 0;
  const std::string list = [&] {
    std::string data;
    bk::win::unique_fd file(::_open(backList, _O_RDONLY | _O_BINARY));
    unsigned char record[kInsRecordSize];
    while (file && vskBKRVReadFull(file.get(), record, sizeof record) == static_cast<int>(sizeof record))
      data.append(reinterpret_cast<char*>(record), sizeof record);
    return data;
  }();
  const std::unordered_set<std::string>& saved = SavedPaths();
  bk::win::RedirectionOff redirection;
  for (std::size_t at = 0; at + kInsRecordSize <= list.size(); at += kInsRecordSize) {
    char path[kInsPathWidth + 1];
    vskInsRecordPath(reinterpret_cast<const unsigned char*>(list.data() + at), path);
    const DWORD attributes = ::GetFileAttributesA(path);
    if (std::strpbrk(path, "*?") != nullptr || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
      continue;
    // Only a directory whose own entry is in the archive was saved whole.
    if (saved.count(Folded(path)) == 0) continue;
    if (const int result = PruneDirectory(path, saved)) return result;
  }
  return 0;
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
