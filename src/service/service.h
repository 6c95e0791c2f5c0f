#pragma once
// Bodies of the three exported calls and the steps of a restore. The exports
// (exports.cpp) check the arguments and run these inside the per-call frame.
#include <cstddef>

#include "environment/env.h"

inline constexpr std::size_t kVskEntrySize = 823;          // installed-software entry
inline constexpr std::size_t kVskEntryInstallDate = 793;   // 12 characters
inline constexpr char kVskCategory[] = "BKRV";

namespace bk::win {
class SharedFileLock;
}

// Backup: the body of vskAPIBackup writes the one-record install list for
// `path` under INSLIST's machine-wide lock, then makes the backup, which
// gives the lock back once it has read the list (with no lock given it takes
// one itself). 0 backed up, 1 failed.
int vskBackUpPath(const char* name, const char* version, const char* generation, const char* path);
int vskWriteInstallList(const char* path);
int vskAPIMakeBackup(const char* name, const char* version, const char* generation,
                     bk::win::SharedFileLock* listLock = nullptr);

// Writes all of a record through the C library, as every file write of a
// backup does (the I/O fault seam sees each one); false with errno set.
bool vskWriteRecordFd(int fd, const void* data, unsigned int size);

// File lookup: 0 list written, 1 no such resource, 2 other failure.
int vskGetResourceFileList(const char* name, const char* version, const char* generation,
                           const char* path);

// State of the running restore, cleared at its start.
struct VskRestoreState {
  VskPath directory;                       // the backup directory; empty until found
  unsigned char savedEntry[kVskEntrySize]; // installed-software entry saved with the backup
};
VskRestoreState& vskRestoreState();
void vskRestoreClearState();

// Restore steps. Find: 0 found, 5/10/30 not usable. Added paths: 0 or 30.
// Saved files: 0 or 1. The entry step only logs its failure.
int vskRestoreFindBackup(const char* name, const char* version, const char* generation);
// Before anything is changed: 0 when BACKRSC is absent or decodes and walks
// cleanly to its end (its paths are kept for the restore), 1 otherwise
// (logged as a failed saved-files step).
int vskRestoreCheckSavedFiles();
int vskRestoreRemoveAddedPaths();
int vskRestoreSavedFiles();
// Before the saved files are put back: removes what the installation added
// inside a saved directory (the archive's paths come from the check). 0 or 30.
int vskRestoreRemoveAddedContents();
void vskRestorePutBackEntry();

// Backup deletion. Unconditional: 0 deleted, 1/5/10/30 failures.
// Checked: 0 deleted, 1 protected and kept, 2 not found or not deletable.
int vskAPIDelBackup(const char* name, const char* version, const char* generation);
int vskCheckDelBackup(const char* name, const char* version, const char* generation);
