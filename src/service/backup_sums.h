#pragma once
// The content checksums of a backup, the file BACKSUM in its directory
// (layout in archive/ar_sums.h and docs/backup-root.md): written by the backup
// right after its archive, read by the restore's check and by bkrtool verify.
// A backup made before they were kept has none and is checked for its
// structure only.
#include <string>

#include "archive/ar_sums.h"

inline constexpr char kBackSumFileName[] = "BACKSUM";
inline constexpr char kBackSumWorkFileName[] = "BACKSUMW";

// Writes the sums of the archive just created (vskarLastCreateSums), or, when
// `archived` is false, the sums that say the backup has no archive: complete
// into BACKSUMW, flushed, then renamed to BACKSUM. 0 written; 1 failed
// (logged, the work copy removed).
int vskWriteBackupSums(const char* directory, bool archived);

// 0 read into `sums`; 1 the backup has no BACKSUM; 2 it cannot be read or is
// damaged (`why` says which; nothing is logged here).
int vskReadBackupSums(const char* directory, bk::ar::ArchiveSums* sums, std::string* why);
