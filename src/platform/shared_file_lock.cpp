#include "platform/shared_file_lock.h"

#include <cstdio>

#include "environment/security_record.h"
#include "logging/log.h"

namespace bk::win {

namespace {
constexpr char kSource[] = "client\\cltmlib\\cltmlock";
}  // namespace

bool SharedFileLockName(const char* fileName, char* out, std::size_t size) {
  const int n = std::snprintf(out, size, "Global\\BKRESTORE_%s_LOCK", fileName);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

SharedFileLock::SharedFileLock(const char* fileName, const char* category, DWORD waitMs) {
  char name[MAX_PATH];
  if (!SharedFileLockName(fileName, name, sizeof name)) {
    vskLogTrace(category, "Lock Error: name too long for %s", fileName);
    return;
  }
  SECURITY_ATTRIBUTES security{};
  const bool secured = vskSetSecurity(&security) == 1;
  security.bInheritHandle = FALSE;
  mutex_ = ::CreateMutexA(secured ? &security : nullptr, FALSE, name);
  const DWORD createError = ::GetLastError();
  if (secured) vskReleaseSecurity(&security);
  if (mutex_ == nullptr) {
    vskLogApiError(kVskApiWindows, category, "CreateMutex", static_cast<std::int32_t>(createError),
                   kSource, __LINE__);
    vskLogTrace(category, "Lock Error: CreateMutex(%s) GetLastError=%lu", name, createError);
    return;
  }
  // An abandoned mutex still serialises: its last holder died between commits,
  // and a commit replaces the file in one step, so the file is whole.
  const DWORD wait = ::WaitForSingleObject(mutex_, waitMs);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    held_ = true;
    return;
  }
  if (wait == WAIT_TIMEOUT)
    vskLogTrace(category, "Lock Timeout: %s not released within %lu ms", name, waitMs);
  else
    vskLogTrace(category, "Lock Error: WaitForSingleObject(%s) GetLastError=%lu", name, ::GetLastError());
}

SharedFileLock::~SharedFileLock() {
  if (held_) ::ReleaseMutex(mutex_);
  if (mutex_ != nullptr) ::CloseHandle(mutex_);
}

}  // namespace bk::win
