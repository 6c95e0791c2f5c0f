#include "service/backup_sums.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "archive/ar_create.h"
#include "common/io_faults.h"
#include "logging/log.h"
#include "platform/file_commit.h"
#include "platform/unique_handle.h"
#include "service/install_list.h"
#include "service/management_file.h"
#include "service/service.h"

namespace {

constexpr char kModule[] = "client\\bkrv\\vskapimb";

void ApiError(int kind, std::int32_t error, int line, const char* format, const char* path) {
  char info[kVskPathSize + 64];
  std::snprintf(info, sizeof info, format, path);
  vskLogApiError(kind, kVskCategory, info, error, kModule, line);
}

}  // namespace

int vskWriteBackupSums(const char* directory, bool archived) {
  char path[kVskPathSize + 16], work[kVskPathSize + 16];
  std::snprintf(path, sizeof path, "%s\\%s", directory, kBackSumFileName);
  std::snprintf(work, sizeof work, "%s\\%s", directory, kBackSumWorkFileName);
  const bk::ar::ArchiveSums sums = archived ? vskarLastCreateSums() : bk::ar::NoArchiveSums();
  if (archived && !sums.hasArchive) {
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. no checksums of %s\\%s", directory,
                kBackRscFileName);
    return 1;
  }
  const std::vector<unsigned char> bytes = bk::ar::EncodeSums(sums);
  ::DeleteFileA(work);
  bk::win::unique_fd fd(::_open(work, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE));
  if (!fd) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_open: Path=%s", work);
    vskLogTrace(kVskCategory, "File Open Error in vskAPIMakeBackup. errno=%d", error);
    return 1;
  }
  if (!vskWriteRecordFd(fd.get(), bytes.data(), static_cast<unsigned int>(bytes.size())) ||
      ::_close(fd.release()) != 0) {
    const int error = errno;
    ApiError(kVskApiCLibrary, error, __LINE__, "_write: Path=%s", work);
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. errno=%d", error);
    fd.reset();
    ::DeleteFileA(work);
    return 1;
  }
  bk::win::CommitFailure failure;
  if (!bk::win::CommitWorkCopy(work, path, &failure)) {
    ApiError(kVskApiWindows, static_cast<std::int32_t>(failure.error), __LINE__, "MoveFileEx: Path=%s", path);
    vskLogTrace(kVskCategory, "File Access Error in vskAPIMakeBackup. GetLastError=%d",
                static_cast<int>(failure.error));
    ::DeleteFileA(work);
    return 1;
  }
  return 0;
}

int vskReadBackupSums(const char* directory, bk::ar::ArchiveSums* sums, std::string* why) {
  char path[kVskPathSize + 16];
  std::snprintf(path, sizeof path, "%s\\%s", directory, kBackSumFileName);
  bk::win::unique_fd fd(::_open(path, _O_RDONLY | _O_BINARY));
  if (!fd) {
    const int error = errno;
    if (error == ENOENT) return 1;
    *why = std::string(kBackSumFileName) + " cannot be opened (errno " + std::to_string(error) + ")";
    return 2;
  }
  // One byte more than the largest file: a longer one is damaged too.
  std::vector<unsigned char> bytes(bk::ar::kSumsMaxSize + 1);
  int got = -1;
  if (bk::io::ShouldFail(bk::io::IoKind::kRead))
    errno = EIO;
  else
    got = vskBKRVReadFull(fd.get(), bytes.data(), static_cast<unsigned int>(bytes.size()));
  if (got < 0) {
    *why = std::string(kBackSumFileName) + " cannot be read (errno " + std::to_string(errno) + ")";
    return 2;
  }
  return bk::ar::DecodeSums(bytes.data(), static_cast<std::size_t>(got), sums, why) == bk::ar::kArOk ? 0 : 2;
}
