#pragma once
// Content checksums of a resource archive, as a backup keeps them beside its
// archive in the file "BACKSUM": a CRC-32 of the archive's prologue (header,
// skipped bytes, header names block), one of each entry (its header,
// associated information, names block and content, so that names, times and
// attributes are covered as well as the bytes), and the length and CRC-32 of
// the whole plain archive. The restore compares the decoded archive with them
// before it changes anything. Older readers never open the file.
//
// BACKSUM, all numbers big-endian as in the archive:
//   0   8   signature "BACKSUM" and a zero byte
//   8   2   layout version, 1
//   10  2   flags: 1 an archive was made (0: no listed path existed, the
//           backup has no BACKRSC, and every field below is 0)
//   12  4   entry count n
//   16  4   length of the plain archive
//   20  4   CRC-32 of the plain archive
//   24  4   CRC-32 of the prologue
//   28  4n  CRC-32 of each entry, in archive order
//   28+4n 4 CRC-32 of all bytes before it
// CRC-32 is that of zlib (and of bkrtool tree): polynomial 0xEDB88320,
// reflected, initial and final value 0xFFFFFFFF.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/ar_format.h"

namespace bk::ar {

inline constexpr char kSumsSignature[8] = {'B', 'A', 'C', 'K', 'S', 'U', 'M', '\0'};
inline constexpr std::uint16_t kSumsVersion = 1;
inline constexpr std::uint16_t kSumsHasArchive = 1;
namespace sums_field {
inline constexpr std::size_t kSignature = 0;
inline constexpr std::size_t kVersion = 8;
inline constexpr std::size_t kFlags = 10;
inline constexpr std::size_t kEntryCount = 12;
inline constexpr std::size_t kPlainSize = 16;
inline constexpr std::size_t kPlainCrc = 20;
inline constexpr std::size_t kPrologueCrc = 24;
inline constexpr std::size_t kEntryCrcs = 28;
}  // namespace sums_field
inline constexpr std::size_t kSumsHeadSize = sums_field::kEntryCrcs;
inline constexpr std::size_t kSumsTrailerSize = 4;
// Every entry brings at least its own path into the match table.
inline constexpr std::size_t kSumsMaxEntries = kMaxNames;
inline constexpr std::size_t kSumsMaxSize = kSumsHeadSize + 4 * kSumsMaxEntries + kSumsTrailerSize;

struct ArchiveSums {
  bool hasArchive = false;
  std::uint32_t plainSize = 0;
  std::uint32_t plainCrc = 0;
  std::uint32_t prologueCrc = 0;
  std::vector<std::uint32_t> entryCrcs;
  bool operator==(const ArchiveSums&) const = default;
};

// The sums of a backup without an archive.
inline ArchiveSums NoArchiveSums() { return ArchiveSums{}; }

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t n);

// The file's bytes.
std::vector<unsigned char> EncodeSums(const ArchiveSums& sums);
// Reads the file's bytes, checking every field (signature, version, flags,
// count against the length, the trailing CRC, a no-archive file holding
// nothing else). kArOk, or kArDefective with what is wrong in `why`.
int DecodeSums(const unsigned char* data, std::size_t size, ArchiveSums* out, std::string* why);

// Where an archive's sums differ from the expected ones, in the order a
// reader meets the parts.
struct SumsDifference {
  enum class Part { kNone, kArchivePresence, kPrologue, kEntry, kEntryCount, kWhole } part = Part::kNone;
  std::size_t entry = 0;  // index from 0, for kEntry
};
SumsDifference CompareSums(const ArchiveSums& expected, const ArchiveSums& actual);
// "entry 3", "the archive header", ...: for log lines and reports.
std::string DescribeDifference(const SumsDifference& d, const std::string& entryPath);

// Computes the sums of an archive from its plain bytes, given in order.
//
//   SumTally t;
//   t.Add(prologue bytes);
//   t.BeginEntry(); t.Add(entry bytes); ...   // once per entry
//   ArchiveSums s = t.Sums();
//
// A writer that puts a placeholder header first and the final one over it at
// the end gives the final one with ReplaceHeader before Sums().
class SumTally {
 public:
  void Add(const void* data, std::size_t n);
  // What is added from now on belongs to the next entry.
  void BeginEntry();
  void ReplaceHeader(const unsigned char header[kHeaderSize]);
  // An entry begun without a byte added is not counted.
  ArchiveSums Sums() const;
  std::uint64_t Length() const { return length_; }

 private:
  // A CRC-32 over a run of bytes that may pass 2 GiB, kept in pieces that
  // zlib's combination takes on every platform.
  struct Run {
    struct Piece {
      std::uint32_t crc;
      std::uint32_t length;
    };
    std::vector<Piece> pieces;
    void Add(const unsigned char* data, std::size_t n);
    std::uint32_t AppendTo(std::uint32_t crc) const;
  };

  unsigned char head_[kHeaderSize] = {};
  std::size_t headLength_ = 0;
  Run prologueTail_;  // the prologue after its header
  Run entries_;       // every entry, back to back
  bool inEntry_ = false;
  std::uint32_t entryCrc_ = 0;
  std::uint64_t entryLength_ = 0;
  std::vector<std::uint32_t> entryCrcs_;
  std::uint64_t length_ = 0;
};

}  // namespace bk::ar
