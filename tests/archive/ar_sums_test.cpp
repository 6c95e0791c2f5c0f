// Content checksums of an archive (BACKSUM): the tally against CRCs of the
// byte ranges the reader finds, fed whole, byte by byte and with a header
// replaced at the end; the file layout round trip and every kind of damage
// refused; the comparison naming the first part that differs.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "archive/ar_reader.h"
#include "archive/ar_sums.h"
#include "archive/ar_writer.h"
#include "common/byte_order.h"

namespace {

using namespace bk::ar;
using Bytes = std::vector<unsigned char>;

ArNewEntry Entry(const std::string& path, std::uint64_t size, unsigned char kind = kKindRegular) {
  ArNewEntry e;
  e.path = path;
  e.size = size;
  e.fileKind = kind;
  e.mDate = 0x20260310;
  e.mTime = 0x00120000;
  return e;
}

Bytes SampleArchive() {
  ArMemorySink sink;
  ArWriter w(sink);
  EXPECT_EQ(w.Begin(kCompKindControl, "C", "APP"), kArOk);
  EXPECT_EQ(w.AddEntry(Entry(".", 0, kKindArchive)), kArOk);
  EXPECT_EQ(w.AddEntry(Entry("a.txt", 5)), kArOk);
  EXPECT_EQ(w.WriteContent("hello", 5), kArOk);
  EXPECT_EQ(w.AddEntry(Entry("empty", 0)), kArOk);
  ArNewEntry secured = Entry("sub.bin", 3);
  secured.shortName = "SUB~1.BIN";
  secured.security = {1, 0, 4, 0x80};
  EXPECT_EQ(w.AddEntry(secured), kArOk);
  EXPECT_EQ(w.WriteContent("xyz", 3), kArOk);
  EXPECT_EQ(w.Finish(), kArOk);
  return sink.Bytes();
}

std::uint32_t Crc(const Bytes& b, std::size_t from, std::size_t to) {
  return static_cast<std::uint32_t>(crc32(0, b.data() + from, static_cast<uInt>(to - from)));
}

// Where the reader finds each entry's first byte.
std::vector<std::size_t> EntryStarts(const Bytes& archive) {
  ArMemorySource source(archive.data(), archive.size());
  ArReader reader(source);
  EXPECT_EQ(reader.Open(), kArOk);
  std::vector<std::size_t> starts;
  ArEntry entry;
  bool found = false;
  for (;;) {
    EXPECT_EQ(reader.SkipContent(), kArOk);
    const std::size_t at = static_cast<std::size_t>(reader.Position());
    if (reader.Next(entry, found) != kArOk || !found) break;
    starts.push_back(at);
  }
  return starts;
}

// The sums as the layout defines them, from those offsets.
ArchiveSums Expected(const Bytes& archive) {
  const std::vector<std::size_t> starts = EntryStarts(archive);
  ArchiveSums s;
  s.hasArchive = true;
  s.plainSize = static_cast<std::uint32_t>(archive.size());
  s.plainCrc = Crc(archive, 0, archive.size());
  s.prologueCrc = Crc(archive, 0, starts.empty() ? archive.size() : starts[0]);
  for (std::size_t i = 0; i < starts.size(); ++i)
    s.entryCrcs.push_back(Crc(archive, starts[i], i + 1 < starts.size() ? starts[i + 1] : archive.size()));
  return s;
}

// Feeds the archive to a tally in pieces of at most `piece` bytes, with the
// entry cuts at those offsets; `placeholder`: zeros first in place of the
// header, the real one given at the end.
ArchiveSums Tallied(const Bytes& archive, std::size_t piece, bool placeholder) {
  const std::vector<std::size_t> cuts = EntryStarts(archive);
  Bytes fed = archive;
  if (placeholder) std::fill(fed.begin(), fed.begin() + kHeaderSize, 0);
  SumTally t;
  std::size_t next = 0;
  for (std::size_t pos = 0; pos < fed.size();) {
    if (next < cuts.size() && pos == cuts[next]) {
      t.BeginEntry();
      ++next;
    }
    std::size_t end = std::min(fed.size(), pos + piece);
    if (next < cuts.size()) end = std::min(end, cuts[next]);
    t.Add(fed.data() + pos, end - pos);
    pos = end;
  }
  t.BeginEntry();  // an entry begun with nothing added is not counted
  if (placeholder) t.ReplaceHeader(archive.data());
  return t.Sums();
}

TEST(ArSums, TheTallyGivesTheCrcsOfTheLayoutsParts) {
  const Bytes archive = SampleArchive();
  const ArchiveSums expected = Expected(archive);
  ASSERT_EQ(expected.entryCrcs.size(), 4u);
  struct Case {
    const char* what;
    std::size_t piece;
    bool placeholder;
  };
  for (const Case& c : {Case{"whole", archive.size(), false}, Case{"byte by byte", 1, false},
                        Case{"in pieces of 7", 7, false}, Case{"a placeholder header replaced", 5, true}}) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Tallied(archive, c.piece, c.placeholder), expected);
  }
}

// The worked example of docs/backup-root.md is the sums of docs/archive.md's
// archive: the two documents and the tally agree.
TEST(ArSums, TheDocumentedArchiveHasTheDocumentedSums) {
  ArMemorySink sink;
  ArWriter w(sink);
  ASSERT_EQ(w.Begin(kCompKindControl, "C", "APP"), kArOk);
  ArNewEntry base = Entry(".", 0, kKindArchive);
  base.mDate = base.aDate = 0x20261210;
  base.mTime = base.aTime = 0x00093015;
  ASSERT_EQ(w.AddEntry(base), kArOk);
  ArNewEntry file = Entry("A.TXT", 3, kKindRegular | kKindArchive);
  file.mDate = 0x20100701;
  file.mTime = 0x00060916;
  file.aDate = 0x20261210;
  file.aTime = 0x00120000;
  ASSERT_EQ(w.AddEntry(file), kArOk);
  ASSERT_EQ(w.WriteContent("hi\n", 3), kArOk);
  ASSERT_EQ(w.Finish(), kArOk);
  const ArchiveSums sums = Tallied(sink.Bytes(), 64, false);
  EXPECT_EQ(sums.plainSize, 196u);
  EXPECT_EQ(sums.plainCrc, 0x634fe405u);
  EXPECT_EQ(sums.prologueCrc, 0x82759348u);
  EXPECT_EQ(sums.entryCrcs, (std::vector<std::uint32_t>{0x092947b7u, 0xc1da1664u}));
}

// Runs past the pieces in which zlib's combination is fed (1 GiB each).
TEST(ArSums, RunsLongerThanAPieceCombineRight) {
  const Bytes chunk(64u << 20, 0x5a);
  SumTally t;
  unsigned char head[kHeaderSize] = {1, 2, 3};
  t.Add(head, sizeof head);
  t.BeginEntry();
  uLong whole = crc32(0, head, sizeof head), entry = 0;
  for (int i = 0; i < 24; ++i) {  // 1.5 GiB
    t.Add(chunk.data(), chunk.size());
    whole = crc32(whole, chunk.data(), static_cast<uInt>(chunk.size()));
    entry = crc32(entry, chunk.data(), static_cast<uInt>(chunk.size()));
  }
  const ArchiveSums s = t.Sums();
  EXPECT_EQ(s.plainCrc, whole);
  ASSERT_EQ(s.entryCrcs.size(), 1u);
  EXPECT_EQ(s.entryCrcs[0], entry);
}

TEST(ArSums, TheFileRoundTripsAndDamageIsRefused) {
  ArchiveSums sums = Expected(SampleArchive());
  const Bytes good = EncodeSums(sums);
  ASSERT_EQ(good.size(), kSumsHeadSize + 4 * 4 + kSumsTrailerSize);
  ArchiveSums back;
  ASSERT_EQ(DecodeSums(good.data(), good.size(), &back, nullptr), kArOk);
  EXPECT_EQ(back, sums);
  const Bytes none = EncodeSums(NoArchiveSums());
  ASSERT_EQ(DecodeSums(none.data(), none.size(), &back, nullptr), kArOk);
  EXPECT_FALSE(back.hasArchive);

  // Damage with the trailing CRC made right again, so that each field's own
  // check is what refuses it.
  auto resealed = [](Bytes b) {
    bk::StoreBe32(b.data() + b.size() - 4, static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size() - 4))));
    return b;
  };
  struct Damage {
    const char* what;
    std::function<Bytes()> make;
    const char* why;
  };
  const std::vector<Damage> damages = {
      {"empty", [] { return Bytes{}; }, "too few"},
      {"cut by one byte", [&] { return Bytes(good.begin(), good.end() - 1); }, "need"},
      {"one byte more", [&] { Bytes b = good; b.push_back(0); return b; }, "need"},
      {"a flipped sum", [&] { Bytes b = good; b[30] ^= 0x10; return b; }, "own CRC"},
      {"no signature", [&] { Bytes b = good; b[0] = 'b'; return resealed(b); }, "signature"},
      {"version 2", [&] { Bytes b = good; b[9] = 2; return resealed(b); }, "version 2"},
      {"an unknown flag", [&] { Bytes b = good; b[11] |= 2; return resealed(b); }, "flags"},
      {"a count beyond 65535",
       [&] { Bytes b = good; bk::StoreBe32(b.data() + sums_field::kEntryCount, 0x10000); return resealed(b); },
       "more than"},
      {"no archive with sums",
       [&] { Bytes b = none; b[sums_field::kPlainCrc] = 1; return resealed(b); }, "no archive"},
      {"an archive shorter than its header",
       [&] { Bytes b = good; bk::StoreBe32(b.data() + sums_field::kPlainSize, 41); return resealed(b); },
       "shorter"},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    const Bytes bytes = d.make();
    std::string why;
    EXPECT_EQ(DecodeSums(bytes.data(), bytes.size(), &back, &why), kArDefective);
    EXPECT_NE(why.find(d.why), std::string::npos) << why;
  }
}

TEST(ArSums, TheComparisonNamesTheFirstPartThatDiffers) {
  const ArchiveSums good = Expected(SampleArchive());
  using Part = SumsDifference::Part;
  struct Case {
    const char* what;
    std::function<void(ArchiveSums&)> change;
    Part part;
    std::size_t entry;
  };
  const std::vector<Case> cases = {
      {"nothing", [](ArchiveSums&) {}, Part::kNone, 0},
      {"no archive", [](ArchiveSums& s) { s = NoArchiveSums(); }, Part::kArchivePresence, 0},
      {"the prologue and an entry", [](ArchiveSums& s) { s.prologueCrc ^= 1; s.entryCrcs[2] ^= 1; }, Part::kPrologue, 0},
      {"entries 2 and 4", [](ArchiveSums& s) { s.entryCrcs[1] ^= 1; s.entryCrcs[3] ^= 1; }, Part::kEntry, 1},
      {"one entry fewer", [](ArchiveSums& s) { s.entryCrcs.pop_back(); }, Part::kEntryCount, 3},
      {"the whole only", [](ArchiveSums& s) { s.plainCrc ^= 1; }, Part::kWhole, 0},
      {"the length only", [](ArchiveSums& s) { s.plainSize += 1; }, Part::kWhole, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ArchiveSums actual = good;
    c.change(actual);
    const SumsDifference d = CompareSums(good, actual);
    EXPECT_EQ(d.part, c.part);
    EXPECT_EQ(d.entry, c.entry);
  }
  EXPECT_EQ(DescribeDifference({Part::kEntry, 1}, "a.txt"), "entry 2 (a.txt) differs from its checksum");
}

}  // namespace
