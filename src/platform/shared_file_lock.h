#pragma once
// Machine-wide lock around a read-modify-write of a file that other processes
// of the client change too (BACKMNG, UPLISTD.BON), or around the making of one
// backup (its key's name). Readers of such a file take it as well: a commit
// cannot replace a file that a reader holds open. The mutex is recursive for
// its owner thread: a holder may take the lock of the same file again (each
// owner object releases its own acquisition). Each file has one named
// mutex in the Global namespace, created with the open security record so
// that every account and terminal session can open it. Work copies alone
// cannot keep two writers apart: the second one's copy would be taken from the
// list as it was before the first one's commit.
//
//   bk::win::SharedFileLock lock("BACKMNG", "BKRV");
//   if (!lock.Held()) return failure;   // traced already
//   ... read, change, commit ...
#include <windows.h>

#include <cstddef>

#include "platform/unique_handle.h"

namespace bk::win {

// How long a writer waits for another one to finish: far longer than any
// commit takes, short enough that a hung process is reported, not waited out.
inline constexpr DWORD kSharedFileLockWaitMs = 120000;

class SharedFileLock {
 public:
  // Waits for the mutex of `fileName` (a plain file name) up to waitMs.
  // A failure is traced with `category` ("Lock Error ..." / "Lock Timeout ...").
  SharedFileLock(const char* fileName, const char* category, DWORD waitMs = kSharedFileLockWaitMs);
  SharedFileLock(const SharedFileLock&) = delete;
  SharedFileLock& operator=(const SharedFileLock&) = delete;
  ~SharedFileLock();

  bool Held() const { return held_; }
  // Gives the lock back before the owner ends (nothing when not held).
  void Release();

 private:
  unique_handle mutex_;
  bool held_ = false;
};

// "Global\BKRESTORE_<fileName>_LOCK" into out (size bytes); false when it
// does not fit.
bool SharedFileLockName(const char* fileName, char* out, std::size_t size);

// True when some thread holds the lock of `fileName` now; false when it is
// free, or its last holder ended without giving it back. Never waits. The
// calling thread's own holding is not seen (the mutex is recursive).
bool SharedFileLockIsHeld(const char* fileName);

}  // namespace bk::win
