#pragma once
// Committing a rewritten list file (BACKMNG, UPLISTD.BON). The new contents are
// written completely into a work copy beside the list, flushed to disk, and the
// work copy then takes the list's name in one step. A list on disk is so always
// either the old or the new one: a process that stops in between, or a step
// that fails, never leaves it missing, empty or half written.
#include <windows.h>

namespace bk::win {

// The file operations used to write and commit work copies. The list modules
// call them only through WorkCopyOps(), so that a test can replace one entry
// and make exactly that step fail.
struct WorkCopyOps {
  int (*openFd)(const char* path, int flags, int mode);               // C library _open
  int (*writeFd)(int fd, const void* data, unsigned int size);         // C library _write
  HANDLE(WINAPI* createFile)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* flushFileBuffers)(HANDLE);
  BOOL(WINAPI* moveFileEx)(LPCSTR, LPCSTR, DWORD);
  void(WINAPI* sleep)(DWORD);                                          // the pause between two tries of a replace
};
WorkCopyOps& WorkCopyOpsTable();
void ResetWorkCopyOps();  // back to the system's functions

// Writes all `size` bytes through the C library; false (errno set) on a failed
// or short write.
bool WriteAllFd(int fd, const void* data, unsigned int size);
// Writes all `size` bytes at the file position; false (last error set) on a
// failed or short write.
bool WriteAllFile(HANDLE file, const void* data, DWORD size);

enum class CommitStep { kNone, kOpen, kFlush, kReplace };
struct CommitFailure {
  CommitStep step = CommitStep::kNone;
  DWORD error = 0;  // GetLastError() of the failed step
};

// The pauses before the retries of a refused replace (about 3.6 s in all).
inline constexpr DWORD kReplaceRetryPausesMs[] = {10, 20, 50, 100, 200, 400, 800, 1000, 1000};

// Puts the work copy at workPath (written completely and closed) in place of
// targetPath, which need not exist: flushes the work copy's data to disk, then
// renames it over the target with replace and write-through. On failure the
// target is untouched, the work copy is left for the caller to remove, and
// `failure` (if given) names the step and its error.
//
// With a log category, a replace refused because another program holds the
// target open (a reader of the client that takes no lock) is tried again
// after growing pauses, for the sum of kReplaceRetryPausesMs at most; each retry
// is traced with the category ("Commit Retry: ..."). A replace that is still
// refused after the last one fails the commit.
bool CommitWorkCopy(const char* workPath, const char* targetPath, CommitFailure* failure,
                    const char* retryCategory = nullptr);

}  // namespace bk::win
