// The resource archive layout: writer output byte for byte, the readers'
// header check and limits, date and time codes, and the legacy layout.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/ar_format.h"
#include "archive/ar_reader.h"
#include "archive/ar_writer.h"
#include "common/byte_order.h"
#include "support/portable_fixtures.h"

namespace {

using namespace bk::ar;
using bk::test::Bytes;
using bk::test::LogCapture;

ArNewEntry Dir(const std::string& path) {
  ArNewEntry e;
  e.path = path;
  e.fileKind = kKindArchive;  // a directory: bit 1 clear
  e.mDate = 0x20100701;
  e.mTime = 0x00060916;
  return e;
}

ArNewEntry File(const std::string& path, std::uint64_t size, const std::string& shortName = "") {
  ArNewEntry e;
  e.path = path;
  e.shortName = shortName;
  e.size = size;
  e.fileKind = kKindRegular | kKindReadOnly;
  e.mDate = 0x20260310;
  e.mTime = 0x00235959;
  return e;
}

// A small archive: the base directory, a file with a short name, a
// subdirectory and a file in it.
Bytes Sample() {
  ArMemorySink sink;
  ArWriter w(sink);
  EXPECT_EQ(w.Begin(kCompKindControl, "C", "Program Files/App"), kArOk);
  EXPECT_EQ(w.AddEntry(Dir(".")), kArOk);
  EXPECT_EQ(w.AddEntry(File("readme long name.txt", 5, "README~1.TXT")), kArOk);
  EXPECT_EQ(w.WriteContent("hello", 5), kArOk);
  EXPECT_EQ(w.AddEntry(Dir("sub")), kArOk);
  ArNewEntry secured = File("sub/data.bin", 3);
  secured.security = {1, 0, 4, 0x80};
  EXPECT_EQ(w.AddEntry(secured), kArOk);
  EXPECT_EQ(w.WriteContent("\x01\x02\x03", 3), kArOk);
  EXPECT_EQ(w.Finish(), kArOk);
  return sink.Bytes();
}

struct Listed {
  std::string path;
  std::string content;
  bool directory;
  std::vector<unsigned char> security;
};

int ReadAll(const Bytes& archive, std::vector<Listed>& out, std::string* error = nullptr) {
  ArMemorySource source(archive.data(), archive.size());
  ArReader reader(source);
  int rc = reader.Open();
  if (rc == kArOk) {
    ArEntry e;
    bool found;
    while ((rc = reader.Next(e, found)) == kArOk && found) {
      Listed l{e.path, "", e.header.IsDirectory(), e.security};
      char buffer[3];
      std::size_t got;
      while ((rc = reader.ReadContent(buffer, sizeof buffer, got)) == kArOk && got > 0) l.content.append(buffer, got);
      if (rc != kArOk) break;
      out.push_back(l);
    }
  }
  if (error != nullptr) *error = reader.Error();
  return rc;
}

TEST(ArchiveLayout, WriterLaysOutHeaderNamesAndEntries) {
  const Bytes a = Sample();
  const VsConReIn h = DecodeHeader(a.data());
  EXPECT_EQ(h.arcSize, a.size());
  EXPECT_EQ(h.headSize, 42u);
  EXPECT_EQ(h.resGenNo[0], 1);
  EXPECT_EQ(h.resGenNo[1], 0);
  EXPECT_EQ(h.compKind, 'H');
  EXPECT_EQ(h.driveNo, 1);
  EXPECT_EQ(h.pathNo, 2);
  // C, Program Files/App, ., root, sys, readme..., README~1.TXT, sub, sub/data.bin
  EXPECT_EQ(h.nameCount, 9);
  EXPECT_EQ(h.nameMax, std::strlen("readme long name.txt"));
  EXPECT_EQ(h.skipSize, 0u);
  EXPECT_EQ(h.nameSize, 2u + 18u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&a[42]), 20), std::string("C\0Program Files/App\0", 20));

  // The first entry's names block: its path, then "root" and "sys".
  const std::size_t first = 42 + 20;
  const VsConFileIn e = DecodeEntry(&a[first]);
  EXPECT_EQ(e.entSize, 64u);
  EXPECT_EQ(e.nameNo, 3);
  EXPECT_EQ(e.ownerNo, 4);
  EXPECT_EQ(e.groupNo, 5);
  EXPECT_EQ(e.fileMode, 7);
  EXPECT_EQ(e.fileSize, 0u);
  EXPECT_EQ(e.dataSize, 0u);
  EXPECT_TRUE(e.IsDirectory());
  EXPECT_EQ(e.mDate, 0x20100701u);
  EXPECT_EQ(e.mTime, 0x00060916u);
  EXPECT_EQ(e.nameSize, 11u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&a[first + 64]), 11), std::string(".\0root\0sys\0", 11));
  // The second reuses root and sys and adds its short name.
  const std::size_t second = first + 64 + 11;
  const VsConFileIn f = DecodeEntry(&a[second]);
  EXPECT_EQ(f.nameNo, 6);
  EXPECT_EQ(f.shortNo, 7);
  EXPECT_EQ(f.ownerNo, 4);
  EXPECT_EQ(f.groupNo, 5);
  EXPECT_EQ(f.fileKind, kKindRegular | kKindReadOnly);
  EXPECT_EQ(f.fileSize, 5u);
  EXPECT_EQ(f.dataSize, 5u);
  EXPECT_EQ(f.assocSize, 0u);
}

TEST(ArchiveLayout, ReaderReturnsWhatTheWriterWrote) {
  std::vector<Listed> entries;
  ASSERT_EQ(ReadAll(Sample(), entries), kArOk);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].path, ".");
  EXPECT_TRUE(entries[0].directory);
  EXPECT_EQ(entries[1].path, "readme long name.txt");
  EXPECT_EQ(entries[1].content, "hello");
  EXPECT_EQ(entries[2].path, "sub");
  EXPECT_EQ(entries[3].path, "sub/data.bin");
  EXPECT_EQ(entries[3].content, "\x01\x02\x03");
  EXPECT_EQ(entries[3].security, (std::vector<unsigned char>{1, 0, 4, 0x80}));
  EXPECT_TRUE(entries[1].security.empty());

  // Content left unread is skipped.
  const Bytes a = Sample();
  ArMemorySource source(a.data(), a.size());
  ArReader reader(source);
  ASSERT_EQ(reader.Open(), kArOk);
  EXPECT_STREQ(reader.DriveName(), "C");
  EXPECT_STREQ(reader.BasePathName(), "Program Files/App");
  ArEntry e;
  bool found;
  int count = 0;
  while (reader.Next(e, found) == kArOk && found) ++count;
  EXPECT_EQ(count, 4);
  EXPECT_EQ(reader.Status(), kArOk);
}

TEST(ArchiveLayout, HeaderOnlyArchiveEndsAtOnce) {
  ArMemorySink sink;
  ArWriter w(sink);
  ASSERT_EQ(w.Begin(kCompKindNone, "D", "/"), kArOk);
  ASSERT_EQ(w.Finish(), kArOk);
  EXPECT_EQ(sink.Bytes().size(), 42u + 4u);
  EXPECT_EQ(DecodeHeader(sink.Bytes().data()).arcSize, 42u + 4u);
  std::vector<Listed> entries;
  EXPECT_EQ(ReadAll(sink.Bytes(), entries), kArOk);
  EXPECT_TRUE(entries.empty());
}

TEST(ArchiveLayout, HeaderCheckSendsTheDocumentedMessages) {
  const struct {
    unsigned char gen0, gen1, compKind;
    const char* event;
    const char* line;
  } cases[] = {
      {1, 1, 'H', "The structurally defective ResourceFile: VsConReIn.ResGen_No[0]=1, VsConReIn.ResGen_No[1]=1",
       "ar|Resource Error 1"},
      {0xFF, 0, 'H', "The structurally defective ResourceFile: VsConReIn.ResGen_No[0]=-1, VsConReIn.ResGen_No[1]=0",
       "ar|Resource Error 1"},
      {1, 0, 0, "The structurally defective ResourceFile: VsConReIn.compKind=0", "ar|Resource Error 2"},
      {1, 0, 'X', "The structurally defective ResourceFile: VsConReIn.compKind=88", "ar|Resource Error 2"},
  };
  for (const auto& c : cases) {
    Bytes a = Sample();
    a[header_field::kResGenNo] = c.gen0;
    a[header_field::kResGenNo + 1] = c.gen1;
    a[header_field::kCompKind] = c.compKind;
    LogCapture log;
    std::vector<Listed> entries;
    EXPECT_EQ(ReadAll(a, entries), kArDefectiveHeader);
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].code, 0xC0001B65u);
    EXPECT_EQ(log.events[0].category, "ar");
    EXPECT_EQ(log.events[0].text, c.event);
    EXPECT_EQ(log.lines, std::vector<std::string>{c.line});
  }
  for (unsigned char kind : {'N', 'H', 'Z'}) {
    Bytes a = Sample();
    a[header_field::kCompKind] = kind;
    std::vector<Listed> entries;
    EXPECT_EQ(ReadAll(a, entries), kArOk) << kind;
  }
  // A header cut short is checked as zeros.
  LogCapture log;
  const Bytes whole = Sample();
  const Bytes shortFile(whole.begin(), whole.begin() + 10);
  std::vector<Listed> entries;
  EXPECT_EQ(ReadAll(shortFile, entries), kArDefectiveHeader);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"ar|_read Error on VsConReIn: 10 of 42 bytes read",
                                                 "ar|Resource Error 1"}));
}

TEST(ArchiveLayout, DefectiveArchivesAreRejected) {
  const Bytes good = Sample();
  const std::size_t first = 42 + 20;
  const std::size_t second = first + 64 + 11;
  auto set16 = [](Bytes a, std::size_t at, std::uint16_t v) { bk::StoreBe16(&a[at], v); return a; };
  auto set32 = [](Bytes a, std::size_t at, std::uint32_t v) { bk::StoreBe32(&a[at], v); return a; };
  using namespace header_field;
  const struct {
    const char* name;
    Bytes archive;
    int result;
  } cases[] = {
      {"nameCount below the names", set16(good, kNameCount, 8), kArDefective},
      {"nameCount above the names", set16(good, kNameCount, 10), kArDefective},
      {"nameMax below a name", set16(good, kNameMax, 17), kArDefective},
      {"nameMax beyond a path", set16(good, kNameMax, 260), kArDefective},
      {"driveNo 0", set16(good, kDriveNo, 0), kArDefective},
      {"pathNo not in the header block", set16(good, kPathNo, 3), kArDefective},
      {"nameNo 0", set16(good, first + entry_field::kNameNo, 0), kArDefective},
      {"nameNo not yet read", set16(good, first + entry_field::kNameNo, 6), kArDefective},
      {"arcSize past the file", set32(good, kArcSize, static_cast<std::uint32_t>(good.size() + 1)), kArReadError},
      {"arcSize inside an entry", set32(good, kArcSize, static_cast<std::uint32_t>(good.size() - 1)), kArDefective},
      {"skipSize past the end", set32(good, kSkipSize, 0xFFFFFFF0u), kArDefective},
      {"header nameSize past the end", set32(good, kNameSize, 0x7FFFFFFFu), kArDefective},
      {"header block without terminator", set32(good, kNameSize, 19), kArDefective},
      {"dataSize differs from fileSize", set32(good, second + entry_field::kDataSize, 4), kArDefective},
      {"fileSize huge", set32(set32(good, second + entry_field::kDataSize, 0xFFFFFFFFu),
                              second + entry_field::kFileSize, 0xFFFFFFFFu), kArDefective},
      {"assocSize shorter than its head", set32(good, second + entry_field::kAssocSize, 3), kArDefective},
      {"assocSize past the end", set32(good, second + entry_field::kAssocSize, 0xFFFFFF00u), kArDefective},
      {"entry nameSize past the end", set32(good, first + entry_field::kNameSize, 0x10000000u), kArDefective},
  };
  for (const auto& c : cases) {
    std::vector<Listed> entries;
    std::string error;
    EXPECT_EQ(ReadAll(c.archive, entries, &error), c.result) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
  // Every truncation of the archive fails, none reads past what is there.
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    Bytes part(good.begin(), good.begin() + static_cast<long>(cut));
    std::vector<Listed> entries;
    EXPECT_NE(ReadAll(part, entries), kArOk) << cut;
  }
}

TEST(ArchiveLayout, WriterRefusesWhatDoesNotFit) {
  ArMemorySink sink;
  ArWriter w(sink);
  ASSERT_EQ(w.Begin(kCompKindControl, "C", "/"), kArOk);
  EXPECT_EQ(w.AddEntry(File(std::string(260, 'n'), 0)), kArTooLarge);
  EXPECT_EQ(w.AddEntry(File("ok", 0, std::string(300, 's'))), kArTooLarge);
  EXPECT_EQ(w.AddEntry(File("big", 0x100000000ull)), kArTooLarge);
  EXPECT_EQ(w.AddEntry(File(std::string("nul\0inside", 10), 0)), kArTooLarge);
  // A refused entry leaves no trace: the next one gets the next index.
  ASSERT_EQ(w.AddEntry(File(std::string(259, 'n'), 1)), kArOk);
  EXPECT_EQ(w.AddEntry(File("early", 0)), kArMisuse);  // content missing
  EXPECT_EQ(w.WriteContent("xy", 2), kArMisuse);       // more than announced
  ASSERT_EQ(w.WriteContent("x", 1), kArOk);
  ASSERT_EQ(w.Finish(), kArOk);
  EXPECT_EQ(w.NameCount(), 5u);
  std::vector<Listed> entries;
  ASSERT_EQ(ReadAll(sink.Bytes(), entries), kArOk);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, std::string(259, 'n'));
}

TEST(ArchiveLayout, MatchTableHoldsAtMost65535Names) {
  ArMemorySink sink;
  ArWriter w(sink);
  ASSERT_EQ(w.Begin(kCompKindNone, "C", "/"), kArOk);
  int rc = kArOk;
  int added = 0;
  while ((rc = w.AddEntry(Dir("d" + std::to_string(added)))) == kArOk) ++added;
  EXPECT_EQ(rc, kArTooLarge);
  EXPECT_EQ(w.NameCount(), 65535u);
  EXPECT_EQ(added, 65535 - 4);
  ASSERT_EQ(w.Finish(), kArOk);
  std::vector<Listed> entries;
  ASSERT_EQ(ReadAll(sink.Bytes(), entries), kArOk);
  EXPECT_EQ(entries.size(), static_cast<std::size_t>(added));
  EXPECT_EQ(entries.back().path, "d" + std::to_string(added - 1));
}

TEST(ArchiveCodes, DateAndTimeCodes) {
  std::tm local{};
  local.tm_year = 110;
  local.tm_mon = 6;
  local.tm_mday = 1;
  local.tm_hour = 6;
  local.tm_min = 9;
  local.tm_sec = 16;
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  std::uint32_t date = 0, time = 0;
  ASSERT_TRUE(arTimeToCodes(t, &date, &time));
  EXPECT_EQ(date, 0x20100701u);
  EXPECT_EQ(time, 0x00060916u);

  std::tm standard = local;
  standard.tm_isdst = 0;
  EXPECT_EQ(arCodesToTime(0x20100701, 0x00060916), std::mktime(&standard));
  EXPECT_EQ(arCodesToTime(0x2010070A, 0), static_cast<std::time_t>(-1));
  EXPECT_EQ(arCodesToTime(0x20100701, 0x000609F0), static_cast<std::time_t>(-1));
}

TEST(ArchiveCodes, LegacyTimes) {
  const struct {
    std::uint32_t date, time;
    std::int64_t seconds;  // UTC + 9 hours stored
  } cases[] = {
      {700101, 90000, 0},                    // 1970-01-01 09:00 is the epoch
      {229, 0, 951782400 - 32400},           // 2000-02-29
      {301, 0, 951868800 - 32400},           // 2000-03-01, after the leap day
      {991231, 235959, 946684799 - 32400},   // 1999-12-31 23:59:59
      {691231, 120000, 3155716800 - 32400},  // 2069-12-31 12:00
  };
  for (const auto& c : cases) {
    std::int64_t s = 0;
    ASSERT_TRUE(LegacyCodesToTime(c.date, c.time, &s)) << c.date;
    EXPECT_EQ(s, c.seconds) << c.date;
  }
  std::int64_t s;
  EXPECT_FALSE(LegacyCodesToTime(991300, 0, &s));  // month 13
  EXPECT_FALSE(LegacyCodesToTime(990001, 0, &s));  // month 0
  EXPECT_FALSE(LegacyCodesToTime(1000000, 0, &s));
}

// A legacy file: header, entries (directory, file), names table.
Bytes Legacy(std::uint32_t entryLength = 60, std::int16_t nameIndex = 3) {
  const std::string names = std::string("C\0\\base\0dir\0dir\\f.txt\0", 23);
  Bytes a(60);
  LegacyEntry d;
  d.entryLength = 60;
  d.mDate = 229;
  d.nameIndex = 2;
  d.attributes = kLegacyDirectoryAttribute;
  unsigned char bytes[60];
  EncodeLegacyEntry(d, bytes);
  a.insert(a.end(), bytes, bytes + 60);
  LegacyEntry f;
  f.entryLength = entryLength;
  f.nameIndex = nameIndex;
  f.attributes = 0x20;
  f.contentLength = 4;
  EncodeLegacyEntry(f, bytes);
  a.insert(a.end(), bytes, bytes + 60);
  for (char ch : std::string("data")) a.push_back(static_cast<unsigned char>(ch));
  LegacyHeader h;
  h.firstEntry = 60;
  h.namesStart = static_cast<std::uint32_t>(a.size());
  h.namesEnd = static_cast<std::uint32_t>(a.size() + names.size());
  h.driveIndex = 0;
  h.pathIndex = 1;
  a.insert(a.end(), names.begin(), names.end());
  EncodeLegacyHeader(h, a.data());
  return a;
}

TEST(ArchiveLegacy, ReadsEntriesNamesAndContent) {
  const Bytes a = Legacy();
  EXPECT_TRUE(IsLegacyLayout(a.data(), a.size()));
  EXPECT_FALSE(IsLegacyLayout(Sample().data(), 42));
  ArMemorySource source(a.data(), a.size());
  LegacyArReader reader(source);
  ASSERT_EQ(reader.Open(), kArOk);
  EXPECT_EQ(reader.NameCount(), 4u);
  EXPECT_STREQ(reader.Name(reader.Header().driveIndex), "C");
  EXPECT_STREQ(reader.Name(reader.Header().pathIndex), "\\base");
  LegacyArEntry e;
  bool found;
  ASSERT_EQ(reader.Next(e, found), kArOk);
  ASSERT_TRUE(found);
  EXPECT_EQ(e.path, "dir");
  EXPECT_TRUE(e.header.IsDirectory());
  ASSERT_EQ(reader.Next(e, found), kArOk);
  ASSERT_TRUE(found);
  EXPECT_EQ(e.path, "dir\\f.txt");
  char buffer[8];
  std::size_t got;
  ASSERT_EQ(reader.ReadContent(buffer, sizeof buffer, got), kArOk);
  EXPECT_EQ(std::string(buffer, got), "data");
  ASSERT_EQ(reader.Next(e, found), kArOk);
  EXPECT_FALSE(found);
}

TEST(ArchiveLegacy, DefectiveLegacyFilesAreRejected) {
  auto withHeader = [](Bytes a, std::size_t at, std::uint32_t v) { bk::StoreLe32(&a[at], v); return a; };
  const Bytes good = Legacy();
  const struct {
    const char* name;
    Bytes archive;
  } cases[] = {
      {"names end past the file", withHeader(good, legacy_field::kNamesEnd, 100000)},
      {"names start after their end", withHeader(good, legacy_field::kNamesStart, 0xFFFFFF00u)},
      {"first entry inside the header", withHeader(good, legacy_field::kFirstEntry, 10)},
      {"entry header length below 60", Legacy(12)},
      {"entry header length past the names", Legacy(5000)},
      {"name index past the table", Legacy(60, 4)},
      {"negative name index", Legacy(60, -1)},
  };
  for (const auto& c : cases) {
    ArMemorySource source(c.archive.data(), c.archive.size());
    LegacyArReader reader(source);
    int rc = reader.Open();
    LegacyArEntry e;
    bool found = true;
    while (rc == kArOk && found) rc = reader.Next(e, found);
    EXPECT_NE(rc, kArOk) << c.name;
    EXPECT_FALSE(reader.Error().empty()) << c.name;
  }
}

}  // namespace
