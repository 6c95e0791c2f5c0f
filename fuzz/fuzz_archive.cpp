// Archive readers (current and legacy layout, plain or encoded) on arbitrary
// bytes: every entry, name and content byte is read, and the same entries
// must come out when the contents are skipped (as the list command does) and
// when the bytes come from a file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/ar_reader.h"
#include "codec/ecd.h"

using namespace bk::ar;

namespace {

// What a reading saw: every entry's path and sizes, and the final status.
struct Seen {
  std::vector<std::string> entries;
  int status = kArOk;
  bool operator==(const Seen& o) const { return entries == o.entries && status == o.status; }
};

// Reads with or without the contents: the list command skips them, the
// extraction reads them, and both must see the same entries.
Seen ReadCurrent(ArSource& source, bool readContent) {
  Seen seen;
  ArReader reader(source);
  seen.status = reader.Open();
  if (seen.status != kArOk) return seen;
  volatile std::size_t sink = 0;
  for (std::uint32_t i = 1; i <= reader.Names().Loaded(); ++i) sink = sink + reader.Names().Name(i)[0];
  ArEntry e;
  bool found;
  int rc;
  while ((rc = reader.Next(e, found)) == kArOk && found) {
    seen.entries.push_back(e.path + "|" + std::to_string(e.header.fileSize) + "|" + std::to_string(e.security.size()));
    if (!readContent) continue;
    unsigned char buffer[512];
    std::size_t got;
    while (reader.ReadContent(buffer, sizeof buffer, got) == kArOk && got > 0) sink = sink + buffer[got - 1];
  }
  seen.status = rc;
  return seen;
}

Seen ReadLegacy(ArSource& source, bool readContent) {
  Seen seen;
  LegacyArReader reader(source);
  seen.status = reader.Open();
  if (seen.status != kArOk) return seen;
  volatile std::size_t sink = 0;
  LegacyArEntry e;
  bool found;
  int rc;
  while ((rc = reader.Next(e, found)) == kArOk && found) {
    std::int64_t t;
    LegacyCodesToTime(e.header.mDate, e.header.mTime, &t);
    seen.entries.push_back(e.path);
    if (!readContent) continue;
    unsigned char buffer[512];
    std::size_t got;
    while (reader.ReadContent(buffer, sizeof buffer, got) == kArOk && got > 0) sink = sink + buffer[0];
  }
  seen.status = rc;
  return seen;
}

Seen Read(ArSource& source, bool legacy, bool readContent) {
  return legacy ? ReadLegacy(source, readContent) : ReadCurrent(source, readContent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  std::vector<unsigned char> decoded;
  bk::ecd::ImageInfo info;
  const int rc = bk::ecd::DecodeImage(bytes.data(), bytes.size(), &decoded, &info);
  const std::vector<unsigned char>& a = info.magicValid && rc == kEcdDecodeOk ? decoded : bytes;
  const bool legacy = IsLegacyLayout(a.data(), a.size());

  ArMemorySource memory(a.data(), a.size());
  const Seen reading = Read(memory, legacy, true);
  ArMemorySource again(a.data(), a.size());
  const Seen skipping = Read(again, legacy, false);
  if (!(reading == skipping)) std::abort();

  // The list builder skips the associated-information blocks too: where the
  // reading succeeds it sees the same paths and sizes, and no block.
  if (!legacy && reading.status == kArOk) {
    ArMemorySource listing(a.data(), a.size());
    ArReader reader(listing);
    reader.SetSkipAssociated(true);
    if (reader.Open() != kArOk) std::abort();
    ArEntry e;
    bool found;
    std::size_t n = 0;
    while (reader.Next(e, found) == kArOk && found) {
      if (n >= reading.entries.size() || e.hasSecurity) std::abort();
      const std::string& seen = reading.entries[n++];
      if (seen.compare(0, e.path.size() + 1, e.path + "|") != 0) std::abort();
    }
    if (reader.Status() != kArOk || n != reading.entries.size()) std::abort();
  }

  // The same bytes from a file (removed when closed).
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return 0;
  const bool written = a.empty() || std::fwrite(a.data(), 1, a.size(), f) == a.size();
  if (written && std::fflush(f) == 0 && std::fseek(f, 0, SEEK_SET) == 0) {
    ArFileSource file(f);
    const Seen fromFile = Read(file, legacy, false);
    if (!(fromFile == skipping)) std::abort();
  }
  std::fclose(f);
  return 0;
}
