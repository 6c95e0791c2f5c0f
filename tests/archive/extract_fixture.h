#pragma once
// Archives made in tests: current-layout archives through the portable
// writer (plain or encoded), legacy archives from their documented layout,
// byte patches for damaged ones, and a fixture with the client's log, the
// coded messages and the extraction's seams recorded.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "archive/ar_extract.h"
#include "archive/ar_format.h"
#include "archive/ar_io.h"
#include "archive/ar_writer.h"
#include "codec/ecd.h"
#include "common/byte_order.h"
#include "environment/env.h"
#include "logging/event_observer.h"
#include "logging/log.h"
#include "support/log_files.h"
#include "support/win_fixtures.h"

namespace bk::test {

using Bytes = std::vector<unsigned char>;

// One entry of a test archive.
struct Item {
  std::string path;                 // "/" separators
  bool directory = false;
  std::string content;
  unsigned char kind = 0;           // fileKind; 0 = regular file (1) or directory (0)
  std::time_t modified = 1278000000;  // 2010-07-01
  std::time_t accessed = 1278100000;
  Bytes security;
};

inline unsigned char KindOf(const Item& item) {
  if (item.kind != 0) return item.kind;
  return item.directory ? 0 : ar::kKindRegular;
}

// A current-layout archive of the items below drive + base path name.
inline Bytes BuildArchive(const std::vector<Item>& items, const std::string& drive = "C",
                          const std::string& basePath = "/") {
  ar::ArMemorySink sink;
  ar::ArWriter writer(sink);
  EXPECT_EQ(writer.Begin('H', drive, basePath), ar::kArOk);
  for (const Item& item : items) {
    ar::ArNewEntry e;
    e.path = item.path;
    e.size = item.directory ? 0 : item.content.size();
    e.fileKind = KindOf(item);
    EXPECT_TRUE(ar::arTimeToCodes(item.modified, &e.mDate, &e.mTime));
    EXPECT_TRUE(ar::arTimeToCodes(item.accessed, &e.aDate, &e.aTime));
    e.security = item.security;
    EXPECT_EQ(writer.AddEntry(e), ar::kArOk) << item.path;
    if (!item.content.empty()) {
      EXPECT_EQ(writer.WriteContent(item.content.data(), item.content.size()), ar::kArOk);
    }
  }
  EXPECT_EQ(writer.Finish(), ar::kArOk);
  return sink.Bytes();
}

// Attributes as Wine reports them after they were set: a regular file always
// shows the archive flag; a directory shows neither archive nor read-only.
inline DWORD AsReported(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
  if (attributes == FILE_ATTRIBUTE_NORMAL) attributes = 0;
  return attributes | FILE_ATTRIBUTE_ARCHIVE;
}

inline void WriteBytes(const std::string& path, const Bytes& data) {
  WriteFile(path, std::string(data.begin(), data.end()));
}
inline Bytes ReadBytes(const std::string& path) {
  const std::string s = ReadFile(path);
  return Bytes(s.begin(), s.end());
}

// Encodes the plain file into `encoded` with kind 1 (control codec), 0 or 5.
inline void Encode(const std::string& plain, const std::string& encoded, int kind = kEcdKindControl) {
  ASSERT_EQ(vskEcdEncodeFile(plain.c_str(), encoded.c_str(), 0, kind), kEcdEncodeOk);
}

// Offset of the n-th entry header (0-based) of a current-layout archive.
inline std::size_t EntryOffset(const Bytes& a, int n) {
  std::size_t at = ar::kHeaderSize + LoadBe32(&a[ar::header_field::kSkipSize]) +
                   LoadBe32(&a[ar::header_field::kNameSize]);
  for (int i = 0; i < n; ++i) {
    const ar::VsConFileIn e = ar::DecodeEntry(&a[at]);
    at += ar::kEntryHeaderSize + e.assocSize + e.nameSize + e.dataSize;
  }
  return at;
}

// A legacy entry: path with "\" separators, decimal YYMMDD / HHMMSS times.
struct LegacyItem {
  std::string path;
  std::uint32_t attributes = FILE_ATTRIBUTE_ARCHIVE;  // FILE_ATTRIBUTE_DIRECTORY for a directory
  std::string content;
  std::uint32_t mDate = 100701, mTime = 60916, aDate = 100702, aTime = 120000;
};

// A legacy archive: header, entries with their content, names table (drive
// name, path name, then the entries' names).
inline Bytes BuildLegacy(const std::vector<LegacyItem>& items, const std::string& drive,
                         const std::string& path) {
  Bytes body;
  for (std::size_t i = 0; i < items.size(); ++i) {
    ar::LegacyEntry e;
    e.entryLength = ar::kLegacyEntrySize;
    e.aDate = items[i].aDate;
    e.aTime = items[i].aTime;
    e.mDate = items[i].mDate;
    e.mTime = items[i].mTime;
    e.nameIndex = static_cast<std::int16_t>(i + 2);
    e.attributes = items[i].attributes;
    e.contentLength = static_cast<std::uint32_t>(items[i].content.size());
    unsigned char bytes[ar::kLegacyEntrySize];
    ar::EncodeLegacyEntry(e, bytes);
    body.insert(body.end(), bytes, bytes + sizeof bytes);
    body.insert(body.end(), items[i].content.begin(), items[i].content.end());
  }
  std::string names = drive + '\0' + path + '\0';
  for (const LegacyItem& item : items) names += item.path + '\0';
  ar::LegacyHeader h;
  h.firstEntry = ar::kLegacyHeaderSize;
  h.namesStart = static_cast<std::uint32_t>(ar::kLegacyHeaderSize + body.size());
  h.namesEnd = static_cast<std::uint32_t>(h.namesStart + names.size());
  h.driveIndex = 0;
  h.pathIndex = 1;
  Bytes out(ar::kLegacyHeaderSize);
  ar::EncodeLegacyHeader(h, out.data());
  out.insert(out.end(), body.begin(), body.end());
  out.insert(out.end(), names.begin(), names.end());
  return out;
}

struct SeenEvent {
  std::uint32_t code;
  std::string text;
};
inline std::vector<SeenEvent>& Events() {
  static std::vector<SeenEvent> events;
  return events;
}
inline std::vector<unsigned long>& Waits() {
  static std::vector<unsigned long> waits;
  return waits;
}
inline std::vector<int>& Gauge() {
  static std::vector<int> steps;
  return steps;
}

inline constexpr std::size_t kLogRecord = 640;

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry.Set("FUNCLOGSize", std::to_string(kLogRecord));
    Events().clear();
    Waits().clear();
    Gauge().clear();
    vskLogSetEventObserver([](std::uint32_t code, const char*, const char* text, std::int32_t, const char*,
                              std::int32_t) { Events().push_back({code, text != nullptr ? text : ""}); });
    vskarSetRetryWaitForTest([](unsigned long ms) { Waits().push_back(ms); });
    vskarSetGaugeCallForTest([](std::uint16_t kind, std::uint16_t position) {
      if (kind == 2) Gauge().push_back(position);
    });
    vskEnvLoad();
  }
  void TearDown() override {
    vskLogSetEventObserver(nullptr);
    vskarSetRetryWaitForTest(nullptr);
    vskarSetGaugeCallForTest(nullptr);
    vskarUseXpFileCallsForTest(false);
    vskarUseOneThreadForTest(false);
    vskEnvRelease();
  }

  std::vector<std::string> Lines() const { return SelfManagedMessages(install.Log("CLIENT.LOG"), kLogRecord); }
  bool Logged(const std::string& text) const {
    for (const std::string& line : Lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  bool EventSeen(const std::string& text) const {
    for (const SeenEvent& e : Events())
      if (e.text.find(text) != std::string::npos && e.code == kVskMsgInstallError) return true;
    return false;
  }
  std::string Dump() const {
    std::string all;
    for (const std::string& line : Lines()) all += line + "\n";
    for (const SeenEvent& e : Events()) all += "event: " + e.text + "\n";
    return all;
  }

  ClientRegistry registry;
  ClientInstall install{registry};
  TempDir work;
};

}  // namespace bk::test
