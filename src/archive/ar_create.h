#pragma once
// Archive creation: files and directories below one base directory into a
// resource archive (current layout), then, on request, wrapped into an
// encoded file.
//
// Compression kind 1 without encryption (what making a backup asks for) is
// streamed: the tree is walked once to plan every entry (so the final header
// is known and the limits are checked before a byte is written), then the
// archive goes straight through the control encoder into the archive path
// in large writes; no plain archive and no ".ecd" work copy touch the disk.
// Kinds 0 and 5, and the encryption flag, write the plain archive, rename it
// to the work copy "<archive>.ecd", encode that into the archive path and
// delete the work copy. Both ways give the same files, results and log lines
// (log "CLIENT.log", category "ar").
//
// One creation at a time per process; no thread is started.
#include <cstdint>

#include "archive/ar_sums.h"

// Results of vskarCreateArcFileEx and vskarCreateArcFile (the encoders'
// results pass through unchanged when encoding fails).
inline constexpr int kArCreateOk = 0;
inline constexpr int kArCreateNoSource = 1;    // the source does not exist; a directory cannot be searched
inline constexpr int kArCreateWriteError = 3;  // the archive cannot be created or written
inline constexpr int kArCreateReadShort = 4;   // a file reads short within its full 4096-byte pieces
inline constexpr int kArCreateFileError = 6;   // status, short last piece, search or close failure, no file
inline constexpr int kArCreateNoMemory = 7;
inline constexpr int kArCreateBadTime = 25;    // a file's modification or access time is invalid
inline constexpr int kArCreateTooManyNames = 26;  // the match table would need more than 65535 names
inline constexpr int kArCreateTooLarge = 27;      // a file, or the archive, would reach 4 GiB
inline constexpr int kArCreateBadName = 28;       // a name below a saved directory has no exact ANSI form
inline constexpr int kArCreateListError = -1;  // the reused-name list cannot be allocated

// source: with a name list the base directory ("C:" for a drive root);
// without one the file or directory to archive (its parent is the base).
// nameList: listCount NUL-terminated names relative to the base, "\"
// separators. compressionKind 0, 1 or 5. securityMode 1 attaches the client's
// security information files, 2 each entry's own descriptor, others nothing.
int vskarCreateArcFileEx(const char* source, const char* nameList, int listCount, int compressionKind,
                         int reserved, const char* archivePath, int securityMode, int encrypt);
// The creation core: the plain archive only, never encoded. baseOverride
// (may be null) replaces the base directory whose drive name is recorded.
int vskarCreateArcFile(const char* source, const char* nameList, int listCount, int compressionKind,
                       const char* baseOverride, const char* archivePath, int securityMode);

// The current local date and time plus `days` days as "%4d%2d%2d%2d%2d%2d"
// (14 characters and a terminator; blanks, not zeros, before one-digit parts).
void vskGetDateTimeString(int days, char* text /* 15 bytes */);

// Rewrites a path in place from its non-empty parts: mode 2 "/" to "\",
// mode 3 "\" to "/" (a drive root "X:\" keeps its slash), mode 4 "\" to "\"
// (doubled, leading and trailing backslashes go). Other modes change nothing.
void arConvertSeparators(char* text, int mode);

// What the last creation archived.
struct VskArCreateStats {
  std::uint64_t entries, files, directories, contentBytes;
};
const VskArCreateStats& vskarLastCreateStats();
// The content checksums of the plain archive the last creation wrote, taken
// from its bytes as they were written (both ways give the same); no archive
// (hasArchive false) after a creation that failed.
const bk::ar::ArchiveSums& vskarLastCreateSums();

// --- Tests ---------------------------------------------------------------------
// true: every kind takes the plain way (plain archive, work copy, file
// encoder), the reference for the streamed way.
void vskarUsePlainWayForTest(bool plain);
// true: the streamed way reads the files' contents on the caller's thread
// between the encoder's steps instead of on a thread of its own ahead of it
// (the same bytes either way). On by default; false switches the reading
// thread on.
void vskarUseOneThreadStreamForTest(bool on);
// Replaces the progress display calls (null restores vskWapiGaugeStart/Step).
using VskarGaugeStart = void (*)(std::uint16_t kind, std::uint16_t range);
using VskarGaugeStep = void (*)(std::uint16_t kind, std::uint16_t position);
void vskarSetGaugeForTest(VskarGaugeStart start, VskarGaugeStep step);
// Attributes added to directory entries whose name equals `name` as the
// search reports them (null: none), so that a test can make an entry look
// like a reparse point, which Wine cannot make.
void vskarMarkSearchEntryForTest(const char* name, std::uint32_t attributes);
