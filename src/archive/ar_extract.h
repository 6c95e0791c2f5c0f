#pragma once
// Extraction of resource archives (Windows): the files and directories of an
// archive written back below the base directory recorded in it or below a
// directory the caller names, with their times, attributes and, when the
// archive carries one, security descriptor. Log "CLIENT.log", category "ar".
//
// Entries whose path would leave the target base (absolute names, drive or
// stream colons, ".." components) are never written: the extraction fails
// at such an entry with a coded message naming it.
#include <cstdint>

// vskarMain: an encoded archive is first decoded in place (through the work
// copy "<archive>.dcd", which is put back when the decoding fails), then a
// legacy archive ("NN" at offset 8) goes to arCreateUnarcFile, any other to
// vskarCreateUnarcNewFile. keep 0 deletes the archive after a successful
// extraction (and after a failed one of the current layout). 0 success, -1
// the archive cannot be opened, renamed or decoded, else the extractor's result.
int vskarMain(const char* archivePath, const char* targetDir /* may be null */, int keep);

// The current layout. 0 success, 3 defective header ("Resource Error 1" or
// "Resource Error 2"), -1 any other failure.
int vskarCreateUnarcNewFile(const char* archivePath, const char* targetDir, int keep);

// The legacy layout. 0 success; 1 the archive is missing; 2 the first level of
// the base is missing; 3 the names cannot be read or are defective, an entry's
// path leaves the base, a file cannot be created, a write fails or the archive
// cannot be closed; 4 an entry header cannot be read or is defective; 5 a
// directory cannot be created (or its path is a file); 6 a file cannot be
// deleted, a piece reads or writes short, a file cannot be flushed or closed,
// attributes cannot be set, or the archive cannot be deleted; 7 memory.
int arCreateUnarcFile(const char* archivePath, const char* targetDir, int keep);

// What vskarVerifyArchive found.
struct VskArVerifyReport {
  std::uint32_t entries = 0;
  std::uint32_t files = 0;
  std::uint32_t directories = 0;
  std::uint64_t contentBytes = 0;
  bool encoded = false;       // the file is an encoded archive
  bool legacy = false;        // the legacy layout
  bool summed = false;        // compared with content checksums
  bool unreadable = false;    // the file could not be opened or read: no defect of its content
  bool mismatch = false;      // it decodes and walks, but differs from its checksums
  char firstDefect[512] = {}; // empty when the archive is sound
};

// Checks an archive without changing anything: 0 when the file (encoded or
// plain; current or legacy layout) decodes to its end and its archive walks
// cleanly to its end (header, every names block, associated-information block
// and content length consistent; every entry's path inside the base recorded
// in the archive and no longer than a Windows path). Else nonzero (the codec's
// or reader's result, or -1), with a log line saying what is wrong. An encoded
// file is read as the current layout, as vskarMain does.
int vskarVerifyArchive(const char* archivePath, VskArVerifyReport* report /* nullable */);

// The same check in the same one pass, with more asked of it:
// - `sums` (nullable): the archive's content checksums (BACKSUM). Every byte
//   the decoding gives is tallied; an archive that differs from them (or is
//   not in the current layout they were taken of) fails with
//   bk::ar::kArContentMismatch and a defect text naming the damaged entry.
// - `visit` (nullable): told every entry of an archive in the current layout
//   with the path extraction without a target writes it to, in archive order.
// 0 when the whole archive was walked and matches.
namespace bk::ar {
struct ArchiveSums;
}
using VskarEntryVisit = void (*)(void* context, const char* path, bool directory);
int vskarCheckArchive(const char* archivePath, const bk::ar::ArchiveSums* sums, VskarEntryVisit visit, void* context,
                      VskArVerifyReport* report /* nullable */);

// As vskarMain(archivePath, targetDir, 1) in results and messages, but the
// archive file is never changed: an encoded archive is decoded as a stream
// straight into the extraction (no ".dcd", no rewrite), so a restore stopped
// midway can be run again. A decoding failure found after some entries were
// written leaves them written (as any failure midway does).
int vskarRestoreArchive(const char* archivePath, const char* targetDir);

// Test seams. The wait before each retry of a delete (1000 ms; null restores
// Sleep), and the install progress display (null restores vskWapiGaugeStep
// with kind 2).
using VskarWaitCall = void (*)(unsigned long milliseconds);
void vskarSetRetryWaitForTest(VskarWaitCall wait);
using VskarGaugeCall = void (*)(std::uint16_t kind, std::uint16_t position);
void vskarSetGaugeCallForTest(VskarGaugeCall gauge);
// Forces the fallback used where SetFileInformationByHandle does not exist
// (Windows XP): times on the handle, attributes by path after the close.
void vskarUseXpFileCallsForTest(bool on);
// Runs extractions on the caller's thread alone: each file's flush, times,
// attributes and close before the next file, and no decoding ahead. On by
// default; false switches the closing and decoding threads on.
void vskarUseOneThreadForTest(bool on);
