// The 277-byte records of list files, shown by `list` and `files`.
#include <cstdint>
#include <cstdio>
#include <string>

#include "command.h"
#include "list_records.h"

namespace bkrtool {

namespace {
constexpr std::size_t kRecord = 277, kPathWidth = 260, kSize = 260, kDate = 264, kTime = 268, kKind = 272;

std::uint32_t Be32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::string Printable(const unsigned char* field, std::size_t width) {
  std::string out;
  for (std::size_t i = 0; i < width && field[i] != 0; ++i) {
    if (field[i] >= 0x20 && field[i] < 0x7F) {
      out += static_cast<char>(field[i]);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", field[i]);
      out += hex;
    }
  }
  return out;
}

std::string Hex(const char* format, unsigned a, unsigned b, unsigned c) {
  char text[24];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}
}  // namespace

bool LooksLikeListFile(const std::vector<unsigned char>& bytes) {
  if (bytes.size() % kRecord != 0) return false;
  // A resource archive has generation 1, 0 at offsets 12 and 13; a legacy one "NN" at 8.
  if (bytes.size() >= 14 && bytes[12] == 1 && bytes[13] == 0) return false;
  if (bytes.size() >= 10 && bytes[8] == 'N' && bytes[9] == 'N') return false;
  return true;
}

int PrintListRecords(const std::string& path, const std::vector<unsigned char>& bytes, bool json) {
  const std::size_t count = bytes.size() / kRecord, tail = bytes.size() % kRecord;
  std::string o = "{\"file\":" + JsonString(path) + ",\"records\":[";
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* r = bytes.data() + i * kRecord;
    const std::uint32_t date = Be32(r + kDate), time = Be32(r + kTime);
    const std::string dateText = Hex("%04X-%02X-%02X", date >> 16, (date >> 8) & 0xFF, date & 0xFF);
    const std::string timeText = Hex("%02X:%02X:%02X", (time >> 16) & 0xFF, (time >> 8) & 0xFF, time & 0xFF);
    const unsigned kind = r[kKind];
    std::string flags = "----";
    if (kind & 8) flags[0] = 'R';
    if (kind & 4) flags[1] = 'H';
    if (kind & 2) flags[2] = 'S';
    if (kind & 16) flags[3] = 'A';
    const bool directory = (kind & 1) == 0;
    const std::string shown = Printable(r, kPathWidth);
    if (json) {
      o += std::string(i ? "," : "") + "{\"path\":" + JsonString(shown) + ",\"size\":" + std::to_string(Be32(r + kSize)) +
           ",\"date\":" + JsonString(dateText) + ",\"time\":" + JsonString(timeText) + ",\"kind\":" +
           (directory ? "\"directory\"" : "\"file\"") + ",\"flags\":" + JsonString(flags) + "}";
    } else {
      std::printf("%c %s %12lu  %s %s  %s\n", directory ? 'd' : 'f', flags.c_str(),
                  static_cast<unsigned long>(Be32(r + kSize)), dateText.c_str(), timeText.c_str(), shown.c_str());
    }
  }
  if (json) std::printf("%s],\"leftover\":%zu}\n", o.c_str(), tail);
  if (tail != 0) {
    std::fprintf(stderr, "bkrtool: %s: %zu bytes after the last whole record\n", path.c_str(), tail);
    return 1;
  }
  return 0;
}

}  // namespace bkrtool
