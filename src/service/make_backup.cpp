// Making a backup: vskAPIMakeBackup turns the install list into one numbered
// backup directory registered in BACKMNG, with the paths that exist saved into
// BACKRSC and those that do not recorded in ADDFILE for the restore to remove.
//
// Machine-wide locks a backup takes, in this order (none is waited for while
// a later one is held): INSLIST's, from the write of the list to the end of
// its read; the key's (backup_progress.h), for the whole backup; BACKMNG's,
// while the records are read and the new one is appended; UPLISTD.BON's,
// around each look at the installed-software entry. The new directory holds
// the marker BACKRUN until the backup's files are complete.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/ar_create.h"
#include "common/byte_order.h"
#include "logging/log.h"
#include "platform/ansi_names.h"
#include "platform/file_commit.h"
#include "platform/shared_file_lock.h"
#include "platform/unique_handle.h"
#include "service/backup_progress.h"
#include "service/backup_sums.h"
#include "service/install_list.h"
#include "service/management_file.h"
#include "service/resource_key.h"
#include "service/service.h"
#include "service/tree_removal.h"
#include "softwarelist/uplistd.h"

namespace {

constexpr char kModule[] = "client\\bkrv\\vskapimb";
constexpr char kFirstDirectory[] = "UPI_AAAA";
// Where a new backup's directory is made before it takes its name.
constexpr char kStagingDirectoryName[] = "BACKNEW";

void ApiError(int kind, std::int32_t error, int line, const char* format, const char* path) {
  char info[kVskPathSize + 64];
  std::snprintf(info, sizeof info, format, path);
  vskLogApiError(kind, kVskCategory, info, error, kModule, line);
}

void Event(int line, const char* text) {
  vskLogEvent(kVskMsgInstallError, kVskCategory, text, 0, kModule, line);
}

bool Exists(const char* path) { return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool HasWildcard(const char* path) { return std::strpbrk(path, "*?") != nullptr; }

// The backup's directory names: "UPI_" and four letters A to Z.
bool IsBackupDirectoryName(const char* name) {
  if (std::strncmp(name, "UPI_", 4) != 0) return false;
  for (int i = 4; i < 8; ++i)
    if (name[i] < 'A' || name[i] > 'Z') return false;
  return true;
}

// Advances the last four letters like an odometer; false when UPI_ZZZZ has
// been passed.
bool NextDirectoryName(char name[9]) {
  int i = 7;
  while (i >= 4 && name[i] == 'Z') name[i--] = 'A';
  if (i < 4) return false;
  ++name[i];
  return true;
}

// What the scan of BACKMNG found.
struct MngScan {
  char candidate[9] = "UPI_AAAA";  // where the name search starts
  std::size_t records = 0;
  long length = 0;                 // of the file before the append
  std::set<std::string> names;     // directory names the records hold: never taken again
  std::vector<std::string> interrupted;  // directory names of the key's interrupted backups
};

// The backup being made.
struct NewBackup {
  NewBackup(const char* n, const char* v, const char* g) : name(n), version(v), generation(g) {}
  const char* name;
  const char* version;
  const char* generation;
  VskPath root = {};
  char directoryName[9] = {};
  char directory[kVskPathSize + 16] = {};
};

bool RemoveTree(const char* path) { return !Exists(path) || DelBackup_DelDirectory(path) == 1; }

// Under the management file's lock: scan for the key (removing
// an interrupted backup of it), make the new directory with its marker, give
// it the first free name, append the record. 0 registered, 1 failed (logged;
// BACKMNG keeps its records and no new directory is left).
class Registration {
 public:
  explicit Registration(NewBackup& b) : b_(b) {
    std::snprintf(mngPath_, sizeof mngPath_, "%s\\%s", b.root, kBkmnFileName);
    std::snprintf(staging_, sizeof staging_, "%s\\%s", b.root, kStagingDirectoryName);
  }

  int Run(const unsigned char* entry);

 private:
  int AccessError(int line, const char* call, int error) {
    if (call != nullptr) ApiError(kVskApiCLibrary, error, line, call, mngPath_);
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. errno=%d", error);
    return 1;
  }
  int Scan(int fd, MngScan& scan);
  int RemoveInterrupted(const MngScan& scan);
  void RemoveLeftovers(const MngScan& scan);
  int StageDirectory();
  int NameDirectory(const MngScan& scan);
  int Append(int fd, const MngScan& scan, const unsigned char* record);

  NewBackup& b_;
  char mngPath_[kVskPathSize + 16];
  char staging_[kVskPathSize + 16];
};

int Registration::Run(const unsigned char* entry) {
  bk::win::SharedFileLock lock(kBkmnFileName, kVskCategory);
  if (!lock.Held()) {
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. BACKMNG is locked by another process");
    return 1;
  }
  // An interrupted backup of the key goes first; then the file is read again.
  for (int round = 0;; ++round) {
    bk::win::unique_fd fd(::_open(mngPath_, _O_RDWR | _O_BINARY));
    if (!fd) {
      const int error = errno;
      ApiError(kVskApiCLibrary, error, __LINE__, "_open: Path=%s", mngPath_);
      vskLogTrace(kVskCategory, "File Open Error in vskAPIMakeBackup. errno=%d", error);
      return 1;
    }
    MngScan scan;
    if (Scan(fd.get(), scan) != 0) return 1;
    if (!scan.interrupted.empty()) {
      fd.reset();
      if (round > 0 || RemoveInterrupted(scan) != 0) return 1;
      continue;
    }
    RemoveLeftovers(scan);
    if (StageDirectory() != 0) return 1;
    if (NameDirectory(scan) != 0) {
      RemoveTree(staging_);
      return 1;
    }
    unsigned char record[kBkmnRecordSize] = {};
    std::memcpy(record + kBkmnName, b_.name, std::strlen(b_.name));
    std::memcpy(record + kBkmnVersion, b_.version, std::strlen(b_.version));
    std::memcpy(record + kBkmnGeneration, b_.generation, std::strlen(b_.generation));
    std::memcpy(record + kBkmnDirectory, b_.directoryName, kBkmnDirectoryWidth);
    std::memcpy(record + kBkmnEntry, entry, kSyscEntrySize);
    if (Append(fd.get(), scan, record) != 0) {
      RemoveTree(b_.directory);
      return 1;
    }
    return 0;
  }
}

int Registration::Scan(int fd, MngScan& scan) {
  const long length = ::_lseek(fd, 0, SEEK_END);
  if (length < 0 || ::_lseek(fd, 0, SEEK_SET) != 0) return AccessError(__LINE__, "_lseek: Path=%s", errno);
  scan.length = length;
  // A trailing fragment would shift every record appended after it: the file
  // is refused as damaged, as the deletion refuses it.
  if (static_cast<std::size_t>(length) < kBkmnHeaderSize ||
      (static_cast<std::size_t>(length) - kBkmnHeaderSize) % kBkmnRecordSize != 0) {
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. %s has %ld bytes, not a header and whole records",
                mngPath_, length);
    return 1;
  }
  unsigned char header[kBkmnHeaderSize];
  if (vskBKRVReadFull(fd, header, sizeof header) != static_cast<int>(sizeof header))
    return AccessError(__LINE__, "_read: Path=%s", errno);
  unsigned char record[kBkmnRecordSize];
  for (;;) {
    const int got = vskBKRVReadFull(fd, record, sizeof record);
    if (got < 0) return AccessError(__LINE__, "_read: Path=%s", errno);
    if (got == 0) break;
    ++scan.records;
    std::memcpy(scan.candidate, record + kBkmnDirectory, kBkmnDirectoryWidth);
    scan.candidate[8] = '\0';
    scan.names.insert(scan.candidate);
    if (!vskKeyMatches(record + kBkmnName, b_.name, b_.version, b_.generation)) continue;
    // This process holds the key's lock: a backup of the key that still
    // carries its marker is being made by nobody.
    VskPath directory;
    if (vskBKRVBackupDirPath(b_.root, record, directory) && vskBackupHasMarker(directory)) {
      scan.interrupted.push_back(scan.candidate);
      continue;
    }
    Event(__LINE__, "Resource Backup already exists");
    vskLogTrace(kVskCategory, "Resource Backup already exists in vskAPIMakeBackup");
    return 1;
  }
  // The search continues from the last record's name; one that this service
  // never writes would send it to names outside the UPI_ range.
  if (scan.records > 0 && !IsBackupDirectoryName(scan.candidate)) {
    vskLogTrace(kVskCategory, "Invalid Backup Directory Name in vskAPIMakeBackup. name=%.8s", scan.candidate);
    std::memcpy(scan.candidate, kFirstDirectory, sizeof kFirstDirectory);
  }
  if (scan.records >= kBkmnMaxRecords) {
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. %s already holds %u records",
                mngPath_, static_cast<unsigned>(scan.records));
    return 1;
  }
  return 0;
}

// An interrupted backup of the key: its directory, then its record.
int Registration::RemoveInterrupted(const MngScan& scan) {
  for (const std::string& name : scan.interrupted) {
    char path[kVskPathSize + 16];
    std::snprintf(path, sizeof path, "%s\\%s", b_.root, name.c_str());
    vskLogTrace(kVskCategory, "Interrupted Backup removed in vskAPIMakeBackup. path=%s", path);
    if (!RemoveTree(path)) {
      vskLogTrace(kVskCategory, "Backup Directory cannot be removed in vskAPIMakeBackup. path=%s", path);
      return 1;
    }
    if (vskBKRVRemoveRecordInPlace(b_.name, b_.version, b_.generation, name.c_str()) < 0) return 1;
  }
  return 0;
}

// Directories of backups whose makers ended after the directory got its
// name and before the record was written. Under this lock, a directory that
// holds the marker and that no record names is nothing else: a backup being
// made gets its name and its record in one hold of the lock, and a deletion
// or an undo removes a directory before its record.
void Registration::RemoveLeftovers(const MngScan& scan) {
  char pattern[kVskPathSize + 16];
  std::snprintf(pattern, sizeof pattern, "%s\\UPI_*", b_.root);
  std::vector<std::string> leftovers;
  WIN32_FIND_DATAA found;
  bk::win::unique_hfind search(::FindFirstFileA(pattern, &found));
  if (!search) return;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || !IsBackupDirectoryName(found.cFileName) ||
        std::strlen(found.cFileName) != kBkmnDirectoryWidth || scan.names.count(found.cFileName) != 0)
      continue;
    char path[kVskPathSize + 16];
    std::snprintf(path, sizeof path, "%s\\%s", b_.root, found.cFileName);
    if (vskBackupHasMarker(path)) leftovers.push_back(path);
  } while (::FindNextFileA(search.get(), &found));
  search.reset();
  for (const std::string& path : leftovers) {
    vskLogTrace(kVskCategory, "Leftover Backup Directory removed in vskAPIMakeBackup. path=%s", path.c_str());
    if (!RemoveTree(path.c_str()))
      vskLogTrace(kVskCategory, "Backup Directory cannot be removed in vskAPIMakeBackup. path=%s", path.c_str());
  }
}

// The new backup's directory is made under a staging name and gets the
// marker there, flushed, before it takes its backup name: no directory of
// that name ever lacks the marker while its backup is being made. A staging
// directory found here is the leftover of a maker that ended.
int Registration::StageDirectory() {
  if (Exists(staging_)) {
    vskLogTrace(kVskCategory, "Leftover Backup Directory removed in vskAPIMakeBackup. path=%s", staging_);
    RemoveTree(staging_);
  }
  if (!::CreateDirectoryA(staging_, nullptr)) {
    const DWORD error = ::GetLastError();
    ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "CreateDirectory: Path=%s", staging_);
    vskLogTrace(kVskCategory, "Directory Create Error in vskAPIMakeBackup. path=%s, GetLastError=%d", staging_,
                static_cast<int>(error));
    return 1;
  }
  char path[kVskPathSize + 32];
  std::snprintf(path, sizeof path, "%s\\%s", staging_, kBackRunFileName);
  const char* call = "CreateFile: Path=%s";
  {
    bk::win::unique_hfile marker(
        ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (marker && ::FlushFileBuffers(marker.get())) return 0;
    if (marker) call = "FlushFileBuffers: Path=%s";
  }
  const DWORD error = ::GetLastError();
  ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, call, path);
  vskLogTrace(kVskCategory, "File Open Error in vskAPIMakeBackup. GetLastError=%d", static_cast<int>(error));
  RemoveTree(staging_);
  return 1;
}

// The staging directory takes the first free backup name.
int Registration::NameDirectory(const MngScan& scan) {
  char* name = b_.directoryName;
  std::memcpy(name, scan.candidate, 9);
  for (;;) {
    // A name that a record holds stays taken, whether its directory exists
    // or not: a restore of that record would otherwise find this backup.
    if (scan.names.count(name) == 0) {
      std::snprintf(b_.directory, sizeof b_.directory, "%s\\%s", b_.root, name);
      if (::MoveFileA(staging_, b_.directory)) return 0;
      const DWORD error = ::GetLastError();
      // Only a name in use moves the search on: any other failure would fail
      // for every name.
      if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
        ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "MoveFile: Path=%s", b_.directory);
        vskLogTrace(kVskCategory, "Directory Create Error in vskAPIMakeBackup. path=%s, GetLastError=%d",
                    b_.directory, static_cast<int>(error));
        return 1;
      }
    }
    if (!NextDirectoryName(name)) {
      Event(__LINE__, "Make No More Directory");
      vskLogTrace(kVskCategory, "NO MORE MAKE DIRECTORY in vskAPIMakeBackup");
      return 1;
    }
  }
}

// The record goes first and is flushed, then the header count: readers count
// records, not the header. A failed step cuts the file back to its old
// length, so a failed backup never leaves a fragment.
int Registration::Append(int fd, const MngScan& scan, const unsigned char* record) {
  auto undo = [&](int line, const char* call) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, line, call, mngPath_);
    if (::_chsize(fd, scan.length) != 0)
      ApiError(kVskApiCLibrary, errno, __LINE__, "_chsize: Path=%s", mngPath_);
    return AccessError(line, nullptr, error);
  };
  if (::_lseek(fd, scan.length, SEEK_SET) != scan.length) return undo(__LINE__, "_lseek: Path=%s");
  if (!vskWriteRecordFd(fd, record, kBkmnRecordSize)) return undo(__LINE__, "_write: Path=%s");
  if (::_commit(fd) != 0) return undo(__LINE__, "_commit: Path=%s");
  unsigned char header[kBkmnHeaderSize];
  bk::StoreLe16(header, static_cast<std::uint16_t>(scan.records + 1));
  if (::_lseek(fd, 0, SEEK_SET) != 0) return undo(__LINE__, "_lseek: Path=%s");
  if (!vskWriteRecordFd(fd, header, sizeof header)) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_write: Path=%s", mngPath_);
    // The old count goes back with the old length.
    bk::StoreLe16(header, static_cast<std::uint16_t>(scan.records));
    if (::_chsize(fd, scan.length) != 0 || ::_lseek(fd, 0, SEEK_SET) != 0 ||
        !bk::win::WriteAllFd(fd, header, sizeof header))
      ApiError(kVskApiCLibrary, errno, __LINE__, "_chsize: Path=%s", mngPath_);
    return AccessError(__LINE__, nullptr, error);
  }
  return 0;
}

// The names to archive: NUL-terminated, each a saved path without its drive
// letter, colon and backslash.
class EntryList {
 public:
  void Add(const char* path) {
    const std::size_t length = strnlen(path + 3, kVskPathSize - 1);
    block_.append(path + 3, length);
    block_.push_back('\0');
    ++count_;
  }
  const char* Data() const { return block_.data(); }
  int Count() const { return count_; }

 private:
  std::string block_;
  int count_ = 0;
};

// Sorting the install list into BACKLST, ADDFILE and the archive entries.
class ListSorter {
 public:
  ListSorter(const char* directory, EntryList& entries) : directory_(directory), entries_(entries) {}

  // 0 done, 1 a read or write failed (logged by the caller with Error()), 2
  // reported here (a missing drive, a name that cannot be saved).
  int Open(const char* insList);
  int Sort();
  void Close() {
    insList_.reset();
    backList_.reset();
    addFile_.reset();
  }
  const char* LastBase() const { return lastBase_; }
  int Error() const { return error_; }

 private:
  int OpenOutput(bk::win::unique_fd& fd, const char* fileName);
  int Existing(const unsigned char* record, const char* path);
  int Missing(const unsigned char* record, const char* path);
  int Matches(const unsigned char* record, const char* pattern);
  bool QualifiesAsEmpty(const char* path);
  bool Write(bk::win::unique_fd& fd, const char* fileName, const unsigned char* record);

  const char* directory_;
  EntryList& entries_;
  bk::win::unique_fd insList_, backList_, addFile_;
  char insListPath_[kVskPathSize + 16] = {};
  char lastBase_[3] = {};
  int error_ = 0;  // errno of the failed read, write or open
};

int ListSorter::OpenOutput(bk::win::unique_fd& fd, const char* fileName) {
  char path[kVskPathSize + 16];
  std::snprintf(path, sizeof path, "%s\\%s", directory_, fileName);
  fd.reset(::_open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE));
  if (fd) return 0;
  error_ = errno;
  ApiError(kVskApiCLibrary, error_, __LINE__, "_open: Path=%s", path);
  return 1;
}

int ListSorter::Open(const char* insList) {
  std::snprintf(insListPath_, sizeof insListPath_, "%s", insList);
  if (OpenOutput(backList_, kBackListFileName) != 0 || OpenOutput(addFile_, kAddFileFileName) != 0) return 1;
  insList_.reset(::_open(insList, _O_RDONLY | _O_BINARY));
  if (insList_) return 0;
  error_ = errno;
  ApiError(kVskApiCLibrary, error_, __LINE__, "_open: Path=%s", insList);
  return 1;
}

bool ListSorter::Write(bk::win::unique_fd& fd, const char* fileName, const unsigned char* record) {
  if (vskWriteRecordFd(fd.get(), record, kInsRecordSize)) return true;
  error_ = errno;
  char path[kVskPathSize + 16];
  std::snprintf(path, sizeof path, "%s\\%s", directory_, fileName);
  ApiError(kVskApiCLibrary, error_, __LINE__, "_write: Path=%s", path);
  return false;
}

int ListSorter::Sort() {
  unsigned char record[kInsRecordSize];
  for (;;) {
    errno = 0;
    const int got = vskBKRVReadFull(insList_.get(), record, sizeof record);
    if (got == 0) return 0;
    if (got != static_cast<int>(sizeof record)) {
      // A short record is no read error of the system's: the list is cut.
      error_ = got < 0 ? errno : EILSEQ;
      ApiError(kVskApiCLibrary, error_, __LINE__, "_read: Path=%s", insListPath_);
      return 1;
    }
    char path[kInsPathWidth + 1];
    vskInsRecordPath(record, path);
    if (std::strlen(path) < 4) continue;
    lastBase_[0] = path[0];
    lastBase_[1] = path[1];
    int result;
    if (HasWildcard(path))
      result = Matches(record, path);
    else if (Exists(path))
      result = Existing(record, path);
    else
      result = Missing(record, path);
    if (result != 0) return result;
  }
}

bool ListSorter::QualifiesAsEmpty(const char* path) {
  char pattern[kVskPathSize + 8];
  std::snprintf(pattern, sizeof pattern, "%s\\*.*", path);
  WIN32_FIND_DATAA found;
  bk::win::unique_hfind search(::FindFirstFileA(pattern, &found));
  if (!search) {
    const DWORD error = ::GetLastError();
    ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "FindFirstFile: Path=%s", pattern);
    vskLogTrace(kVskCategory, "File Open Error in vskAPIMakeBackup. GetLastError=%d", static_cast<int>(error));
    return true;
  }
  int entries = 1;
  while (entries <= 2 && ::FindNextFileA(search.get(), &found)) ++entries;
  return entries <= 2;
}

int ListSorter::Existing(const unsigned char* record, const char* path) {
  if ((record[kInsFlags] & kInsInclude) != 0 || QualifiesAsEmpty(path)) entries_.Add(path);
  return Write(backList_, kBackListFileName, record) ? 0 : 1;
}

// The path ends with its first element that does not exist; the restore
// removes it.
int ListSorter::Missing(const unsigned char* record, const char* path) {
  char cut[kInsPathWidth + 1];
  std::snprintf(cut, sizeof cut, "%s", path);
  for (;;) {
    char* last = std::strrchr(cut, '\\');
    if (last == nullptr) {
      char text[kVskPathSize + 64];
      std::snprintf(text, sizeof text, "Install Drive(%s) doesn't exist in vskAPIMakeBackup.", cut);
      Event(__LINE__, text);
      vskLogTrace(kVskCategory, "%s", text);
      return 2;
    }
    *last = '\0';
    if (Exists(cut)) {
      *last = '\\';
      break;
    }
  }
  unsigned char added[kInsRecordSize];
  std::memcpy(added, record, kInsRecordSize);
  std::memset(added + kInsPath, 0, kInsPathWidth);
  std::memcpy(added + kInsPath, cut, std::strlen(cut));
  return Write(addFile_, kAddFileFileName, added) ? 0 : 1;
}

// A pattern names no one path: every file or directory it matches now is
// saved like a listed path, so the restore puts each back. Nothing goes to
// ADDFILE, whose paths the restore deletes: a pattern there could delete
// files that existed before the installation. The matches come from a search
// by wide names: an ANSI search would hand over the best-fit name of a file
// whose name the ANSI code page cannot hold, which names another file.
int ListSorter::Matches(const unsigned char* record, const char* pattern) {
  const char* slash = std::strrchr(pattern, '\\');
  if (slash == nullptr || std::strpbrk(pattern, "*?") < slash) {
    vskLogTrace(kVskCategory, "No Path matches %s in vskAPIMakeBackup.", pattern);
    return 0;
  }
  const std::size_t parentLength = static_cast<std::size_t>(slash - pattern) + 1;
  std::vector<bk::win::AnsiEntry> found;
  bool closeFailed = false;
  bk::win::FindAnsiEntries(pattern, found, closeFailed);
  if (found.empty()) {
    vskLogTrace(kVskCategory, "No Path matches %s in vskAPIMakeBackup.", pattern);
    return 0;
  }
  for (const bk::win::AnsiEntry& match : found) {
    std::string full(pattern, parentLength);
    full += match.shown;
    if (!match.exact) {
      char text[kVskPathSize + 128];
      std::snprintf(text, sizeof text, "File Name not in the ANSI code page: Path=%s", full.c_str());
      Event(__LINE__, text);
      vskLogTrace(kVskCategory, "%s cannot be saved in vskAPIMakeBackup: its name has characters outside the "
                  "ANSI code page", full.c_str());
      return 2;
    }
    if (full.size() > kInsPathWidth) {
      error_ = ENAMETOOLONG;
      vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. path too long: %s", full.c_str());
      return 1;
    }
    unsigned char matched[kInsRecordSize];
    vskInsMakeRecord(full.c_str(), record[kInsFlags], matched);
    if (Existing(matched, full.c_str()) != 0) return 1;
  }
  return 0;
}

// The key's lengths.
bool CheckKey(const char* name, const char* version, const char* generation) {
  if (vskIsValidKey(name, version, generation)) return true;
  char text[160];
  std::snprintf(text, sizeof text, "Input Error:ResourceName=%s, Version=%s, Generation=%s",
                name != nullptr ? name : "", version != nullptr ? version : "",
                generation != nullptr ? generation : "");
  Event(__LINE__, text);
  vskLogTrace(kVskCategory, "Input Error in vskAPIMakeBackup");
  return false;
}

// The backup root, created when missing.
bool FindRoot(VskPath& root) {
  vskEnvGetBackupPath(root);
  if (::_access(root, 0) == 0) return true;
  const int error = errno;
  ApiError(kVskApiCLibrary, error, __LINE__, "_access: Mode=00, Path=%s", root);
  vskLogTrace(kVskCategory, "Path Not Found in vskAPIMakeBackup. path=%s. errno=%d", root, error);
  return false;
}

// The resource's name in the installed-software list: without trailing blanks.
void ResourceName(const char* name, char* out, std::size_t size) {
  std::snprintf(out, size, "%s", name);
  for (std::size_t n = std::strlen(out); n > 0 && out[n - 1] == ' '; --n) out[n - 1] = '\0';
}

// The resource's installed-software entry, saved with the record
// (an install date of blanks when it has none).
struct SavedEntry {
  bool found = false;
  unsigned char saved[kSyscEntrySize] = {};
};
SavedEntry LookUpEntry(const char* name) {
  SavedEntry e;
  char resource[kVskPathSize];
  ResourceName(name, resource, sizeof resource);
  e.found = vskSyscGetUplistdEntry(kSyscByResourceName, resource, e.saved) == 0;
  if (!e.found) std::memset(e.saved + kSyscInstallDate, ' ', kSyscDateWidth);
  return e;
}

// BACKLST, ADDFILE and the archive entries. 0, or 1 (logged).
int SortInstallList(const NewBackup& b, EntryList& entries, char base[3]) {
  char insList[kVskPathSize + 16];
  std::snprintf(insList, sizeof insList, "%s\\%s", b.root, kInsListFileName);
  ListSorter sorter(b.directory, entries);
  if (sorter.Open(insList) != 0) {
    sorter.Close();
    vskLogTrace(kVskCategory, "File Open Error in vskAPIMakeBackup. errno=%d", sorter.Error());
    return 1;
  }
  const int sorted = sorter.Sort();
  sorter.Close();
  if (sorted == 1) vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. errno=%d", sorter.Error());
  std::memcpy(base, sorter.LastBase(), 3);
  return sorted == 0 ? 0 : 1;
}

// The archive of the existing paths. 0, or 1 (logged).
int SaveFiles(const NewBackup& b, const EntryList& entries, const char* base) {
  if (entries.Count() < 1) return 0;
  char archive[kVskPathSize + 16];
  std::snprintf(archive, sizeof archive, "%s\\%s", b.directory, kBackRscFileName);
  if (vskarCreateArcFileEx(base, entries.Data(), entries.Count(), 1, 0, archive, 3, 0) == 0) return 0;
  vskLogTrace(kVskCategory, "Error in vskarCreateArcFileEx");
  return 1;
}

// The backup's files are complete: the marker goes. False (logged) when it
// stays, since the backup would then count as interrupted.
bool Complete(const NewBackup& b) {
  char marker[kVskPathSize + 32];
  std::snprintf(marker, sizeof marker, "%s\\%s", b.directory, kBackRunFileName);
  if (::DeleteFileA(marker)) return true;
  const DWORD error = ::GetLastError();
  ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "DeleteFile: Path=%s", marker);
  vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. GetLastError=%d", static_cast<int>(error));
  return false;
}

// The installed-software entry is marked as backed up (its install
// date becomes the backed-up install date), read and stored under one lock.
void MarkBackedUp(const char* name) {
  char resource[kVskPathSize];
  ResourceName(name, resource, sizeof resource);
  const int changed = vskSyscChangeUplistdEntry(resource, [](unsigned char* entry) {
    std::memcpy(entry + kSyscBackupDate, entry + kSyscInstallDate, kSyscDateWidth);
  });
  if (changed < 0) vskLogTrace(kVskCategory, "vskSyscPutUplistdEntry Error in vskAPIMakeBackup.");
}

// Undoes a backup that failed after its record was written. The directory
// goes first: that frees the space its files took, and taking the record out
// in place needs none, so the undo works on the full disk that may have made
// the backup fail. BACKMNG then holds exactly the records it held before
// (and those other processes added meanwhile).
int Undo(const NewBackup& b) {
  if (!RemoveTree(b.directory))
    vskLogTrace(kVskCategory, "Backup Directory cannot be removed in vskAPIMakeBackup. path=%s", b.directory);
  if (vskBKRVRemoveRecordInPlace(b.name, b.version, b.generation, b.directoryName) < 0)
    vskLogTrace(kVskCategory, "Backup Record cannot be removed in vskAPIMakeBackup. directory=%s", b.directoryName);
  return 1;
}

}  // namespace

int vskAPIMakeBackup(const char* name, const char* version, const char* generation,
                     bk::win::SharedFileLock* listLock) {
  if (!CheckKey(name, version, generation)) return 1;
  NewBackup b(name, version, generation);
  if (!FindRoot(b.root)) return 1;
  // INSLIST stays this call's from its write (by the caller) to its read.
  std::optional<bk::win::SharedFileLock> ownListLock;
  if (listLock == nullptr) listLock = &ownListLock.emplace(kInsListFileName, kVskCategory);
  if (!listLock->Held()) return 1;
  // No other process makes a backup of this key while this one runs.
  char keyLockName[160];
  std::optional<bk::win::SharedFileLock> keyLock;
  if (vskBackupKeyLockName(name, version, generation, keyLockName, sizeof keyLockName))
    keyLock.emplace(keyLockName, kVskCategory, kBackupKeyLockWaitMs);
  if (!keyLock || !keyLock->Held()) {
    Event(__LINE__, "Resource Backup already exists");
    vskLogTrace(kVskCategory, "Resource Backup already exists in vskAPIMakeBackup");
    return 1;
  }

  const SavedEntry entry = LookUpEntry(name);
  if (Registration(b).Run(entry.saved) != 0) return 1;
  EntryList entries;
  char base[3] = {};
  const int sorted = SortInstallList(b, entries, base);
  listLock->Release();
  if (sorted != 0) return Undo(b);
  if (SaveFiles(b, entries, base) != 0) return Undo(b);
  if (vskWriteBackupSums(b.directory, entries.Count() >= 1) != 0) return Undo(b);
  if (!Complete(b)) return Undo(b);
  // Only a backup that exists is marked: after an undo the entry keeps no
  // backed-up date that names a backup which is gone.
  if (entry.found) MarkBackedUp(name);
  return 0;
}
