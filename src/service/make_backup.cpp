// Making a backup: vskAPIMakeBackup turns the install list into one numbered
// backup directory registered in BACKMNG, with the paths that exist saved into
// BACKRSC and those that do not recorded in ADDFILE for the restore to remove.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/ar_create.h"
#include "common/byte_order.h"
#include "logging/log.h"
#include "platform/file_commit.h"
#include "platform/shared_file_lock.h"
#include "platform/unique_handle.h"
#include "service/backup_sums.h"
#include "service/install_list.h"
#include "service/management_file.h"
#include "service/resource_key.h"
#include "service/service.h"
#include "softwarelist/uplistd.h"

namespace {

constexpr char kModule[] = "client\\bkrv\\vskapimb";
constexpr char kFirstDirectory[] = "UPI_AAAA";

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
};

// Steps 3 to 9 under the management file's lock: scan for the key, reserve a
// directory, append the record. 0 registered (directory name in `directory`),
// 1 failed (logged; BACKMNG keeps its records).
class Registration {
 public:
  Registration(const char* root, const char* name, const char* version, const char* generation)
      : root_(root), name_(name), version_(version), generation_(generation) {
    std::snprintf(mngPath_, sizeof mngPath_, "%s\\%s", root, kBkmnFileName);
  }

  int Run(const unsigned char* entry, char directory[9]);

 private:
  int AccessError(int line, const char* call, int error) {
    if (call != nullptr) ApiError(kVskApiCLibrary, error, line, call, mngPath_);
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. errno=%d", error);
    return 1;
  }
  int Scan(int fd, MngScan& scan);
  int ReserveDirectory(const MngScan& scan, char directory[9]);
  int Append(int fd, const MngScan& scan, const unsigned char* record);

  const char* root_;
  const char* name_;
  const char* version_;
  const char* generation_;
  char mngPath_[kVskPathSize + 16];
};

int Registration::Run(const unsigned char* entry, char directory[9]) {
  bk::win::SharedFileLock lock(kBkmnFileName, kVskCategory);
  if (!lock.Held()) {
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. BACKMNG is locked by another process");
    return 1;
  }
  bk::win::unique_fd fd(::_open(mngPath_, _O_RDWR | _O_BINARY));
  if (!fd) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_open: Path=%s", mngPath_);
    vskLogTrace(kVskCategory, "File Open Error in vskAPIMakeBackup. errno=%d", error);
    return 1;
  }
  MngScan scan;
  if (Scan(fd.get(), scan) != 0) return 1;
  if (ReserveDirectory(scan, directory) != 0) return 1;

  unsigned char record[kBkmnRecordSize] = {};
  std::memcpy(record + kBkmnName, name_, std::strlen(name_));
  std::memcpy(record + kBkmnVersion, version_, std::strlen(version_));
  std::memcpy(record + kBkmnGeneration, generation_, std::strlen(generation_));
  std::memcpy(record + kBkmnDirectory, directory, kBkmnDirectoryWidth);
  std::memcpy(record + kBkmnEntry, entry, kSyscEntrySize);
  if (Append(fd.get(), scan, record) != 0) return 1;
  if (::_close(fd.release()) != 0) return AccessError(__LINE__, "_close: Path=%s", errno);
  return 0;
}

int Registration::Scan(int fd, MngScan& scan) {
  const long length = ::_lseek(fd, 0, SEEK_END);
  if (length < 0 || ::_lseek(fd, 0, SEEK_SET) != 0) return AccessError(__LINE__, "_lseek: Path=%s", errno);
  scan.length = length;
  unsigned char header[kBkmnHeaderSize];
  if (vskBKRVReadFull(fd, header, sizeof header) != static_cast<int>(sizeof header))
    return AccessError(__LINE__, "_read: Path=%s", errno);
  // A trailing fragment would shift every record appended after it: the file
  // is refused as damaged, as the deletion refuses it.
  if ((static_cast<std::size_t>(length) - kBkmnHeaderSize) % kBkmnRecordSize != 0) {
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. %s has %ld bytes, not whole records",
                mngPath_, length);
    return 1;
  }
  unsigned char record[kBkmnRecordSize];
  for (;;) {
    const int got = vskBKRVReadFull(fd, record, sizeof record);
    if (got < 0) return AccessError(__LINE__, "_read: Path=%s", errno);
    if (got == 0) break;
    ++scan.records;
    if (vskKeyMatches(record + kBkmnName, name_, version_, generation_)) {
      Event(__LINE__, "Resource Backup already exists");
      vskLogTrace(kVskCategory, "Resource Backup already exists in vskAPIMakeBackup");
      return 1;
    }
    std::memcpy(scan.candidate, record + kBkmnDirectory, kBkmnDirectoryWidth);
    scan.candidate[8] = '\0';
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

int Registration::ReserveDirectory(const MngScan& scan, char directory[9]) {
  std::memcpy(directory, scan.candidate, 9);
  for (;;) {
    char path[kVskPathSize + 16];
    std::snprintf(path, sizeof path, "%s\\%s", root_, directory);
    if (::CreateDirectoryA(path, nullptr)) return 0;
    const DWORD error = ::GetLastError();
    // Only a name in use moves the search on: any other failure would fail
    // for every name.
    if (error != ERROR_ALREADY_EXISTS) {
      ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "CreateDirectory: Path=%s", path);
      vskLogTrace(kVskCategory, "Directory Create Error in vskAPIMakeBackup. path=%s, GetLastError=%d", path,
                  static_cast<int>(error));
      return 1;
    }
    if (!NextDirectoryName(directory)) {
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

  // 0 done, 1 a read or write failed (logged by the caller), 2 a drive is
  // missing (reported here).
  int Open(const char* insList);
  int Sort();
  void Close() {
    insList_.reset();
    backList_.reset();
    addFile_.reset();
  }
  const char* LastBase() const { return lastBase_; }
  int OpenError() const { return openError_; }

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
  int openError_ = 0;
};

int ListSorter::OpenOutput(bk::win::unique_fd& fd, const char* fileName) {
  char path[kVskPathSize + 16];
  std::snprintf(path, sizeof path, "%s\\%s", directory_, fileName);
  fd.reset(::_open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE));
  if (fd) return 0;
  openError_ = errno;
  ApiError(kVskApiCLibrary, openError_, __LINE__, "_open: Path=%s", path);
  return 1;
}

int ListSorter::Open(const char* insList) {
  std::snprintf(insListPath_, sizeof insListPath_, "%s", insList);
  if (OpenOutput(backList_, kBackListFileName) != 0 || OpenOutput(addFile_, kAddFileFileName) != 0) return 1;
  insList_.reset(::_open(insList, _O_RDONLY | _O_BINARY));
  if (insList_) return 0;
  openError_ = errno;
  ApiError(kVskApiCLibrary, openError_, __LINE__, "_open: Path=%s", insList);
  return 1;
}

bool ListSorter::Write(bk::win::unique_fd& fd, const char* fileName, const unsigned char* record) {
  if (vskWriteRecordFd(fd.get(), record, kInsRecordSize)) return true;
  char path[kVskPathSize + 16];
  std::snprintf(path, sizeof path, "%s\\%s", directory_, fileName);
  ApiError(kVskApiCLibrary, errno, __LINE__, "_write: Path=%s", path);
  return false;
}

int ListSorter::Sort() {
  unsigned char record[kInsRecordSize];
  for (;;) {
    const int got = vskBKRVReadFull(insList_.get(), record, sizeof record);
    if (got == 0) return 0;
    if (got != static_cast<int>(sizeof record)) {
      ApiError(kVskApiCLibrary, errno, __LINE__, "_read: Path=%s", insListPath_);
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
// files that existed before the installation.
int ListSorter::Matches(const unsigned char* record, const char* pattern) {
  const char* slash = std::strrchr(pattern, '\\');
  if (slash == nullptr || std::strpbrk(pattern, "*?") < slash) {
    vskLogTrace(kVskCategory, "No Path matches %s in vskAPIMakeBackup.", pattern);
    return 0;
  }
  const std::size_t parentLength = static_cast<std::size_t>(slash - pattern) + 1;
  std::string lastMatch;
  WIN32_FIND_DATAA found;
  bk::win::unique_hfind search(::FindFirstFileA(pattern, &found));
  if (!search) {
    vskLogTrace(kVskCategory, "No Path matches %s in vskAPIMakeBackup.", pattern);
    return 0;
  }
  std::string names;
  do {
    if (std::strcmp(found.cFileName, ".") == 0 || std::strcmp(found.cFileName, "..") == 0) continue;
    names.append(found.cFileName);
    names.push_back('\0');
  } while (::FindNextFileA(search.get(), &found));
  search.reset();
  for (const char* name = names.c_str(); *name != '\0'; name += std::strlen(name) + 1) {
    std::string full(pattern, parentLength);
    full += name;
    if (full.size() > kInsPathWidth) {
      vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. path too long: %s", full.c_str());
      return 1;
    }
    unsigned char matched[kInsRecordSize];
    vskInsMakeRecord(full.c_str(), record[kInsFlags], matched);
    if (Existing(matched, full.c_str()) != 0) return 1;
  }
  return 0;
}

// Marks the installed-software entry as backed up (its install date becomes
// the backed-up install date).
void MarkBackedUp(unsigned char* entry) {
  std::memcpy(entry + kSyscBackupDate, entry + kSyscInstallDate, kSyscDateWidth);
  if (vskSyscPutUplistdEntry(entry) != 0)
    vskLogTrace(kVskCategory, "vskSyscPutUplistdEntry Error in vskAPIMakeBackup.");
}

// Undoes a backup that failed after its record was written.
int Undo(const char* name, const char* version, const char* generation) {
  vskAPIDelBackup(name, version, generation);
  return 1;
}

}  // namespace

int vskAPIMakeBackup(const char* name, const char* version, const char* generation) {
  if (!vskIsValidKey(name, version, generation)) {
    char text[160];
    std::snprintf(text, sizeof text, "Input Error:ResourceName=%s, Version=%s, Generation=%s",
                  name != nullptr ? name : "", version != nullptr ? version : "",
                  generation != nullptr ? generation : "");
    Event(__LINE__, text);
    vskLogTrace(kVskCategory, "Input Error in vskAPIMakeBackup");
    return 1;
  }
  VskPath root;
  vskEnvGetBackupPath(root);
  if (::_access(root, 0) != 0) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_access: Mode=00, Path=%s", root);
    vskLogTrace(kVskCategory, "Path Not Found in vskAPIMakeBackup. path=%s. errno=%d", root, error);
    return 1;
  }

  // The resource's installed-software entry, saved with the record.
  char resource[kVskPathSize];
  std::snprintf(resource, sizeof resource, "%s", name);
  for (std::size_t n = std::strlen(resource); n > 0 && resource[n - 1] == ' '; --n) resource[n - 1] = '\0';
  unsigned char entry[kSyscEntrySize] = {};
  const bool hasEntry = vskSyscGetUplistdEntry(kSyscByResourceName, resource, entry) == 0;
  unsigned char saved[kSyscEntrySize];
  std::memcpy(saved, entry, sizeof saved);
  if (!hasEntry) std::memset(saved + kSyscInstallDate, ' ', kSyscDateWidth);

  char directoryName[9] = {};
  if (Registration(root, name, version, generation).Run(saved, directoryName) != 0) return 1;

  char directory[kVskPathSize + 16];
  std::snprintf(directory, sizeof directory, "%s\\%s", root, directoryName);
  char insList[kVskPathSize + 16];
  std::snprintf(insList, sizeof insList, "%s\\%s", root, kInsListFileName);

  EntryList entries;
  ListSorter sorter(directory, entries);
  if (sorter.Open(insList) != 0) {
    sorter.Close();
    vskLogTrace(kVskCategory, "File Open Error in vskAPIMakeBackup. errno=%d", sorter.OpenError());
    return Undo(name, version, generation);
  }
  const int sorted = sorter.Sort();
  sorter.Close();
  if (sorted == 2) return Undo(name, version, generation);
  if (sorted != 0) {
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. errno=%d", errno);
    return Undo(name, version, generation);
  }
  if (entries.Count() >= 1) {
    char archive[kVskPathSize + 16];
    std::snprintf(archive, sizeof archive, "%s\\%s", directory, kBackRscFileName);
    if (vskarCreateArcFileEx(sorter.LastBase(), entries.Data(), entries.Count(), 1, 0, archive, 3, 0) != 0) {
      vskLogTrace(kVskCategory, "Error in vskarCreateArcFileEx");
      return Undo(name, version, generation);
    }
  }
  if (vskWriteBackupSums(directory, entries.Count() >= 1) != 0) return Undo(name, version, generation);
  // Only a backup that exists is marked: after an undo the entry keeps no
  // backed-up date that names a backup which is gone.
  if (hasEntry) MarkBackedUp(entry);
  return 0;
}
