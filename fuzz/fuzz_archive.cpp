// Archive readers (current and legacy layout, plain or encoded) on arbitrary
// bytes: every entry, name and content byte is read. The skipping reader (as
// the list builder uses it) must list the same entries wherever the reading
// one succeeds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/ar_reader.h"
#include "codec/ecd.h"

using namespace bk::ar;

namespace {

// Path, size and kind of every entry; false when the reading failed.
bool Listing(const std::vector<unsigned char>& a, bool skip, std::vector<std::string>& out) {
  ArMemorySource source(a.data(), a.size());
  ArReader reader(source);
  reader.SetSkipAssociated(skip);
  if (reader.Open() != kArOk) return false;
  ArEntry e;
  bool found;
  while (reader.Next(e, found) == kArOk && found) {
    out.push_back(e.path + "|" + std::to_string(e.header.fileSize) + "|" + std::to_string(e.header.fileKind));
    if (skip && e.hasSecurity) __builtin_trap();
  }
  return reader.Status() == kArOk;
}

void ReadCurrent(const std::vector<unsigned char>& a) {
  std::vector<std::string> reading, skipping;
  if (Listing(a, false, reading) && (!Listing(a, true, skipping) || skipping != reading)) __builtin_trap();
  ArMemorySource source(a.data(), a.size());
  ArReader reader(source);
  if (reader.Open() != kArOk) return;
  volatile std::size_t sink = 0;
  for (std::uint32_t i = 1; i <= reader.Names().Loaded(); ++i) sink = sink + reader.Names().Name(i)[0];
  ArEntry e;
  bool found;
  while (reader.Next(e, found) == kArOk && found) {
    sink = sink + e.path.size() + e.security.size();
    unsigned char buffer[512];
    std::size_t got;
    while (reader.ReadContent(buffer, sizeof buffer, got) == kArOk && got > 0) sink = sink + buffer[got - 1];
  }
}

void ReadLegacy(const std::vector<unsigned char>& a) {
  ArMemorySource source(a.data(), a.size());
  LegacyArReader reader(source);
  if (reader.Open() != kArOk) return;
  volatile std::size_t sink = 0;
  LegacyArEntry e;
  bool found;
  while (reader.Next(e, found) == kArOk && found) {
    std::int64_t t;
    LegacyCodesToTime(e.header.mDate, e.header.mTime, &t);
    sink = sink + e.path.size();
    unsigned char buffer[512];
    std::size_t got;
    while (reader.ReadContent(buffer, sizeof buffer, got) == kArOk && got > 0) sink = sink + buffer[0];
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<unsigned char> bytes(data, data + size);
  std::vector<unsigned char> decoded;
  bk::ecd::ImageInfo info;
  const int rc = bk::ecd::DecodeImage(bytes.data(), bytes.size(), &decoded, &info);
  const std::vector<unsigned char>& a = info.magicValid && rc == kEcdDecodeOk ? decoded : bytes;
  if (IsLegacyLayout(a.data(), a.size()))
    ReadLegacy(a);
  else
    ReadCurrent(a);
  return 0;
}
