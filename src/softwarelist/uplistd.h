#pragma once
// The client's installed-software lists UPLISTD.BON and SWLISTD.BON: files of
// fixed 823-byte entries (no header) in the database directory. The service
// reads a resource's entry before a backup and writes it back with the
// backup and restore dates.
#include <cstddef>

// Entry layout. Texts end with a zero byte inside their field.
inline constexpr std::size_t kSyscEntrySize = 823;
inline constexpr std::size_t kSyscType = 0;              // 1: entry type letter
inline constexpr std::size_t kSyscLocation = 1;          // 256: location text
inline constexpr std::size_t kSyscLocationWidth = 256;
inline constexpr std::size_t kSyscPackageName = 257;     // 256: dot-separated package name
inline constexpr std::size_t kSyscPackageNameWidth = 256;
inline constexpr std::size_t kSyscSecondKey = 513;       // 243: key of lookup kind 13
inline constexpr std::size_t kSyscSecondKeyWidth = 243;
inline constexpr std::size_t kSyscCarriedDate = 756;     // 12 date-time characters
inline constexpr std::size_t kSyscRestoreDate = 781;     // 12
inline constexpr std::size_t kSyscInstallDate = 793;     // 12; blanks when none
inline constexpr std::size_t kSyscBackupDate = 805;      // 12: backed-up install date
inline constexpr std::size_t kSyscRestoreMark = 817;     // 1: 'B' after a restore
inline constexpr std::size_t kSyscStatus = 819;          // 1
inline constexpr std::size_t kSyscSubStatus = 820;       // 1
inline constexpr std::size_t kSyscDateWidth = 12;
static_assert(kSyscSecondKey + kSyscSecondKeyWidth == kSyscCarriedDate);
static_assert(kSyscSubStatus + 3 == kSyscEntrySize);

inline constexpr unsigned char kSyscStatusInstalled = 0x90;  // the only status a lookup accepts
inline constexpr unsigned char kSyscStatusPending = 0xB0;

// Lookup kinds: the resource name (third part of the package name) or the
// second key text.
inline constexpr int kSyscByResourceName = 12;
inline constexpr int kSyscBySecondKey = 13;

// Finds the entry of a package in UPLISTD.BON, then SWLISTD.BON, and copies it
// into `entry` (823 bytes). The last matching entry of a file wins; a match
// whose status is not 0x90 ends the lookup. 0 found, -1 otherwise.
int vskSyscGetUplistdEntry(int kind, const char* key, unsigned char* entry);

// Stores `entry` into UPLISTD.BON (or the list at listPath): replaces every
// entry of the same package, else appends it. The caller's entry is first
// completed from the stored one (carried date, location). 0 stored (or, with
// "InstallPackageNOErrorSet" on, an error entry skipped), -1 failed; on failure
// the list is unchanged.
int vskSyscPutUplistdEntry(unsigned char* entry);
int vskSyscPutUplistdEntryEx(unsigned char* entry, const char* listPath);

// Looks the entry of a resource (lookup kind 12) up and stores it as
// `change` leaves it, with no other update of UPLISTD.BON between the two.
// 0 stored, 1 no such entry, -1 the update failed (the list is unchanged).
int vskSyscChangeUplistdEntry(const char* resource, void (*change)(unsigned char* entry));
