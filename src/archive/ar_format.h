#pragma once
// The resource archive's records: the archive header `VsConReIn`, the entry
// header `VsConFileIn`, the associated-information block head, the date and
// time codes, and the records of the legacy layout.
//
// Current layout (all integers unsigned, big-endian, nothing aligned):
//   VsConReIn (42) | skipSize bytes | header names block (nameSize)
//   then per entry: VsConFileIn (64) | associated information (assocSize)
//                   | entry names block (nameSize) | content (dataSize)
// Names blocks are runs of NUL-terminated names; together they form the match
// table, numbered from 1 in file order (0 = no name).
//
// Legacy layout (read only; little-endian): a 60-byte header with the marker
// "NN" at offset 8, 60-byte entries each followed by its content, and a table
// of NUL-separated names numbered from 0.
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace bk::ar {

// Results of the archive readers and writer: 0 success, small positive codes.
inline constexpr int kArOk = 0;
inline constexpr int kArDefectiveHeader = 3;  // "Resource Error 1" / "Resource Error 2"
inline constexpr int kArNoMemory = 7;
inline constexpr int kArReadError = 10;       // the source cannot be read or ends early
inline constexpr int kArDefective = 11;       // a count, index, length or size breaks the layout
inline constexpr int kArWriteError = 12;      // the sink refused bytes
inline constexpr int kArTooLarge = 13;        // a value does not fit its field (writer)
inline constexpr int kArMisuse = 14;          // writer calls out of order, content length wrong
inline constexpr int kArContentMismatch = 15; // the content differs from its checksums

// --- VsConReIn ----------------------------------------------------------------

inline constexpr std::size_t kHeaderSize = 42;
namespace header_field {
inline constexpr std::size_t kArcSize = 4;
inline constexpr std::size_t kHeadSize = 8;
inline constexpr std::size_t kResGenNo = 12;  // two bytes
inline constexpr std::size_t kDriveNo = 14;
inline constexpr std::size_t kPathNo = 16;
inline constexpr std::size_t kNameCount = 18;
inline constexpr std::size_t kNameMax = 20;
inline constexpr std::size_t kCompKind = 22;
inline constexpr std::size_t kSkipSize = 34;
inline constexpr std::size_t kNameSize = 38;
}  // namespace header_field
static_assert(header_field::kNameSize + 4 == kHeaderSize);

inline constexpr unsigned char kCompKindNone = 'N';     // compression kind 0
inline constexpr unsigned char kCompKindControl = 'H';  // kind 1
inline constexpr unsigned char kCompKindZlib = 'Z';     // kind 5

struct VsConReIn {
  std::uint32_t arcSize = 0;   // length of the whole archive
  std::uint32_t headSize = 0;  // 42
  unsigned char resGenNo[2] = {0, 0};  // 1, 0
  std::uint16_t driveNo = 0;   // match-table index of the drive name
  std::uint16_t pathNo = 0;    // match-table index of the base path name
  std::uint16_t nameCount = 0; // names in the whole match table
  std::uint16_t nameMax = 0;   // longest name in bytes
  unsigned char compKind = 0;  // 'N', 'H' or 'Z'
  std::uint32_t skipSize = 0;  // bytes after the header that readers skip
  std::uint32_t nameSize = 0;  // header names block
};

void EncodeHeader(const VsConReIn& h, unsigned char out[kHeaderSize]);
VsConReIn DecodeHeader(const unsigned char in[kHeaderSize]);
// The readers' header check: generation 1, 0 and a known compKind. On failure
// it sends the coded message and the "Resource Error" line (category "ar")
// and returns kArDefectiveHeader.
int CheckHeader(const VsConReIn& h);

// --- VsConFileIn --------------------------------------------------------------

inline constexpr std::size_t kEntryHeaderSize = 64;
namespace entry_field {
inline constexpr std::size_t kEntSize = 0;
inline constexpr std::size_t kFileSize = 8;
inline constexpr std::size_t kMDate = 12;
inline constexpr std::size_t kMTime = 16;
inline constexpr std::size_t kADate = 20;
inline constexpr std::size_t kATime = 24;
inline constexpr std::size_t kNameNo = 28;
inline constexpr std::size_t kShortNo = 30;
inline constexpr std::size_t kOwnerNo = 32;
inline constexpr std::size_t kGroupNo = 34;
inline constexpr std::size_t kFileKind = 36;
inline constexpr std::size_t kFileMode = 37;
inline constexpr std::size_t kDataSize = 44;
inline constexpr std::size_t kAssocSize = 56;
inline constexpr std::size_t kNameSize = 60;
}  // namespace entry_field
static_assert(entry_field::kNameSize + 4 == kEntryHeaderSize);

// fileKind bits.
inline constexpr unsigned char kKindRegular = 1;  // clear: a directory
inline constexpr unsigned char kKindSystem = 2;
inline constexpr unsigned char kKindHidden = 4;
inline constexpr unsigned char kKindReadOnly = 8;
inline constexpr unsigned char kKindArchive = 16;
inline constexpr unsigned char kFileModeAll = 7;

struct VsConFileIn {
  std::uint32_t entSize = kEntryHeaderSize;
  std::uint32_t fileSize = 0;
  std::uint32_t mDate = 0, mTime = 0, aDate = 0, aTime = 0;
  std::uint16_t nameNo = 0, shortNo = 0, ownerNo = 0, groupNo = 0;
  unsigned char fileKind = 0;
  unsigned char fileMode = 0;
  std::uint32_t dataSize = 0;
  std::uint32_t assocSize = 0;
  std::uint32_t nameSize = 0;

  bool IsDirectory() const { return (fileKind & kKindRegular) == 0; }
};

void EncodeEntry(const VsConFileIn& e, unsigned char out[kEntryHeaderSize]);
VsConFileIn DecodeEntry(const unsigned char in[kEntryHeaderSize]);

// --- associated information -----------------------------------------------------

inline constexpr std::size_t kAssocHeadSize = 6;  // assocType (2), assocLen (4)
inline constexpr std::uint16_t kAssocSecurity = 5;  // "PC-ACL": a security descriptor

// --- names ---------------------------------------------------------------------

inline constexpr std::size_t kMaxNameLength = 259;  // a 260-byte path with its terminator
inline constexpr std::size_t kMaxNames = 65535;

// --- date and time codes ---------------------------------------------------------

// The local date as a code whose hexadecimal digits spell YYYYMMDD, the time
// as HHMMSS. False when the time cannot be converted or its year has more than
// four digits.
bool arTimeToCodes(std::time_t t, std::uint32_t* dateCode, std::uint32_t* timeCode);
// Back to a time value, read as local standard time; -1 when a code holds a
// digit above 9.
std::time_t arCodesToTime(std::uint32_t dateCode, std::uint32_t timeCode);

// --- legacy layout ----------------------------------------------------------------

inline constexpr std::size_t kLegacyHeaderSize = 60;
inline constexpr std::size_t kLegacyEntrySize = 60;
inline constexpr std::size_t kLegacyNameSlot = 260;
namespace legacy_field {
inline constexpr std::size_t kNamesEnd = 0;
inline constexpr std::size_t kFirstEntry = 4;
inline constexpr std::size_t kMarker = 8;  // "NN"
inline constexpr std::size_t kDriveIndex = 10;
inline constexpr std::size_t kPathIndex = 12;
inline constexpr std::size_t kNamesStart = 16;
// entry
inline constexpr std::size_t kEntryLength = 0;
inline constexpr std::size_t kADate = 8;
inline constexpr std::size_t kATime = 12;
inline constexpr std::size_t kMDate = 16;
inline constexpr std::size_t kMTime = 20;
inline constexpr std::size_t kNameIndex = 24;
inline constexpr std::size_t kAttributes = 28;
inline constexpr std::size_t kContentLength = 52;
}  // namespace legacy_field
static_assert(legacy_field::kContentLength + 8 == kLegacyEntrySize);

inline constexpr std::uint32_t kLegacyDirectoryAttribute = 0x10;  // FILE_ATTRIBUTE_DIRECTORY

struct LegacyHeader {
  std::uint32_t namesEnd = 0;
  std::uint32_t firstEntry = 0;
  std::int16_t driveIndex = 0;
  std::int16_t pathIndex = 0;
  std::uint32_t namesStart = 0;  // also where the entries end
};

struct LegacyEntry {
  std::uint32_t entryLength = 0;
  std::uint32_t aDate = 0, aTime = 0, mDate = 0, mTime = 0;
  std::int16_t nameIndex = 0;
  std::uint32_t attributes = 0;
  std::uint32_t contentLength = 0;

  bool IsDirectory() const { return (attributes & kLegacyDirectoryAttribute) != 0; }
};

// A file whose bytes 8 and 9 are "NN" (at least 10 bytes given).
bool IsLegacyLayout(const unsigned char* first, std::size_t length);
LegacyHeader DecodeLegacyHeader(const unsigned char in[kLegacyHeaderSize]);
LegacyEntry DecodeLegacyEntry(const unsigned char in[kLegacyEntrySize]);
void EncodeLegacyHeader(const LegacyHeader& h, unsigned char out[kLegacyHeaderSize]);
void EncodeLegacyEntry(const LegacyEntry& e, unsigned char out[kLegacyEntrySize]);

// Decimal YYMMDD and HHMMSS (YY 70-99: 1970-1999, 00-69: 2000-2069), local
// times of a zone nine hours ahead of UTC, to seconds since 1970 UTC. False
// for a value above 999999 or a month outside 1..12.
bool LegacyCodesToTime(std::uint32_t date, std::uint32_t time, std::int64_t* seconds);

}  // namespace bk::ar
