// Archive readers (current and legacy layout, plain or encoded) on arbitrary
// bytes: every entry, name and content byte is read.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/ar_reader.h"
#include "codec/ecd.h"

using namespace bk::ar;

namespace {

void ReadCurrent(const std::vector<unsigned char>& a) {
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
