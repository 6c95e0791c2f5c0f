#pragma once
// The backup management file BACKMNG in the backup root: a little-endian
// 16-bit record count, then fixed 895-byte records, one per backup. Readers
// count the records from the file's length; the header is kept up to date by
// every writer but trusted by none. BACKMNGW beside it is the work copy that
// replaces it whenever records are removed.
#include <cstddef>
#include <cstdint>

#include "environment/env.h"
#include "softwarelist/uplistd.h"

inline constexpr char kBkmnFileName[] = "BACKMNG";
inline constexpr char kBkmnWorkFileName[] = "BACKMNGW";

inline constexpr std::size_t kBkmnHeaderSize = 2;     // record count, signed 16-bit, little-endian
inline constexpr std::size_t kBkmnRecordSize = 895;
// Record fields. Texts are zero-padded and have no terminator at full width.
inline constexpr std::size_t kBkmnName = 0;           // 44
inline constexpr std::size_t kBkmnVersion = 44;       // 8
inline constexpr std::size_t kBkmnGeneration = 52;    // 4
inline constexpr std::size_t kBkmnDirectory = 56;     // 8: "UPI_" and four letters
inline constexpr std::size_t kBkmnDirectoryWidth = 8;
inline constexpr std::size_t kBkmnProtectUntil = 64;  // 8: "%4d%2d%2d", or zero bytes for none
inline constexpr std::size_t kBkmnProtectWidth = 8;
inline constexpr std::size_t kBkmnEntry = 72;         // 823: installed-software entry at backup time
static_assert(kBkmnProtectUntil + kBkmnProtectWidth == kBkmnEntry);
static_assert(kBkmnEntry + kSyscEntrySize == kBkmnRecordSize);

// The header holds a signed 16-bit count: a file with more records cannot be
// described by it and is refused as damaged.
inline constexpr std::size_t kBkmnMaxRecords = 32767;

// Whether the directory field of a record (kBkmnDirectoryWidth bytes) holds
// the form this service writes, "UPI_" and four letters A to Z. Any looser
// filter lets through names that path normalisation changes (blanks and
// trailing dots are dropped), naming the root or another backup. Portable.
bool vskBKRVIsBackupDirName(const unsigned char* field);

// "<root>\<file name>"; false when it does not fit a path buffer.
bool vskBKRVMngPath(const char* root, const char* fileName, VskPath& out);

// The backup directory of a record: root + "\" + the name at offset 56. False
// unless that name is exactly "UPI_" and four letters A to Z, the form this
// service writes: any other name (empty, blanks, dots, a trailing dot, path
// separators, wildcards) could name the root, another backup's directory or a
// place outside the root once Windows normalises the path, so it never names
// a directory to delete; its record is unlinked without touching any.
bool vskBKRVBackupDirPath(const char* root, const unsigned char* record, VskPath& out);

// In-memory list of BACKMNG's records for the delete check. Call order: open,
// then any next and delete calls, then close (also after a failed open).
//  open:   1 list built, first record copied to `record` (895 bytes);
//          0 nothing to iterate (file missing, unreadable, empty or damaged).
//  next:   1 next record copied; 0 end of the list.
//  delete: 1 the current record's backup directory removed, the record
//          unlinked and `record` zeroed; 0 nothing done (also for a second
//          delete without a next in between).
//  close:  1 committed, or nothing to commit; 0 the commit failed (BACKMNG
//          keeps its old contents).
int vskBKRVOpenBKMN(unsigned char* record);
int vskBKRVNextBKMN(unsigned char* record);
int vskBKRVDeleteBKMN(unsigned char* record);
int vskBKRVCloseBKMN();

// Takes the record of the key whose directory name is `directoryName` (8
// characters) out of BACKMNG in place, under the file's lock: the records
// after it move up by one, the file is cut by one record and the header gets
// the new count. No byte more is written than the file holds, so it works on
// a full disk (where a work copy cannot be made). A write that fails, or a
// process that ends, half way leaves at worst one of the moved records twice,
// never one lost. 1 removed, 0 no such record, -1 failed (logged).
int vskBKRVRemoveRecordInPlace(const char* name, const char* version, const char* generation,
                               const char* directoryName);

// Reads up to `size` bytes, repeating short reads: the count read (less than
// size only at the end of the file), or -1 with errno set.
int vskBKRVReadFull(int fd, unsigned char* data, unsigned int size);
