#pragma once
// Whole-file reads for the commands that inspect files without changing them.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bkrtool {

// The most a command reads into memory: far above any encoded archive a
// backup makes, low enough that a device or a huge file cannot exhaust memory.
inline constexpr std::size_t kMaxReadBytes = std::size_t{256} << 20;

// False (with a one-line reason) when the file cannot be opened or read, or
// holds more than `limit` bytes.
inline bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& out, std::string& error,
                          std::size_t limit = kMaxReadBytes) {
  out.clear();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    error = "cannot open " + path;
    return false;
  }
  unsigned char buffer[65536];
  std::size_t n;
  bool tooLarge = false;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    if (n > limit - out.size()) {
      tooLarge = true;
      break;
    }
    out.insert(out.end(), buffer, buffer + n);
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (tooLarge) {
    out.clear();
    out.shrink_to_fit();
    error = path + " holds more than " + std::to_string(limit) + " bytes, the most this command reads";
    return false;
  }
  if (failed) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

}  // namespace bkrtool
