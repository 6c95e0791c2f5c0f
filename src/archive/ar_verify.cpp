// The archive check before a restore (Windows): the file is decoded and its
// archive walked to the end through the portable readers, every entry's path
// checked as extraction would build it, and, when the backup has them, every
// decoded byte tallied against the content checksums. Nothing is written.
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/ar_extract.h"
#include "archive/ar_extract_internal.h"
#include "archive/ar_extract_pipeline.h"
#include "archive/ar_paths.h"
#include "archive/ar_reader.h"
#include "archive/ar_sums.h"
#include "platform/unique_handle.h"

namespace bk::ar::ex {

namespace {

constexpr const char* kSource = kSourceMain;

struct Check {
  VskArVerifyReport* report;
  std::string defect;
  VskarEntryVisit visit = nullptr;  // told every entry of the current layout
  void* context = nullptr;
  const ArchiveSums* sums = nullptr;  // expected; null: the structure only
  SumTally tally;                     // of every plain byte, when sums are expected
  std::vector<std::string> paths;     // the entries' paths, to name a damaged one

  int Fail(int rc, const std::string& why) {
    if (defect.empty()) defect = why;
    return rc;
  }
};

// The plain bytes on their way to the reader, tallied.
class TalliedInput : public ArchiveInput {
 public:
  TalliedInput(ArchiveInput& input, SumTally& tally) : input_(input), tally_(tally) {}
  std::size_t Read(void* out, std::size_t n) override {
    const std::size_t got = input_.Read(out, n);
    tally_.Add(out, got);
    return got;
  }
  DWORD Error() const override { return input_.Error(); }

 private:
  ArchiveInput& input_;
  SumTally& tally_;
};

// After a walk that reached the archive's end: whatever the file holds
// beyond it is tallied too, then the tally is compared with the sums.
int CompareWithSums(Check& c, ArchiveInput& input) {
  static unsigned char scratch[kPiece];
  while (input.Read(scratch, sizeof scratch) == sizeof scratch) {
  }
  const SumsDifference d = CompareSums(*c.sums, c.tally.Sums());
  if (d.part == SumsDifference::Part::kNone) return 0;
  c.report->mismatch = true;
  const std::string path = d.entry < c.paths.size() ? c.paths[d.entry] : std::string("?");
  return c.Fail(kArContentMismatch, DescribeDifference(d, path));
}

// The base and every entry's path as extraction builds them without a target.
bool PathsOk(Check& c, const std::string& base, const char* name) {
  std::string why;
  if (!IsSafeEntryName(name, &why)) {
    c.Fail(-1, std::string("the entry ") + name + " is outside the base directory: " + why);
    return false;
  }
  if (EntryPath(base, name).size() > kMaxPathLength) {
    c.Fail(-1, std::string("the path of the entry ") + name + " is longer than 259 bytes");
    return false;
  }
  return true;
}

int WalkCurrent(Check& c, ArSource& source) {
  ArReader reader(source);
  if (const int rc = reader.Open()) return c.Fail(rc, reader.Error());
  const char* drive = reader.DriveName();
  const char* basePath = reader.BasePathName();
  std::string why;
  const bool letter = std::strlen(drive) == 1 &&
                      ((drive[0] >= 'A' && drive[0] <= 'Z') || (drive[0] >= 'a' && drive[0] <= 'z'));
  if (!letter) return c.Fail(-1, std::string("the drive name \"") + drive + "\" is not a drive letter");
  if (!IsSafeBasePathName(basePath, &why))
    return c.Fail(-1, std::string("the base path name \"") + basePath + "\": " + why);
  const std::string base = std::string(drive) + ":\\" + basePath;
  if (base.size() > kMaxPathLength) return c.Fail(-1, "the base directory is longer than a path");

  static unsigned char scratch[kPiece];
  ArEntry entry;
  bool found = false;
  for (;;) {
    // Each entry's bytes are tallied on their own: the content left unread
    // of the entry before is passed over first.
    if (reader.SkipContent() != kArOk) break;
    c.tally.BeginEntry();
    if (reader.Next(entry, found) != kArOk || !found) break;
    if (!PathsOk(c, base, entry.path.c_str())) return -1;
    if (c.visit != nullptr) c.visit(c.context, EntryPath(base, entry.path).c_str(), entry.header.IsDirectory());
    if (c.sums != nullptr) c.paths.push_back(entry.path);
    ++c.report->entries;
    if (entry.header.IsDirectory()) {
      ++c.report->directories;
    } else {
      ++c.report->files;
      std::size_t got = 0;
      do {
        if (reader.ReadContent(scratch, sizeof scratch, got) != kArOk) break;
        c.report->contentBytes += got;
      } while (got != 0);
    }
  }
  if (reader.Status() != kArOk) return c.Fail(reader.Status(), reader.Error());
  return 0;
}

int WalkLegacy(Check& c, ArSource& source) {
  LegacyArReader reader(source);
  if (const int rc = reader.Open()) return c.Fail(rc, reader.Error());
  const std::string base = std::string(reader.Name(reader.Header().driveIndex)) + ":" +
                           reader.Name(reader.Header().pathIndex);
  static unsigned char scratch[kPiece];
  for (;;) {
    LegacyArEntry entry;
    bool found = false;
    if (const int rc = reader.Next(entry, found)) return c.Fail(rc, reader.Error());
    if (!found) return 0;
    std::string why;
    if (!IsSafeEntryName(entry.path.c_str(), &why))
      return c.Fail(-1, "the entry " + entry.path + " is outside the base directory: " + why);
    if (base.size() + 1 + entry.path.size() > kMaxPathLength)
      return c.Fail(-1, "the path of the entry " + entry.path + " is longer than 259 bytes");
    ++c.report->entries;
    if (entry.header.IsDirectory()) {
      ++c.report->directories;
    } else {
      ++c.report->files;
    }
    std::size_t got = 0;
    do {
      if (const int rc = reader.ReadContent(scratch, sizeof scratch, got)) return c.Fail(rc, reader.Error());
      c.report->contentBytes += got;
    } while (got != 0);
  }
}

// The current layout from `input`: walked, and compared with the sums when
// there are any.
int WalkAndCompare(Check& c, ArchiveInput& input, std::uint64_t size) {
  TalliedInput tallied(input, c.tally);
  ArchiveInput& through = c.sums != nullptr ? static_cast<ArchiveInput&>(tallied) : input;
  ForwardSource source(through, size);
  const int walked = WalkCurrent(c, source);
  if (walked != 0 || c.sums == nullptr) return walked;
  return CompareWithSums(c, through);
}

int Verify(const char* archivePath, Check& c) {
  bk::win::unique_any<bk::win::traits::File> file(::CreateFileA(
      archivePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    ApiWindows(kSource, __LINE__, error, "CreateFile OPEN_EXISTING error, %s", archivePath);
    c.report->unreadable = true;
    return c.Fail(-1, "the file cannot be opened (error " + std::to_string(error) + ")");
  }
  unsigned char head[kLegacyHeaderSize] = {};
  {
    HandleReader reader(file.get());
    if (!reader.Ok()) return c.Fail(-1, "no memory");
    ReadFirst(reader, head, sizeof head);
    c.report->unreadable = reader.Failed();
    if (reader.Failed()) return c.Fail(-1, "the file cannot be read (error " + std::to_string(reader.Error()) + ")");
  }
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) {
    c.report->unreadable = true;
    return c.Fail(-1, "the file cannot be read");
  }

  if (IsEncodedHead(head)) {
    c.report->encoded = true;
    HandleReader reader(file.get());
    if (!reader.Ok()) return c.Fail(-1, "no memory");
    HandleByteInput bytes(reader);
    bk::ecd::StreamDecoder decoder(bytes, archivePath, reader.FileSize());
    int rc = decoder.Begin();
    if (rc != kEcdDecodeOk) {
      c.report->unreadable = reader.Failed();
      return c.Fail(rc, "the encoded file cannot be decoded (result " + std::to_string(rc) + ")");
    }
    // The decoding runs ahead on a second thread while the walk and the
    // checksums take what it gave.
    bool aheadFailed = false;
    if (PipelinedExtraction()) {
      DecodeAhead input(decoder, reader, archivePath);
      if (!input.Ok()) return c.Fail(-1, "no memory");
      rc = WalkAndCompare(c, input, UINT64_MAX);
      input.Stop();
      aheadFailed = input.DecodeFailed();
    } else {
      DecodedInput input(decoder, reader, archivePath);
      rc = WalkAndCompare(c, input, UINT64_MAX);
    }
    int decoded = decoder.Finish();
    // (the decoder's own failures stay in its status; this one did not reach it)
    if (decoded == kEcdDecodeOk && aheadFailed) decoded = -1;
    c.report->unreadable = reader.Failed();
    if (decoded != kEcdDecodeOk) {
      // The decoding is the cause of whatever the walk met after it.
      c.defect = "the encoded file cannot be decoded past plain byte " + std::to_string(decoder.Produced()) +
                 " (result " + std::to_string(decoded) + ")";
      c.report->mismatch = false;
      return decoded;
    }
    return rc;
  }
  if (IsLegacyLayout(head, sizeof head)) {
    c.report->legacy = true;
    HandleSource source(file.get());
    const int rc = WalkLegacy(c, source);
    c.report->unreadable = source.Error() != 0;
    if (rc != 0 || c.sums == nullptr) return rc;
    c.report->mismatch = true;
    return c.Fail(kArContentMismatch, "the archive is in the legacy layout, its checksums were taken of the current one");
  }
  HandleReader reader(file.get());
  if (!reader.Ok()) return c.Fail(-1, "no memory");
  PlainInput input(reader);
  const int rc = WalkAndCompare(c, input, reader.FileSize());
  c.report->unreadable = reader.Failed();
  return rc;
}

}  // namespace

}  // namespace bk::ar::ex

namespace {

int CheckArchive(const char* archivePath, const bk::ar::ArchiveSums* sums, VskarEntryVisit visit, void* context,
                 VskArVerifyReport* report) {
  using namespace bk::ar::ex;
  VskArVerifyReport local;
  Check c{report != nullptr ? report : &local, {}, visit, context, sums, {}, {}};
  *c.report = VskArVerifyReport{};
  c.report->summed = sums != nullptr;
  int rc;
  try {
    rc = Verify(archivePath, c);
  } catch (...) {
    rc = c.Fail(-1, "unexpected failure");
  }
  if (rc != 0) {
    if (c.defect.empty()) c.defect = "defective archive";
    std::snprintf(c.report->firstDefect, sizeof c.report->firstDefect, "%s", c.defect.c_str());
    Line("vskarVerifyArchive: %s: %s", archivePath, c.defect.c_str());
  }
  return rc;
}

}  // namespace

int vskarVerifyArchive(const char* archivePath, VskArVerifyReport* report) {
  return CheckArchive(archivePath, nullptr, nullptr, nullptr, report);
}

int vskarCheckArchive(const char* archivePath, const bk::ar::ArchiveSums* sums, VskarEntryVisit visit, void* context,
                      VskArVerifyReport* report) {
  return CheckArchive(archivePath, sums, visit, context, report);
}
