#include "platform/file_commit.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "logging/log.h"
#include "platform/unique_handle.h"

namespace bk::win {

namespace {

int SystemOpenFd(const char* path, int flags, int mode) { return ::_open(path, flags, mode); }
int SystemWriteFd(int fd, const void* data, unsigned int size) { return ::_write(fd, data, size); }
void WINAPI SystemSleep(DWORD ms) { ::Sleep(ms); }

constexpr WorkCopyOps kSystemOps = {SystemOpenFd,       SystemWriteFd, ::CreateFileA, ::WriteFile,
                                    ::FlushFileBuffers, ::MoveFileExA,  SystemSleep};
WorkCopyOps g_ops = kSystemOps;

// The errors of a replace that another process's open handle of the target
// (or of the work copy) causes; they pass when the handle is closed.
bool HeldOpenByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// The rename over the target, retried while another program holds it open.
bool Replace(const char* workPath, const char* targetPath, const char* retryCategory) {
  constexpr DWORD kFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  constexpr int kRetries = static_cast<int>(sizeof kReplaceRetryPausesMs / sizeof kReplaceRetryPausesMs[0]);
  for (int retry = 0;; ++retry) {
    if (g_ops.moveFileEx(workPath, targetPath, kFlags)) return true;
    const DWORD error = ::GetLastError();
    if (retryCategory == nullptr || retry == kRetries || !HeldOpenByAnother(error)) {
      ::SetLastError(error);
      return false;
    }
    vskLogTrace(retryCategory, "Commit Retry: MoveFileEx(%s To %s) GetLastError=%lu, retry %d of %d in %lu ms",
                workPath, targetPath, error, retry + 1, kRetries, kReplaceRetryPausesMs[retry]);
    g_ops.sleep(kReplaceRetryPausesMs[retry]);
  }
}

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

bool CommitWorkCopy(const char* workPath, const char* targetPath, CommitFailure* failure,
                    const char* retryCategory) {
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
  if (!Replace(workPath, targetPath, retryCategory)) return fail(CommitStep::kReplace);
  if (failure != nullptr) *failure = {};
  return true;
}

}  // namespace bk::win
