// Every worked example in docs/*.md is decoded by the code that reads that
// format, and every field the document states for it must come out as stated,
// so that the documents cannot drift from the code.
//
// An example is a fenced block "```example KIND": hex lines "OFFSET  bytes"
// (OFFSET in hex must equal the bytes so far; "hh*N" is N bytes of hh; text
// after ";" is a comment) and expectations "= field value" (value: a number,
// decimal or 0x hex, or a text in double quotes).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "archive/ar_format.h"
#include "archive/ar_io.h"
#include "archive/ar_reader.h"
#include "archive/ar_sums.h"
#include "codec/ecd.h"
#include "common/byte_order.h"
#include "logging/log_reader.h"
#include "logging/log_record.h"
#include "service/management_file.h"
#include "softwarelist/uplistd.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Fields = std::map<std::string, std::string>;

struct Example {
  std::string file, kind;
  int line = 0;
  Bytes bytes;
  std::vector<std::pair<std::string, std::string>> expected;
  std::string error;  // a malformed example
};

std::string Trim(const std::string& s) {
  const std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// A stated value as the decoders report it: numbers in decimal, texts as is.
bool Normalize(const std::string& value, std::string& out) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    out.clear();
    for (std::size_t i = 1; i + 1 < value.size(); ++i) {
      if (value[i] != '\\' || i + 2 >= value.size()) {
        out += value[i];
        continue;
      }
      const char c = value[++i];
      out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return true;
  }
  char* end = nullptr;
  if (!value.empty() && value[0] == '-') {
    const long long n = std::strtoll(value.c_str(), &end, 0);
    if (*end != '\0') return false;
    out = std::to_string(n);
    return true;
  }
  const unsigned long long n = std::strtoull(value.c_str(), &end, 0);
  if (value.empty() || *end != '\0') return false;
  out = std::to_string(n);
  return true;
}

std::vector<Example> ReadExamples(const std::filesystem::path& path) {
  std::vector<Example> out;
  std::ifstream in(path);
  std::string line;
  int number = 0;
  Example* current = nullptr;
  while (std::getline(in, line)) {
    ++number;
    if (current == nullptr) {
      if (line.rfind("```example ", 0) == 0) {
        out.push_back({path.filename().string(), Trim(line.substr(11)), number, {}, {}, {}});
        current = &out.back();
      }
      continue;
    }
    if (line.rfind("```", 0) == 0) {
      current = nullptr;
      continue;
    }
    std::string text = line.substr(0, line.find(';'));
    if (Trim(text).empty()) continue;
    if (line.rfind("= ", 0) == 0) {
      const std::string rest = Trim(line.substr(2));
      const std::size_t space = rest.find(' ');
      std::string value;
      if (space == std::string::npos || !Normalize(Trim(rest.substr(space + 1)), value)) {
        current->error = "bad expectation at line " + std::to_string(number);
        continue;
      }
      current->expected.emplace_back(rest.substr(0, space), value);
      continue;
    }
    std::istringstream tokens(text);
    std::string offset, token;
    tokens >> offset;
    char* end = nullptr;
    const unsigned long at = std::strtoul(offset.c_str(), &end, 16);
    if (offset.empty() || *end != '\0' || at != current->bytes.size()) {
      current->error = "offset " + offset + " at line " + std::to_string(number) + " does not follow the " +
                       std::to_string(current->bytes.size()) + " bytes before it";
      continue;
    }
    while (tokens >> token) {
      const std::size_t star = token.find('*');
      const std::string hex = token.substr(0, star);
      const unsigned long value = std::strtoul(hex.c_str(), &end, 16);
      const unsigned long count = star == std::string::npos ? 1 : std::strtoul(token.c_str() + star + 1, nullptr, 10);
      if (hex.size() != 2 || *end != '\0' || count == 0) {
        current->error = "bad byte '" + token + "' at line " + std::to_string(number);
        break;
      }
      current->bytes.insert(current->bytes.end(), count, static_cast<unsigned char>(value));
    }
  }
  return out;
}

std::string Text(const Bytes& b, std::size_t at, std::size_t width) {
  std::string s;
  for (std::size_t i = at; i < at + width && i < b.size() && b[i] != 0; ++i) s += static_cast<char>(b[i]);
  return s;
}

std::string Num(unsigned long long n) { return std::to_string(n); }

// --- decoders, one per kind -------------------------------------------------

void DecodeBackmng(const Bytes& b, Fields& f) {
  if (b.size() < kBkmnHeaderSize) return;
  f["count"] = Num(static_cast<unsigned long long>(static_cast<std::int16_t>(bk::LoadLe16(b.data()))));
  const std::size_t records = (b.size() - kBkmnHeaderSize) / kBkmnRecordSize;
  f["records"] = Num(records);
  f["leftover"] = Num((b.size() - kBkmnHeaderSize) % kBkmnRecordSize);
  for (std::size_t r = 0; r < records; ++r) {
    const std::size_t at = kBkmnHeaderSize + r * kBkmnRecordSize;
    const std::string p = "r" + Num(r + 1) + ".";
    f[p + "name"] = Text(b, at + kBkmnName, kBkmnVersion - kBkmnName);
    f[p + "version"] = Text(b, at + kBkmnVersion, kBkmnGeneration - kBkmnVersion);
    f[p + "generation"] = Text(b, at + kBkmnGeneration, kBkmnDirectory - kBkmnGeneration);
    f[p + "directory"] = Text(b, at + kBkmnDirectory, kBkmnDirectoryWidth);
    f[p + "protectUntil"] = Text(b, at + kBkmnProtectUntil, kBkmnProtectWidth);
    f[p + "installDate"] = Text(b, at + kBkmnEntry + kSyscInstallDate, kSyscDateWidth);
    f[p + "backupDate"] = Text(b, at + kBkmnEntry + kSyscBackupDate, kSyscDateWidth);
  }
}

void DecodeUplistd(const Bytes& b, Fields& f) {
  if (b.size() != kSyscEntrySize) return;
  f["type"] = Text(b, kSyscType, 1);
  f["location"] = Text(b, kSyscLocation, kSyscLocationWidth);
  f["packageName"] = Text(b, kSyscPackageName, kSyscPackageNameWidth);
  f["secondKey"] = Text(b, kSyscSecondKey, kSyscSecondKeyWidth);
  f["carriedDate"] = Text(b, kSyscCarriedDate, kSyscDateWidth);
  f["restoreDate"] = Text(b, kSyscRestoreDate, kSyscDateWidth);
  f["installDate"] = Text(b, kSyscInstallDate, kSyscDateWidth);
  f["backupDate"] = Text(b, kSyscBackupDate, kSyscDateWidth);
  f["restoreMark"] = Num(b[kSyscRestoreMark]);
  f["status"] = Num(b[kSyscStatus]);
  f["subStatus"] = Num(b[kSyscSubStatus]);
}

std::string ReadContent(auto& reader) {
  std::string content;
  char buffer[256];
  std::size_t got = 0;
  while (reader.ReadContent(buffer, sizeof buffer, got) == bk::ar::kArOk && got > 0) content.append(buffer, got);
  return content;
}

void DecodeArchive(const Bytes& b, Fields& f) {
  bk::ar::ArMemorySource source(b.data(), b.size());
  bk::ar::ArReader reader(source);
  if (reader.Open() != bk::ar::kArOk) return;
  const bk::ar::VsConReIn& h = reader.Header();
  f["arcSize"] = Num(h.arcSize);
  f["headSize"] = Num(h.headSize);
  f["resGenNo"] = Num(h.resGenNo[0]) + "," + Num(h.resGenNo[1]);
  f["driveName"] = reader.DriveName() ? reader.DriveName() : "";
  f["basePathName"] = reader.BasePathName() ? reader.BasePathName() : "";
  f["nameCount"] = Num(h.nameCount);
  f["nameMax"] = Num(h.nameMax);
  f["compKind"] = std::string(1, static_cast<char>(h.compKind));
  f["nameSize"] = Num(h.nameSize);
  bk::ar::ArEntry entry;
  bool found = false;
  int n = 0;
  while (reader.Next(entry, found) == bk::ar::kArOk && found) {
    const std::string p = "e" + Num(++n) + ".";
    const bk::ar::VsConFileIn& e = entry.header;
    f[p + "path"] = entry.path;
    f[p + "fileSize"] = Num(e.fileSize);
    f[p + "mDate"] = Num(e.mDate);
    f[p + "mTime"] = Num(e.mTime);
    f[p + "aDate"] = Num(e.aDate);
    f[p + "aTime"] = Num(e.aTime);
    f[p + "nameNo"] = Num(e.nameNo);
    f[p + "ownerNo"] = Num(e.ownerNo);
    f[p + "groupNo"] = Num(e.groupNo);
    f[p + "fileKind"] = Num(e.fileKind);
    f[p + "fileMode"] = Num(e.fileMode);
    f[p + "dataSize"] = Num(e.dataSize);
    f[p + "nameSize"] = Num(e.nameSize);
    f[p + "content"] = ReadContent(reader);
    f[p + "owner"] = reader.Names().Name(e.ownerNo) ? reader.Names().Name(e.ownerNo) : "";
    f[p + "group"] = reader.Names().Name(e.groupNo) ? reader.Names().Name(e.groupNo) : "";
  }
  f["entries"] = Num(static_cast<unsigned>(n));
  f["status"] = Num(static_cast<unsigned>(reader.Status()));
}

void DecodeLegacyArchive(const Bytes& b, Fields& f) {
  if (!bk::ar::IsLegacyLayout(b.data(), b.size())) return;
  bk::ar::ArMemorySource source(b.data(), b.size());
  bk::ar::LegacyArReader reader(source);
  if (reader.Open() != bk::ar::kArOk) return;
  const bk::ar::LegacyHeader& h = reader.Header();
  f["namesEnd"] = Num(h.namesEnd);
  f["firstEntry"] = Num(h.firstEntry);
  f["namesStart"] = Num(h.namesStart);
  f["driveName"] = reader.Name(h.driveIndex) ? reader.Name(h.driveIndex) : "";
  f["pathName"] = reader.Name(h.pathIndex) ? reader.Name(h.pathIndex) : "";
  bk::ar::LegacyArEntry entry;
  bool found = false;
  int n = 0;
  while (reader.Next(entry, found) == bk::ar::kArOk && found) {
    const std::string p = "e" + Num(++n) + ".";
    f[p + "path"] = entry.path;
    f[p + "mDate"] = Num(entry.header.mDate);
    f[p + "mTime"] = Num(entry.header.mTime);
    f[p + "aDate"] = Num(entry.header.aDate);
    f[p + "aTime"] = Num(entry.header.aTime);
    f[p + "attributes"] = Num(entry.header.attributes);
    f[p + "contentLength"] = Num(entry.header.contentLength);
    f[p + "content"] = ReadContent(reader);
  }
  f["entries"] = Num(static_cast<unsigned>(n));
}

void DecodeEncodedFile(const Bytes& b, Fields& f) {
  std::vector<unsigned char> plain;
  bk::ecd::ImageInfo info;
  const int result = bk::ecd::DecodeImage(b.data(), b.size(), &plain, &info);
  f["result"] = std::to_string(result);
  f["magicValid"] = info.magicValid ? "1" : "0";
  f["seed1"] = Num(info.seed1);
  std::string words;
  for (std::uint16_t w : info.optionWords) {
    char text[8];
    std::snprintf(text, sizeof text, "%s%04X", words.empty() ? "" : " ", w);
    words += text;
  }
  f["optionWords"] = words;
  f["kind"] = Num(static_cast<unsigned>(info.options.kind));
  f["passThrough"] = info.options.passThrough ? "1" : "0";
  f["dataOffset"] = Num(info.dataOffset);
  f["blocks"] = Num(info.blocks);
  f["plainSize"] = Num(info.plainSize);
  f["plain"] = std::string(plain.begin(), plain.end());
  if (info.options.kind == kEcdKindControl && info.dataOffset + 4 <= b.size()) {
    bk::ecd::BlockHeader block;
    if (bk::ecd::ReadBlockHeader(b.data() + info.dataOffset, b.size() - info.dataOffset, block)) {
      f["block1.symbols"] = Num(block.symbols);
      f["block1.coded"] = Num(block.coded);
      f["block1.more"] = block.more ? "1" : "0";
    }
  }
  if (info.options.kind == kEcdKindZlib && info.dataOffset + 2 <= b.size())
    f["record1.length"] = Num(bk::LoadBe16(b.data() + info.dataOffset));
}

void DecodeBacksum(const Bytes& b, Fields& f) {
  bk::ar::ArchiveSums sums;
  const int status = bk::ar::DecodeSums(b.data(), b.size(), &sums, nullptr);
  f["status"] = Num(static_cast<unsigned>(status));
  if (status != bk::ar::kArOk) return;
  f["version"] = Num(bk::LoadBe16(b.data() + bk::ar::sums_field::kVersion));
  f["hasArchive"] = sums.hasArchive ? "1" : "0";
  f["entries"] = Num(sums.entryCrcs.size());
  f["plainSize"] = Num(sums.plainSize);
  f["plainCrc"] = Num(sums.plainCrc);
  f["prologueCrc"] = Num(sums.prologueCrc);
  for (std::size_t i = 0; i < sums.entryCrcs.size(); ++i) f["e" + Num(i + 1) + ".crc"] = Num(sums.entryCrcs[i]);
  // The file is exactly what the writer makes of these fields.
  f["rebuilt"] = bk::ar::EncodeSums(sums) == b ? "same" : "different";
}

// A record decoded by the reader, and built again by the writer's own layout
// from those fields: the example must be exactly what the writer makes.
void RecordFields(const bk::log::LogRecord& r, std::string_view bytes, const std::string& p, Fields& f) {
  using State = bk::log::LogRecord::State;
  f[p + "state"] = r.state == State::kRecord         ? "record"
                   : r.state == State::kContinuation ? "continuation"
                   : r.state == State::kTorn         ? "torn: " + r.problem
                                                     : "unmatched: " + r.problem;
  f[p + "number"] = Num(r.number);
  f[p + "date"] = r.date;
  f[p + "time"] = r.time;
  f[p + "thread"] = Num(r.thread);
  f[p + "category"] = r.category;
  f[p + "text"] = r.text;
  if (r.layout == bk::log::RecordLayout::kLong) {
    f[p + "process"] = Num(r.process);
    f[p + "session"] = Num(r.session);
    f[p + "program"] = r.program;
  }
  bk::log::Stamp s{};
  unsigned ms = 0;
  if (std::sscanf(r.date.c_str(), "%u/%u/%u", &s.year, &s.month, &s.day) != 3 ||
      std::sscanf(r.time.c_str(), "%u:%u:%u:%u", &s.hour, &s.minute, &s.second, &ms) != 4)
    return;
  s.millisecond = ms;
  s.threadId = r.thread;
  s.processId = r.process;
  s.sessionId = r.session;
  s.program = r.program.c_str();
  std::string again(bytes.size(), '?');
  if (r.layout == bk::log::RecordLayout::kLong)
    bk::log::BuildLongRecord(again.data(), again.size(), r.number, s, r.category.c_str(), r.text.c_str());
  else
    bk::log::BuildClassicRecord(again.data(), again.size(), r.number, s, r.category.c_str(), r.text.c_str());
  f[p + "rebuilt"] = again == bytes ? "same" : "different";
}

void DecodeLogFile(const Bytes& b, Fields& f) {
  const std::string_view all(reinterpret_cast<const char*>(b.data()), b.size());
  const bk::log::LogFile log = bk::log::ReadLogFile(all);
  f["selfManaged"] = log.selfManaged ? "1" : "0";
  f["count"] = Num(log.count);
  f["recordLength"] = Num(log.recordLength);
  f["layout"] = log.layout == bk::log::RecordLayout::kLong ? "long" : "classic";
  f["staleRecords"] = Num(log.staleRecords);
  for (std::size_t i = 0; i < log.records.size(); ++i) {
    const bk::log::LogRecord& r = log.records[i];
    RecordFields(r, all.substr(r.offset, log.recordLength), "r" + Num(i + 1) + ".", f);
  }
}

void DecodeLogRecord(const Bytes& b, Fields& f, bk::log::RecordLayout layout) {
  const std::string_view all(reinterpret_cast<const char*>(b.data()), b.size());
  RecordFields(bk::log::DecodeRecord(all, layout), all, "", f);
}

// Formats whose readers are not part of this tree yet: the offsets below are
// the documented ones, checked here against the example bytes.
namespace list_record {
constexpr std::size_t kSize = 277, kPath = 0, kPathWidth = 260, kFileSize = 260, kMDate = 264, kMTime = 268,
                      kFileKind = 272, kReserved = 273;
}
namespace hostsys_record {
constexpr std::size_t kSize = 320, kHost = 0, kHostWidth = 260, kKind = 260, kDirectory = 261, kDirectoryWidth = 59;
}

void DecodeListFile(const Bytes& b, Fields& f) {
  using namespace list_record;
  f["records"] = Num(b.size() / kSize);
  f["leftover"] = Num(b.size() % kSize);
  for (std::size_t r = 0; r < b.size() / kSize; ++r) {
    const std::size_t at = r * kSize;
    const std::string p = "r" + Num(r + 1) + ".";
    f[p + "path"] = Text(b, at + kPath, kPathWidth);
    f[p + "fileSize"] = Num(bk::LoadBe32(b.data() + at + kFileSize));
    f[p + "mDate"] = Num(bk::LoadBe32(b.data() + at + kMDate));
    f[p + "mTime"] = Num(bk::LoadBe32(b.data() + at + kMTime));
    f[p + "fileKind"] = Num(b[at + kFileKind]);
    f[p + "reserved"] = Num(bk::LoadBe32(b.data() + at + kReserved));
  }
}

void DecodeHostsys(const Bytes& b, Fields& f) {
  using namespace hostsys_record;
  f["records"] = Num(b.size() / kSize);
  f["leftover"] = Num(b.size() % kSize);
  for (std::size_t r = 0; r < b.size() / kSize; ++r) {
    const std::size_t at = r * kSize;
    const std::string p = "r" + Num(r + 1) + ".";
    f[p + "host"] = Text(b, at + kHost, kHostWidth);
    f[p + "kind"] = Num(b[at + kKind]);
    f[p + "directory"] = Text(b, at + kDirectory, kDirectoryWidth);
  }
}

bool Decode(const Example& e, Fields& f) {
  if (e.kind == "backmng") DecodeBackmng(e.bytes, f);
  else if (e.kind == "uplistd-entry") DecodeUplistd(e.bytes, f);
  else if (e.kind == "archive") DecodeArchive(e.bytes, f);
  else if (e.kind == "backsum") DecodeBacksum(e.bytes, f);
  else if (e.kind == "archive-legacy") DecodeLegacyArchive(e.bytes, f);
  else if (e.kind == "encoded-file") DecodeEncodedFile(e.bytes, f);
  else if (e.kind == "log-file") DecodeLogFile(e.bytes, f);
  else if (e.kind == "log-record-long") DecodeLogRecord(e.bytes, f, bk::log::RecordLayout::kLong);
  else if (e.kind == "log-record-classic") DecodeLogRecord(e.bytes, f, bk::log::RecordLayout::kClassic);
  else if (e.kind == "list-file") DecodeListFile(e.bytes, f);
  else if (e.kind == "hostsys") DecodeHostsys(e.bytes, f);
  else return false;
  return true;
}

std::filesystem::path DocsDir() { return std::filesystem::path(BK_SOURCE_DIR) / "docs"; }

TEST(FormatDocs, EveryDocumentHasCheckedExamples) {
  // The files this system reads or writes, each described with an example.
  for (const char* name : {"backup-root.md", "list-file.md", "archive.md", "encoded-file.md", "uplistd.md",
                           "hostsys.md", "logs.md"}) {
    const std::filesystem::path path = DocsDir() / name;
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    EXPECT_FALSE(ReadExamples(path).empty()) << name << " has no example";
  }
}

TEST(FormatDocs, ExamplesDecodeToTheStatedFields) {
  std::size_t checked = 0;
  for (const auto& item : std::filesystem::directory_iterator(DocsDir())) {
    if (item.path().extension() != ".md") continue;
    for (const Example& e : ReadExamples(item.path())) {
      SCOPED_TRACE(e.file + ":" + std::to_string(e.line) + " (" + e.kind + ")");
      EXPECT_TRUE(e.error.empty()) << e.error;
      EXPECT_FALSE(e.expected.empty()) << "an example states no field";
      Fields fields;
      ASSERT_TRUE(Decode(e, fields)) << "no decoder for this kind";
      for (const auto& [name, value] : e.expected) {
        const auto found = fields.find(name);
        if (found == fields.end()) {
          ADD_FAILURE() << "field " << name << " is not decoded";
          continue;
        }
        EXPECT_EQ(found->second, value) << "field " << name;
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 0u);
}

// The parser itself: a wrong offset or a wrong byte is reported, never read
// past.
TEST(FormatDocs, MalformedExamplesAreReported) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "bk_format_docs_test.md";
  {
    std::ofstream out(path);
    out << "```example hostsys\n0000  41 42\n0003  43\n= r1.host \"AB\"\n```\n"
        << "```example hostsys\n0000  4g\n```\n"
        << "```example hostsys\n0000  00*2\n= r1.kind nine\n```\n";
  }
  const std::vector<Example> examples = ReadExamples(path);
  std::filesystem::remove(path);
  ASSERT_EQ(examples.size(), 3u);
  EXPECT_NE(examples[0].error.find("does not follow the 2 bytes"), std::string::npos) << examples[0].error;
  EXPECT_NE(examples[1].error.find("bad byte '4g'"), std::string::npos) << examples[1].error;
  EXPECT_NE(examples[2].error.find("bad expectation"), std::string::npos) << examples[2].error;
}

}  // namespace
