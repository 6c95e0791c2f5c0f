#include "archive/ar_sums.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"

namespace bk::ar {

namespace {

// zlib takes lengths as its z_off_t, 32 bits wide on Windows: runs are kept
// and combined in pieces well below that.
constexpr std::uint32_t kPieceLimit = 1u << 30;

std::string Number(std::uint64_t v) { return std::to_string(v); }

}  // namespace

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t n) {
  const auto* p = static_cast<const Bytef*>(data);
  uLong value = crc;
  while (n > 0) {
    const uInt take = n > kPieceLimit ? kPieceLimit : static_cast<uInt>(n);
    value = crc32(value, p, take);
    p += take;
    n -= take;
  }
  return static_cast<std::uint32_t>(value);
}

void SumTally::Run::Add(const unsigned char* data, std::size_t n) {
  while (n > 0) {
    if (pieces.empty() || pieces.back().length == kPieceLimit) pieces.push_back({0, 0});
    Piece& piece = pieces.back();
    const std::size_t room = kPieceLimit - piece.length;
    const std::size_t take = n < room ? n : room;
    piece.crc = Crc32(piece.crc, data, take);
    piece.length += static_cast<std::uint32_t>(take);
    data += take;
    n -= take;
  }
}

std::uint32_t SumTally::Run::AppendTo(std::uint32_t crc) const {
  uLong value = crc;
  for (const Piece& piece : pieces) value = crc32_combine(value, piece.crc, static_cast<z_off_t>(piece.length));
  return static_cast<std::uint32_t>(value);
}

void SumTally::Add(const void* data, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  length_ += n;
  if (!inEntry_ && headLength_ < kHeaderSize) {
    const std::size_t take = n < kHeaderSize - headLength_ ? n : kHeaderSize - headLength_;
    std::memcpy(head_ + headLength_, p, take);
    headLength_ += take;
    p += take;
    n -= take;
  }
  if (n == 0) return;
  if (!inEntry_) {
    prologueTail_.Add(p, n);
    return;
  }
  entries_.Add(p, n);
  entryCrc_ = Crc32(entryCrc_, p, n);
  entryLength_ += n;
}

void SumTally::BeginEntry() {
  if (inEntry_ && entryLength_ > 0) entryCrcs_.push_back(entryCrc_);
  inEntry_ = true;
  entryCrc_ = 0;
  entryLength_ = 0;
}

void SumTally::ReplaceHeader(const unsigned char header[kHeaderSize]) {
  std::memcpy(head_, header, headLength_);
}

ArchiveSums SumTally::Sums() const {
  ArchiveSums sums;
  sums.hasArchive = true;
  sums.plainSize = static_cast<std::uint32_t>(length_);
  sums.prologueCrc = prologueTail_.AppendTo(Crc32(0, head_, headLength_));
  sums.plainCrc = entries_.AppendTo(sums.prologueCrc);
  sums.entryCrcs = entryCrcs_;
  if (inEntry_ && entryLength_ > 0) sums.entryCrcs.push_back(entryCrc_);
  return sums;
}

std::vector<unsigned char> EncodeSums(const ArchiveSums& sums) {
  using namespace sums_field;
  std::vector<unsigned char> out(kSumsHeadSize + 4 * sums.entryCrcs.size() + kSumsTrailerSize, 0);
  std::memcpy(out.data() + kSignature, kSumsSignature, sizeof kSumsSignature);
  StoreBe16(out.data() + kVersion, kSumsVersion);
  StoreBe16(out.data() + kFlags, sums.hasArchive ? kSumsHasArchive : 0);
  StoreBe32(out.data() + kEntryCount, static_cast<std::uint32_t>(sums.entryCrcs.size()));
  StoreBe32(out.data() + kPlainSize, sums.plainSize);
  StoreBe32(out.data() + kPlainCrc, sums.plainCrc);
  StoreBe32(out.data() + kPrologueCrc, sums.prologueCrc);
  for (std::size_t i = 0; i < sums.entryCrcs.size(); ++i) StoreBe32(out.data() + kEntryCrcs + 4 * i, sums.entryCrcs[i]);
  const std::size_t trailer = out.size() - kSumsTrailerSize;
  StoreBe32(out.data() + trailer, Crc32(0, out.data(), trailer));
  return out;
}

int DecodeSums(const unsigned char* data, std::size_t size, ArchiveSums* out, std::string* why) {
  using namespace sums_field;
  auto fail = [&](const std::string& text) {
    if (why != nullptr) *why = text;
    return kArDefective;
  };
  if (size < kSumsHeadSize + kSumsTrailerSize) return fail("BACKSUM holds " + Number(size) + " bytes, too few for its head");
  if (std::memcmp(data + kSignature, kSumsSignature, sizeof kSumsSignature) != 0) return fail("BACKSUM has no signature");
  const std::uint16_t version = LoadBe16(data + kVersion);
  if (version != kSumsVersion) return fail("BACKSUM has layout version " + Number(version));
  const std::uint16_t flags = LoadBe16(data + kFlags);
  if ((flags & ~kSumsHasArchive) != 0) return fail("BACKSUM has unknown flags " + Number(flags));
  const std::uint32_t count = LoadBe32(data + kEntryCount);
  if (count > kSumsMaxEntries) return fail("BACKSUM counts " + Number(count) + " entries, more than an archive holds");
  if (size != kSumsHeadSize + 4 * std::size_t{count} + kSumsTrailerSize)
    return fail("BACKSUM holds " + Number(size) + " bytes, its " + Number(count) + " entries need " +
                Number(kSumsHeadSize + 4 * std::size_t{count} + kSumsTrailerSize));
  const std::size_t trailer = size - kSumsTrailerSize;
  if (LoadBe32(data + trailer) != Crc32(0, data, trailer)) return fail("BACKSUM does not match its own CRC-32");

  ArchiveSums sums;
  sums.hasArchive = (flags & kSumsHasArchive) != 0;
  sums.plainSize = LoadBe32(data + kPlainSize);
  sums.plainCrc = LoadBe32(data + kPlainCrc);
  sums.prologueCrc = LoadBe32(data + kPrologueCrc);
  if (!sums.hasArchive && (count != 0 || sums.plainSize != 0 || sums.plainCrc != 0 || sums.prologueCrc != 0))
    return fail("BACKSUM says no archive but holds sums");
  if (sums.hasArchive && sums.plainSize < kHeaderSize)
    return fail("BACKSUM gives an archive of " + Number(sums.plainSize) + " bytes, shorter than its header");
  sums.entryCrcs.resize(count);
  for (std::uint32_t i = 0; i < count; ++i) sums.entryCrcs[i] = LoadBe32(data + kEntryCrcs + 4 * std::size_t{i});
  *out = std::move(sums);
  return kArOk;
}

SumsDifference CompareSums(const ArchiveSums& expected, const ArchiveSums& actual) {
  using Part = SumsDifference::Part;
  if (expected.hasArchive != actual.hasArchive) return {Part::kArchivePresence, 0};
  if (!expected.hasArchive) return {};
  if (expected.prologueCrc != actual.prologueCrc) return {Part::kPrologue, 0};
  const std::size_t common = std::min(expected.entryCrcs.size(), actual.entryCrcs.size());
  for (std::size_t i = 0; i < common; ++i)
    if (expected.entryCrcs[i] != actual.entryCrcs[i]) return {Part::kEntry, i};
  if (expected.entryCrcs.size() != actual.entryCrcs.size()) return {Part::kEntryCount, common};
  if (expected.plainSize != actual.plainSize || expected.plainCrc != actual.plainCrc) return {Part::kWhole, 0};
  return {};
}

std::string DescribeDifference(const SumsDifference& d, const std::string& entryPath) {
  using Part = SumsDifference::Part;
  switch (d.part) {
    case Part::kNone:
      return "the content matches its checksums";
    case Part::kArchivePresence:
      return "BACKSUM and BACKRSC disagree on whether the backup has an archive";
    case Part::kPrologue:
      return "the archive header or its names differ from their checksum";
    case Part::kEntry:
      return "entry " + Number(d.entry + 1) + " (" + entryPath + ") differs from its checksum";
    case Part::kEntryCount:
      return "the archive ends after " + Number(d.entry) + " entries where its checksums count another number";
    case Part::kWhole:
      return "the decoded archive differs in length or content from its checksum";
  }
  return "";
}

}  // namespace bk::ar
