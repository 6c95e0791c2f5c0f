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
  if (fileName == nullptr || !SharedFileLockName(fileName, name, sizeof name)) {
    vskLogTrace(category, "Lock Error: name too long for %s", fileName != nullptr ? fileName : "(none)");
    return;
  }
  SECURITY_ATTRIBUTES security{};
  const bool secured = vskSetSecurity(&security) == 1;
  security.bInheritHandle = FALSE;
  mutex_.reset(::CreateMutexA(secured ? &security : nullptr, FALSE, name));
  DWORD error = ::GetLastError();
  if (secured) vskReleaseSecurity(&security);
  // A mutex created by another account before the open security record was
  // in use: it may still be opened for waiting and releasing.
  if (!mutex_ && error == ERROR_ACCESS_DENIED) {
    mutex_.reset(::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name));
    error = ::GetLastError();
  }
  if (!mutex_) {
    vskLogApiError(kVskApiWindows, category, "CreateMutex", static_cast<std::int32_t>(error), kSource, __LINE__);
    vskLogTrace(category, "Lock Error: CreateMutex(%s) GetLastError=%lu", name, error);
    return;
  }
  // An abandoned mutex still serialises: its last holder died between commits,
  // and a commit replaces the file in one step, so the file is whole.
  const DWORD wait = ::WaitForSingleObject(mutex_.get(), waitMs);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    held_ = true;
    return;
  }
  const DWORD waitError = ::GetLastError();
  if (wait == WAIT_TIMEOUT)
    vskLogTrace(category, "Lock Timeout: %s not released within %lu ms", name, waitMs);
  else
    vskLogTrace(category, "Lock Error: WaitForSingleObject(%s) GetLastError=%lu", name, waitError);
}

SharedFileLock::~SharedFileLock() { Release(); }

void SharedFileLock::Release() {
  if (held_) ::ReleaseMutex(mutex_.get());
  held_ = false;
}

bool SharedFileLockIsHeld(const char* fileName) {
  char name[MAX_PATH];
  if (fileName == nullptr || !SharedFileLockName(fileName, name, sizeof name)) return false;
  unique_handle mutex(::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name));
  if (!mutex) return false;  // nobody has it open, so nobody holds it
  const DWORD wait = ::WaitForSingleObject(mutex.get(), 0);
  // A wait that fails tells nothing: the lock counts as held.
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return true;
  ::ReleaseMutex(mutex.get());
  return false;
}

}  // namespace bk::win
