#pragma once
// Whole-file reads for the commands that inspect files without changing them.
#include <cstdio>
#include <string>
#include <vector>

namespace bkrtool {

// False (with a one-line reason) when the file cannot be opened or read.
inline bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& out, std::string& error) {
  out.clear();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    error = "cannot open " + path;
    return false;
  }
  unsigned char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

}  // namespace bkrtool
