// Encoded files of every kind: the in-memory decoder and the file decoder
// must give the same result and, on success, the same bytes; counting the
// decoded bytes without keeping them must agree with both. The temporary
// files are removed after every input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/ecd.h"

namespace {

std::string TempName(const char* what) {
  return "/tmp/bk_fuzz_container_" + std::to_string(getpid()) + "_" + what;
}

std::vector<unsigned char> ReadAll(const std::string& path) {
  std::vector<unsigned char> data;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.insert(data.end(), buffer, buffer + n);
    std::fclose(f);
  }
  return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<unsigned char> image(data, data + size);
  std::vector<unsigned char> plain;
  bk::ecd::ImageInfo info;
  const int memory = bk::ecd::DecodeImage(image.data(), image.size(), &plain, &info);

  const std::string in = TempName("in"), out = TempName("out");
  if (std::FILE* f = std::fopen(in.c_str(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  std::remove(out.c_str());
  const int file = vskEcdCtrlDecodeFile(in.c_str(), out.c_str());
  const bool same = file == memory && (file != kEcdDecodeOk || ReadAll(out) == plain);
  std::remove(in.c_str());
  std::remove(out.c_str());
  if (!same) std::abort();

  // Counting without keeping the bytes gives the same result and sizes.
  bk::ecd::ImageInfo counted;
  if (bk::ecd::DecodeImage(image.data(), image.size(), nullptr, &counted) != memory) std::abort();
  if (memory == kEcdDecodeOk && (counted.plainSize != plain.size() || counted.blocks != info.blocks)) std::abort();
  return 0;
}
