#include "platform/file_commit.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "platform/unique_handle.h"

namespace bk::win {

namespace {

int SystemOpenFd(const char* path, int flags, int mode) { return ::_open(path, flags, mode); }
int SystemWriteFd(int fd, const void* data, unsigned int size) { return ::_write(fd, data, size); }

constexpr WorkCopyOps kSystemOps = {SystemOpenFd,  SystemWriteFd,        ::CreateFileA,
                                    ::WriteFile,   ::FlushFileBuffers,   ::MoveFileExA};
WorkCopyOps g_ops = kSystemOps;

}  // namespace

WorkCopyOps& WorkCopyOpsTable() { return g_ops; }
void ResetWorkCopyOps() { g_ops = kSystemOps; }

bool WriteAllFd(int fd, const void* data, unsigned int size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const int written = g_ops.writeFd(fd, bytes, size);
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;  // a write that makes no progress never will
      return false;
    }
    bytes += written;
    size -= static_cast<unsigned int>(written);
  }
  return true;
}

bool WriteAllFile(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  if (!g_ops.writeFile(file, data, size, &written, nullptr)) return false;
  if (written != size) {
    ::SetLastError(ERROR_HANDLE_DISK_FULL);
    return false;
  }
  return true;
}

bool CommitWorkCopy(const char* workPath, const char* targetPath, CommitFailure* failure) {
  auto fail = [failure](CommitStep step) {
    const DWORD error = ::GetLastError();
    if (failure != nullptr) *failure = {step, error != 0 ? error : ERROR_GEN_FAILURE};
    return false;
  };
  {
    // The work copy's writer has closed it; flushing through a new handle
    // writes out every cached byte of the file, whoever wrote it.
    unique_hfile file(g_ops.createFile(workPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail(CommitStep::kOpen);
    if (!g_ops.flushFileBuffers(file.get())) return fail(CommitStep::kFlush);
  }
  if (!g_ops.moveFileEx(workPath, targetPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return fail(CommitStep::kReplace);
  if (failure != nullptr) *failure = {};
  return true;
}

}  // namespace bk::win
