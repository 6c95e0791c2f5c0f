#pragma once
// Bodies of the three exported calls and the steps of a restore. The exports
// (exports.cpp) check the arguments and run these inside the per-call frame.
#include <cstddef>

#include "environment/env.h"

inline constexpr std::size_t kVskEntrySize = 823;          // installed-software entry
inline constexpr std::size_t kVskEntryInstallDate = 793;   // 12 characters
inline constexpr char kVskCategory[] = "BKRV";

// Backup: writes the one-record install list for `path`, then makes the backup.
// 0 backed up, 1 failed.
int vskWriteInstallList(const char* path);
int vskAPIMakeBackup(const char* name, const char* version, const char* generation);

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
// Before anything is changed: BACKRSC decodes and walks cleanly to its end
// and matches the content checksums of BACKSUM (a backup made before they
// were kept: its structure only); its paths are kept for the steps after it.
// A backup without BACKRSC passes when it needs none. Results:
inline constexpr int kVskCheckOk = 0;
inline constexpr int kVskCheckRefused = 1;   // not restored now, the backup kept (logged, coded event)
inline constexpr int kVskCheckUnusable = 2;  // a defective archive without checksums: never restorable
int vskRestoreCheckSavedFiles();
int vskRestoreRemoveAddedPaths();
// Before the saved files are put back, in the saved directories: removes what
// the installation added (and what stands where the archive holds the other
// kind), best effort, and every link standing where the archive puts a file
// or directory. Ends with one summary line. 0, or 30 when a link in the way
// could not be removed (nothing is ever written through a link).
int vskRestoreRemoveAddedContents();
int vskRestoreSavedFiles();
// After the saved files are back, before the used backup is deleted: removes
// BACKSUM, BACKLST and BACKRSC in that order, so that a restore stopped while
// the backup is deleted finds either a backup it can put back once more or
// one that needs nothing.
void vskRestoreRetireUsedBackup();
void vskRestorePutBackEntry();

// Backup deletion. Unconditional: 0 deleted, 1/5/10/30 failures.
// Checked: 0 deleted, 1 protected and kept, 2 not found or not deletable.
int vskAPIDelBackup(const char* name, const char* version, const char* generation);
int vskCheckDelBackup(const char* name, const char* version, const char* generation);
