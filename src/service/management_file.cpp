// The delete check's view of BACKMNG: the whole file read into a list that
// is walked with a cursor, records unlinked as their backups are deleted, and
// the remaining records committed through the work copy BACKMNGW. From the
// read at open to the commit at close the list holds the machine-wide lock of
// BACKMNG, so that no other writer's change falls between the two.
#include "service/management_file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "common/byte_order.h"
#include "common/text.h"
#include "logging/log.h"
#include "platform/file_commit.h"
#include "platform/shared_file_lock.h"
#include "platform/unique_handle.h"
#include "service/resource_key.h"
#include "service/service.h"
#include "service/tree_removal.h"

namespace {

constexpr char kModule[] = "client\\bkrv\\newdel";

using Record = std::array<unsigned char, kBkmnRecordSize>;

struct ManagementList {
  std::vector<Record> records;  // in file order; unlinked records are erased
  std::size_t cursor = 0;       // current record; records.size() at the end
  std::size_t readCount = 0;    // records read at open
  std::size_t remaining = 0;    // records not deleted
  bool deleted = false;         // the current record was deleted; cursor is on its successor
};
ManagementList g_list;
// Held from a successful open to the close.
std::optional<bk::win::SharedFileLock> g_listLock;

void ClearList() {
  g_list.records.clear();
  g_list.records.shrink_to_fit();
  g_list.cursor = 0;
  g_list.readCount = 0;
  g_list.remaining = 0;
  g_list.deleted = false;
}

void ApiError(int kind, std::int32_t error, int line, const char* format, const char* a,
              const char* b = nullptr) {
  char info[2 * kVskPathSize + 64];
  std::snprintf(info, sizeof info, format, a, b);
  vskLogApiError(kind, kVskCategory, info, error, kModule, line);
}

bool BackmngPath(VskPath& out) {
  VskPath root;
  vskEnvGetBackupPath(root);
  return vskBKRVMngPath(root, kBkmnFileName, out);
}

// Reads every record; 1 list built (perhaps empty), 0 refused (logged).
int ReadRecords(int fd, const char* path) {
  for (;;) {
    Record record;
    errno = 0;
    const int got = vskBKRVReadFull(fd, record.data(), kBkmnRecordSize);
    if (got == static_cast<int>(kBkmnRecordSize)) {
      if (g_list.records.size() >= kBkmnMaxRecords) {
        vskLogTrace(kVskCategory, "File Size Error in vskBKRVOpenBKMN. path=%s", path);
        return 0;
      }
      try {
        g_list.records.push_back(record);
      } catch (const std::bad_alloc&) {
        vskLogApiError(kVskApiCLibrary, kVskCategory, "malloc: Size=895", ENOMEM, kModule, __LINE__);
        vskLogTrace(kVskCategory, "Malloc Error.");
        return 0;
      }
      continue;
    }
    if (got == 0) return 1;
    if (got < 0) {
      const int error = errno;
      ApiError(kVskApiWindows, static_cast<std::int32_t>(::GetLastError()), __LINE__, "_read: Path=%s", path);
      vskLogTrace(kVskCategory, "%s in vskBKRVOpenBKMN. path=%s, errno=%d", std::strerror(error), path, error);
      return 0;
    }
    char text[kVskPathSize + 128];
    std::snprintf(text, sizeof text,
                  "The Size of the ManagementFile of BackupFiles is abnormal:%d BytesRead, %d BytesToRead, Path=%s",
                  got, static_cast<int>(kBkmnRecordSize), path);
    vskLogEvent(kVskMsgInstallError, kVskCategory, text, 0, kModule, __LINE__);
    vskLogTrace(kVskCategory, "File Size Error in vskBKRVOpenBKMN. path=%s", path);
    return 0;
  }
}

// Writes the remaining records to BACKMNGW and makes it BACKMNG.
bool Commit(const char* mngPath) {
  VskPath root, workPath;
  vskEnvGetBackupPath(root);
  if (!vskBKRVMngPath(root, kBkmnWorkFileName, workPath)) return false;
  bk::win::WorkCopyOps& ops = bk::win::WorkCopyOpsTable();

  ::_unlink(workPath);  // a leftover from an interrupted commit; create-new below reports it if it stays
  bk::win::unique_fd work(ops.openFd(workPath, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE));
  if (!work) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_open: Path=%s", workPath);
    vskLogTrace(kVskCategory, "%s in vskBKRVCloseBKMN. path=%s, errno=%d", std::strerror(error), workPath, error);
    ::_unlink(workPath);
    return false;
  }
  auto writeFailed = [&](int line) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, line, "_write: Path=%s", workPath);
    vskLogTrace(kVskCategory, "%s in vskBKRVCloseBKMN. path=%s, errno=%d", std::strerror(error), workPath, error);
    work.reset();
    ::_unlink(workPath);
    return false;
  };
  unsigned char header[kBkmnHeaderSize];
  bk::StoreLe16(header, static_cast<std::uint16_t>(g_list.remaining));
  if (!bk::win::WriteAllFd(work.get(), header, sizeof header)) return writeFailed(__LINE__);
  for (const Record& record : g_list.records) {
    if (!bk::win::WriteAllFd(work.get(), record.data(), kBkmnRecordSize)) return writeFailed(__LINE__);
  }
  if (::_close(work.release()) != 0) return writeFailed(__LINE__);

  bk::win::CommitFailure failure;
  if (!bk::win::CommitWorkCopy(workPath, mngPath, &failure, kVskCategory)) {
    const auto error = static_cast<std::int32_t>(failure.error);
    if (failure.step == bk::win::CommitStep::kReplace)
      ApiError(kVskApiWindows, error, __LINE__, "rename: %s To %s", workPath, mngPath);
    else
      ApiError(kVskApiWindows, error, __LINE__, "FlushFileBuffers: Path=%s", workPath);
    ::_unlink(workPath);
    return false;
  }
  return true;
}

}  // namespace

int vskBKRVReadFull(int fd, unsigned char* data, unsigned int size) {
  unsigned int total = 0;
  while (total < size) {
    const int got = ::_read(fd, data + total, size - total);
    if (got < 0) return -1;
    if (got == 0) break;
    total += static_cast<unsigned int>(got);
  }
  return static_cast<int>(total);
}

bool vskBKRVMngPath(const char* root, const char* fileName, VskPath& out) {
  const int n = std::snprintf(out, sizeof out, "%s\\%s", root, fileName);
  return n > 0 && static_cast<std::size_t>(n) < sizeof out;
}

bool vskBKRVBackupDirPath(const char* root, const unsigned char* record, VskPath& out) {
  const unsigned char* name = record + kBkmnDirectory;
  if (!vskBKRVIsBackupDirName(name)) return false;
  const int n = std::snprintf(out, sizeof out, "%s\\%.*s", root, static_cast<int>(kBkmnDirectoryWidth),
                              reinterpret_cast<const char*>(name));
  return n > 0 && static_cast<std::size_t>(n) < sizeof out;
}

namespace {

// The open's work once the lock is held.
int OpenLocked(unsigned char* record) {
  VskPath path;
  if (!BackmngPath(path)) return 0;

  bk::win::unique_fd file(::_open(path, _O_RDONLY | _O_BINARY));
  if (!file) {
    const int error = errno;
    ApiError(kVskApiWindows, static_cast<std::int32_t>(::GetLastError()), __LINE__, "_open: Path=%s", path);
    vskLogTrace(kVskCategory, "%s in vskBKRVOpenBKMN. path=%s, errno=%d", std::strerror(error), path, error);
    return 0;
  }
  unsigned char header[kBkmnHeaderSize];
  errno = 0;
  const int got = vskBKRVReadFull(file.get(), header, sizeof header);
  if (got != static_cast<int>(sizeof header)) {
    const int error = errno;
    char info[kVskPathSize + 64];
    std::snprintf(info, sizeof info, "_read: %d BytesRead, %d BytesToRead, Path=%s", got,
                  static_cast<int>(sizeof header), path);
    vskLogApiError(kVskApiCLibrary, kVskCategory, info, error, kModule, __LINE__);
    // A file shorter than its header is no failed call: no errno to give.
    if (got < 0)
      vskLogTrace(kVskCategory, "File Access Error in vskBKRVOpenBKMN. path=%s, errno=%d", path, error);
    else
      vskLogTrace(kVskCategory, "File Size Error in vskBKRVOpenBKMN. path=%s", path);
    return 0;
  }
  if (ReadRecords(file.get(), path) == 0) {
    ClearList();
    return 0;
  }
  if (g_list.records.empty()) {
    vskLogTrace(kVskCategory, "No Backup Exist in vskBKRVOpenBKMN.");
    return 0;
  }
  g_list.readCount = g_list.remaining = g_list.records.size();
  std::memcpy(record, g_list.records.front().data(), kBkmnRecordSize);
  return 1;
}

}  // namespace

int vskBKRVOpenBKMN(unsigned char* record) {
  ClearList();
  g_listLock.reset();
  if (record == nullptr) return 0;
  g_listLock.emplace(kBkmnFileName, kVskCategory);
  const int result = g_listLock->Held() ? OpenLocked(record) : 0;
  // Nothing to iterate means nothing to commit: no reason to keep others out.
  if (result != 1) g_listLock.reset();
  return result;
}

int vskBKRVNextBKMN(unsigned char* record) {
  if (!g_list.deleted && g_list.cursor < g_list.records.size()) ++g_list.cursor;
  if (record == nullptr || g_list.cursor >= g_list.records.size()) return 0;
  std::memcpy(record, g_list.records[g_list.cursor].data(), kBkmnRecordSize);
  g_list.deleted = false;
  return 1;
}

int vskBKRVDeleteBKMN(unsigned char* record) {
  if (record == nullptr || g_list.deleted || g_list.cursor >= g_list.records.size()) return 0;
  VskPath root, directory;
  vskEnvGetBackupPath(root);
  // The directory named by the caller's copy of the record, as the caller saw it.
  if (vskBKRVBackupDirPath(root, record, directory)) {
    if (::GetFileAttributesA(directory) != INVALID_FILE_ATTRIBUTES && DelBackup_DelDirectory(directory) != 1)
      return 0;
  } else {
    vskLogTrace(kVskCategory, "Invalid Backup Directory Name in vskBKRVDeleteBKMN. name=%.8s",
                reinterpret_cast<const char*>(record + kBkmnDirectory));
  }
  g_list.records.erase(g_list.records.begin() + static_cast<std::ptrdiff_t>(g_list.cursor));
  std::memset(record, 0, kBkmnRecordSize);
  g_list.deleted = true;
  --g_list.remaining;
  return 1;
}

int vskBKRVCloseBKMN() {
  int result = 1;
  if (g_list.remaining != g_list.readCount) {
    VskPath path;
    result = (BackmngPath(path) && Commit(path)) ? 1 : 0;
  }
  ClearList();
  g_listLock.reset();
  return result;
}

namespace {

// The whole of BACKMNG, read through an open descriptor; false (errno set).
bool ReadAll(int fd, std::vector<unsigned char>& data) {
  data.clear();
  unsigned char piece[65536];
  for (;;) {
    const int got = vskBKRVReadFull(fd, piece, sizeof piece);
    if (got < 0) return false;
    data.insert(data.end(), piece, piece + got);
    if (got < static_cast<int>(sizeof piece)) return true;
  }
}

}  // namespace

int vskBKRVRemoveRecordInPlace(const char* name, const char* version, const char* generation,
                               const char* directoryName) {
  VskPath path;
  if (!BackmngPath(path)) return -1;
  const bk::win::SharedFileLock lock(kBkmnFileName, kVskCategory);
  if (!lock.Held()) return -1;
  auto failed = [&](int line, const char* call) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, line, call, path);
    vskLogTrace(kVskCategory, "File Access Error in vskBKRVRemoveRecordInPlace. path=%s, errno=%d", path, error);
    return -1;
  };
  bk::win::unique_fd fd(::_open(path, _O_RDWR | _O_BINARY));
  if (!fd) return failed(__LINE__, "_open: Path=%s");
  std::vector<unsigned char> data;
  if (!ReadAll(fd.get(), data)) return failed(__LINE__, "_read: Path=%s");
  if (data.size() < kBkmnHeaderSize || (data.size() - kBkmnHeaderSize) % kBkmnRecordSize != 0) {
    vskLogTrace(kVskCategory, "File Size Error in vskBKRVRemoveRecordInPlace. path=%s", path);
    return -1;
  }
  const std::size_t count = (data.size() - kBkmnHeaderSize) / kBkmnRecordSize;
  std::size_t at = kBkmnHeaderSize;
  for (; at < data.size(); at += kBkmnRecordSize) {
    if (vskKeyMatches(data.data() + at + kBkmnName, name, version, generation) &&
        std::memcmp(data.data() + at + kBkmnDirectory, directoryName, kBkmnDirectoryWidth) == 0)
      break;
  }
  if (at == data.size()) return 0;
  // The records after it move up, front to back; then the file is cut and
  // the header counts what is left.
  const std::size_t tail = data.size() - at - kBkmnRecordSize;
  if (tail > 0) {
    if (::_lseek(fd.get(), static_cast<long>(at), SEEK_SET) != static_cast<long>(at))
      return failed(__LINE__, "_lseek: Path=%s");
    if (!bk::win::WriteAllFd(fd.get(), data.data() + at + kBkmnRecordSize, static_cast<unsigned int>(tail)))
      return failed(__LINE__, "_write: Path=%s");
  }
  if (::_chsize(fd.get(), static_cast<long>(data.size() - kBkmnRecordSize)) != 0)
    return failed(__LINE__, "_chsize: Path=%s");
  unsigned char header[kBkmnHeaderSize];
  bk::StoreLe16(header, static_cast<std::uint16_t>(count - 1));
  if (::_lseek(fd.get(), 0, SEEK_SET) != 0 || !bk::win::WriteAllFd(fd.get(), header, sizeof header))
    return failed(__LINE__, "_write: Path=%s");
  if (::_commit(fd.get()) != 0) return failed(__LINE__, "_commit: Path=%s");
  if (::_close(fd.release()) != 0) return failed(__LINE__, "_close: Path=%s");
  return 1;
}
