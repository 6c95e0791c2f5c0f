// The 277-byte records of list files, shown by `list` and `files`.
#include <cstdint>
#include <cstdio>
#include <string>

#include "command.h"
#include "field_text.h"
#include "list_records.h"

namespace bkrtool {

namespace {
constexpr std::size_t kRecord = 277, kPathWidth = 260, kSize = 260, kDate = 264, kTime = 268, kKind = 272;

std::uint32_t Be32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
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

namespace {

struct ListRecord {
  std::string path, date, time, flags;
  unsigned long size = 0;
  bool directory = false;
};

ListRecord Record(const unsigned char* r) {
  ListRecord out;
  const std::uint32_t date = Be32(r + kDate), time = Be32(r + kTime);
  out.date = Hex("%04X-%02X-%02X", date >> 16, (date >> 8) & 0xFF, date & 0xFF);
  out.time = Hex("%02X:%02X:%02X", (time >> 16) & 0xFF, (time >> 8) & 0xFF, time & 0xFF);
  const unsigned kind = r[kKind];
  out.flags = "----";
  if (kind & 8) out.flags[0] = 'R';
  if (kind & 4) out.flags[1] = 'H';
  if (kind & 2) out.flags[2] = 'S';
  if (kind & 16) out.flags[3] = 'A';
  out.directory = (kind & 1) == 0;
  out.path = FieldText(r, kPathWidth);
  out.size = static_cast<unsigned long>(Be32(r + kSize));
  return out;
}

}  // namespace

std::string ListRecordsJson(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::string records = "[";
  for (std::size_t at = 0; at + kRecord <= bytes.size(); at += kRecord) {
    const ListRecord r = Record(bytes.data() + at);
    records += (at ? "," : "") + JsonObject()
                                     .Text("path", r.path)
                                     .Unsigned("size", r.size)
                                     .Text("date", r.date)
                                     .Text("time", r.time)
                                     .Text("kind", r.directory ? "directory" : "file")
                                     .Text("flags", r.flags)
                                     .Str();
  }
  return JsonObject().Text("file", path).Json("records", records + "]").Unsigned("leftover", bytes.size() % kRecord).Open();
}

std::string ListRecordsProblem(const std::string& path, const std::vector<unsigned char>& bytes) {
  const std::size_t tail = bytes.size() % kRecord;
  return tail == 0 ? std::string() : path + ": " + std::to_string(tail) + " bytes after the last whole record";
}

int PrintListRecords(const std::string& path, const std::vector<unsigned char>& bytes) {
  const std::string problem = ListRecordsProblem(path, bytes);
  const int exitCode = problem.empty() ? 0 : 1;
  if (JsonOutput()) {
    std::printf("%s%s\n", ListRecordsJson(path, bytes).c_str(), JsonEnd(exitCode, problem).c_str());
  } else {
    for (std::size_t at = 0; at + kRecord <= bytes.size(); at += kRecord) {
      const ListRecord r = Record(bytes.data() + at);
      std::printf("%c %s %12lu  %s %s  %s\n", r.directory ? 'd' : 'f', r.flags.c_str(), r.size, r.date.c_str(),
                  r.time.c_str(), r.path.c_str());
    }
  }
  if (!problem.empty()) std::fprintf(stderr, "bkrtool: %s\n", problem.c_str());
  return exitCode;
}

}  // namespace bkrtool
