#pragma once
// Telling a finished backup from one that is still being made or whose maker
// ended part way (killed, power lost). From the creation of its directory
// until its files are complete, a backup's directory holds the empty marker
// file "BACKRUN", and the process making it holds the machine-wide lock of
// its key (bk::win::SharedFileLock under vskBackupKeyLockName) for the whole
// backup. So a record whose directory holds the marker is
//  - being made while some process holds the key's lock,
//  - interrupted when none does: its archive may be missing or cut short.
// A directory without the marker is a finished backup, or one made before
// the marker was written; both are used as they are.
#include <cstddef>

inline constexpr char kBackRunFileName[] = "BACKRUN";

// The wait for the key's lock when a backup starts: far longer than another
// process's look at the lock takes, short beside a backup that is being made.
inline constexpr unsigned long kBackupKeyLockWaitMs = 1000;

// The lock name of a key: "BACKUP_" and the upper-case hexadecimal bytes of
// the name, version and generation (letter case folded as keys compare),
// separated by "_". From the arguments, or from a record's key fields.
bool vskBackupKeyLockName(const char* name, const char* version, const char* generation, char* out,
                          std::size_t size);
bool vskBackupKeyLockNameOfRecord(const unsigned char* record, char* out, std::size_t size);

enum class VskBackupState { kFinished, kBeingMade, kInterrupted };

// The state of the backup that a BACKMNG record (895 bytes) names in `root`.
// A record whose directory name is not one this service writes, or whose
// directory is gone, counts as finished here (other checks deal with those).
VskBackupState vskBackupStateOf(const char* root, const unsigned char* record);

// The restore's check: true (and logged) when the record's backup is not
// finished, so that it is treated as no backup at all.
bool vskBackupIsUnfinished(const char* root, const unsigned char* record);

// True when `directory` holds the marker.
bool vskBackupHasMarker(const char* directory);
