// Archive creation under Wine: entries, order and names of what is archived,
// the compression kinds and the work copy, the streamed way against the step
// by step way, failures with their results and log lines, the limits, and
// faults of reads and writes at every position.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/ar_create.h"
#include "archive/ar_extract.h"
#include "archive/ar_reader.h"
#include "codec/ecd.h"
#include "common/byte_order.h"
#include "common/io_faults.h"
#include "environment/env.h"
#include "support/log_files.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::Exists;
using bk::test::MakeDir;
using bk::test::ReadFile;
using bk::test::RemoveTree;
using bk::test::WriteFile;

constexpr std::size_t kLogRecord = 640;

struct Entry {
  std::string path, shortName;
  bk::ar::VsConFileIn header;
  std::string content;
  bool hasSecurity = false;
};

struct Archive {
  bool encoded = false;
  int encodedKind = -1;
  bk::ar::VsConReIn header;
  std::string drive, base;
  std::vector<Entry> entries;
  int status = -100;
  std::string error;

  std::vector<std::string> Paths() const {
    std::vector<std::string> out;
    for (const Entry& e : entries) out.push_back(e.path);
    return out;
  }
  const Entry* Find(const std::string& path) const {
    for (const Entry& e : entries)
      if (e.path == path) return &e;
    return nullptr;
  }
};

// Reads an archive file back: unwrapped when it is encoded, then every entry
// with its names and content.
Archive ReadArchive(const std::string& file) {
  Archive a;
  const std::string raw = ReadFile(file);
  std::vector<unsigned char> plain(raw.begin(), raw.end());
  const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
  if (raw.size() >= 16 && EcdCheckMagicNum(bk::LoadBe32(bytes), bk::LoadBe32(bytes + 4), bk::LoadBe32(bytes + 8),
                                           bk::LoadBe32(bytes + 12)) == 1) {
    a.encoded = true;
    bk::ecd::ImageInfo info;
    std::vector<unsigned char> out;
    // Kind 0 without pass-through is "not compressed": take the data area.
    const int rc = bk::ecd::DecodeImage(bytes, raw.size(), &out, &info);
    a.encodedKind = info.options.kind;
    if (rc == kEcdNotCompressed)
      plain.assign(bytes + info.dataOffset, bytes + raw.size());
    else if (rc == kEcdDecodeOk)
      plain = out;
    else
      return a;
  }
  bk::ar::ArMemorySource source(plain.data(), plain.size());
  bk::ar::ArReader reader(source);
  a.status = reader.Open();
  if (a.status != bk::ar::kArOk) return a;
  a.header = reader.Header();
  a.drive = reader.DriveName() ? reader.DriveName() : "";
  a.base = reader.BasePathName() ? reader.BasePathName() : "";
  bk::ar::ArEntry entry;
  bool found = false;
  while ((a.status = reader.Next(entry, found)) == bk::ar::kArOk && found) {
    Entry e;
    e.path = entry.path;
    e.header = entry.header;
    e.hasSecurity = entry.hasSecurity;
    if (entry.header.shortNo != 0 && reader.Names().Name(entry.header.shortNo))
      e.shortName = reader.Names().Name(entry.header.shortNo);
    char buffer[65536];
    std::size_t got = 0;
    while (reader.ReadContent(buffer, sizeof buffer, got) == bk::ar::kArOk && got > 0) e.content.append(buffer, got);
    a.entries.push_back(e);
  }
  a.error = reader.Error();
  return a;
}

FILETIME FileTimeOf(std::int64_t unixSeconds) {
  const std::uint64_t ticks = static_cast<std::uint64_t>(unixSeconds * 10000000LL + 116444736000000000LL);
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(ticks);
  t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return t;
}

void SetTimes(const std::string& path, const FILETIME& modified, const FILETIME& accessed) {
  HANDLE h = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
  EXPECT_TRUE(::SetFileTime(h, nullptr, &accessed, &modified)) << path;
  ::CloseHandle(h);
}

// Content of a given length that compresses like text with some noise.
std::string Content(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = (i % 7 == 0) ? static_cast<char>(x >> 24) : "archive content "[i % 16];
  }
  return s;
}

void MakeSparse(const std::string& path, std::uint64_t size) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  EXPECT_TRUE(::SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  EXPECT_TRUE(::SetEndOfFile(h));
  ::CloseHandle(h);
}

std::string NameList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& n : names) list += n + '\0';
  return list;
}

struct GaugeCall {
  bool start;
  unsigned kind, value;
  bool operator==(const GaugeCall&) const = default;
};
std::vector<GaugeCall>& GaugeCalls() {
  static std::vector<GaugeCall> calls;
  return calls;
}

class ArCreate : public ::testing::Test {
 protected:
  void SetUp() override {
    registry.Set("FUNCLOGSize", std::to_string(kLogRecord));
    vskEnvLoad();
    char name[64];
    std::snprintf(name, sizeof name, "C:\\bkc_%lu", ::GetCurrentProcessId());
    top = name;
    topName = top.substr(3);
    RemoveTree(top);
    MakeDir(top);
    GaugeCalls().clear();
  }
  void TearDown() override {
    vskarUsePlainWayForTest(false);
    vskarUseOneThreadStreamForTest(false);
    vskarSetGaugeForTest(nullptr, nullptr);
    vskarMarkSearchEntryForTest(nullptr, 0);
    bk::io::ArmFaultForTest(bk::io::IoKind::kWrite, 0);
    RemoveTree(top);
    vskEnvRelease();
  }

  std::vector<std::string> Lines() const {
    return bk::test::SelfManagedMessages(install.Log("CLIENT.LOG"), kLogRecord);
  }
  bool Logged(const std::string& text) const {
    for (const std::string& line : Lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  std::size_t LineCount() const { return Lines().size(); }

  // A tree with nested and empty directories, empty files, contents of
  // several block sizes, hidden, read-only and system files, and names
  // with and without short names; fixed times.
  void MakeRichTree(const std::string& root) {
    MakeDir(root);
    MakeDir(root + "\\sub");
    MakeDir(root + "\\sub\\deeper");
    MakeDir(root + "\\sub\\deeper\\empty dir");
    MakeDir(root + "\\Long Directory Name");
    WriteFile(root + "\\empty.txt", "");
    WriteFile(root + "\\small.txt", "small");
    WriteFile(root + "\\sub\\block.bin", Content(32767, 1));
    WriteFile(root + "\\sub\\blocks.bin", Content(3 * 32767 + 1, 2));
    WriteFile(root + "\\sub\\deeper\\piece.dat", Content(600000, 3));
    WriteFile(root + "\\Long Directory Name\\a rather long file name.text", Content(5000, 4));
    WriteFile(root + "\\sub\\hidden.sys", "hidden and system");
    WriteFile(root + "\\sub\\readonly.txt", "read only");
    ::SetFileAttributesA((root + "\\sub\\hidden.sys").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ::SetFileAttributesA((root + "\\sub\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    FixTimes(root);
  }

  // Modification times in 2020, access times an hour ahead: reading the
  // files leaves them unchanged, so two creations see the same times.
  void FixTimes(const std::string& path) {
    const FILETIME modified = FileTimeOf(1593580000);
    const FILETIME accessed = FileTimeOf(static_cast<std::int64_t>(std::time(nullptr)) + 3600);
    WIN32_FIND_DATAA found;
    HANDLE search = ::FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const std::string child = path + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          FixTimes(child);
        } else {
          const DWORD attributes = found.dwFileAttributes;
          ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
          SetTimes(child, modified, accessed);
          ::SetFileAttributesA(child.c_str(), attributes);
        }
      } while (::FindNextFileA(search, &found));
      ::FindClose(search);
    }
    SetTimes(path, modified, accessed);
  }

  int Create(const std::string& source, const std::vector<std::string>& names, int kind, const std::string& archive,
             int securityMode = 3, int encrypt = 0) {
    const std::string list = NameList(names);
    return vskarCreateArcFileEx(source.c_str(), names.empty() ? nullptr : list.data(), static_cast<int>(names.size()),
                                kind, 0, archive.c_str(), securityMode, encrypt);
  }

  bk::test::ClientRegistry registry;
  bk::test::ClientInstall install{registry};
  bk::test::TempDir out;
  std::string top, topName;
};

// --- what is archived --------------------------------------------------------

TEST_F(ArCreate, TwoNamesBelowADriveGiveEachDirectoryOnTheirWayBeforeThem) {
  MakeDir(top + "\\dir");
  WriteFile(top + "\\dir\\a", "first");
  WriteFile(top + "\\dir\\b", "second");
  for (bool plain : {false, true}) {
    vskarUsePlainWayForTest(plain);
    const std::string archive = out / "BACKRSC";
    ASSERT_EQ(Create("C:", {topName + "\\dir\\a", topName + "\\dir\\b"}, 1, archive), 0) << plain;
    const Archive a = ReadArchive(archive);
    ASSERT_EQ(a.status, bk::ar::kArOk) << a.error;
    EXPECT_TRUE(a.encoded);
    EXPECT_EQ(a.drive, "C");
    EXPECT_EQ(a.base, "/");
    EXPECT_EQ(a.header.compKind, 'H');
    const std::string t = topName;
    EXPECT_EQ(a.Paths(), (std::vector<std::string>{t, t + "/dir", t + "/dir/a", t, t + "/dir", t + "/dir/b"}));
    EXPECT_TRUE(a.entries[1].header.IsDirectory());
    EXPECT_EQ(a.entries[1].header.fileSize, 0u);
    EXPECT_EQ(a.entries[2].content, "first");
    EXPECT_EQ(a.entries[5].content, "second");
    // "root" and "sys" enter the table once, with the first entry.
    EXPECT_EQ(a.entries[0].header.ownerNo, 4);
    EXPECT_EQ(a.entries[0].header.groupNo, 5);
    EXPECT_EQ(a.entries[5].header.ownerNo, 4);
    EXPECT_FALSE(Exists(archive + ".ecd"));
    EXPECT_EQ(vskarLastCreateStats().entries, 6u);
    EXPECT_EQ(vskarLastCreateStats().files, 2u);
    EXPECT_EQ(vskarLastCreateStats().contentBytes, 11u);
  }
}

TEST_F(ArCreate, OnADriveLetterTwoNamesGiveDirADirBAndTheRootIsEnumerated) {
  // T: is a folder of the build tree (see CMakeLists.txt).
  if (::GetFileAttributesA("T:\\") == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no drive T:";
  RemoveTree("T:\\dir");
  MakeDir("T:\\dir");
  WriteFile("T:\\dir\\a", "first");
  WriteFile("T:\\dir\\b", "second");
  for (bool plain : {false, true}) {
    vskarUsePlainWayForTest(plain);
    ASSERT_EQ(Create("T:", {"dir\\a", "dir\\b"}, 1, out / "BACKRSC"), 0);
    Archive a = ReadArchive(out / "BACKRSC");
    EXPECT_EQ(a.drive, "T");
    EXPECT_EQ(a.base, "/");
    EXPECT_EQ(a.Paths(), (std::vector<std::string>{"dir", "dir/a", "dir", "dir/b"}));
    EXPECT_EQ(a.entries[3].content, "second");
    // Without a list the drive's root entries are the names; the drive name
    // recorded is empty (it is taken before the base becomes the drive).
    ASSERT_EQ(Create("T:", {}, 1, out / "BACKRSC"), 0);
    a = ReadArchive(out / "BACKRSC");
    EXPECT_EQ(a.drive, "");
    EXPECT_EQ(a.base, "/");
    std::vector<std::string> paths = a.Paths();
    std::sort(paths.begin() + 1, paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"dir", "dir/a", "dir/b"}));
  }
  RemoveTree("T:\\dir");
  ASSERT_EQ(Create("T:", {}, 1, out / "BACKRSC"), 6);
  EXPECT_TRUE(Logged("NO File:ON arCreateArcFile:T:"));
}

TEST_F(ArCreate, ADirectoryBringsItsWholeTreeEachDirectoryBeforeItsContents) {
  MakeRichTree(top + "\\app");
  const std::string archive = out / "BACKRSC";
  ASSERT_EQ(Create(top, {"app"}, 1, archive), 0);
  const Archive a = ReadArchive(archive);
  ASSERT_EQ(a.status, bk::ar::kArOk) << a.error;
  EXPECT_EQ(a.drive, "C");
  EXPECT_EQ(a.base, topName);
  std::set<std::string> seen;
  for (const Entry& e : a.entries) {
    const std::size_t slash = e.path.rfind('/');
    if (slash != std::string::npos) {
      EXPECT_TRUE(seen.count(e.path.substr(0, slash))) << e.path;
    }
    EXPECT_TRUE(seen.insert(e.path).second) << "twice: " << e.path;
  }
  const std::set<std::string> expected = {"app", "app/sub", "app/sub/deeper", "app/sub/deeper/empty dir",
                                          "app/Long Directory Name", "app/empty.txt", "app/small.txt",
                                          "app/sub/block.bin", "app/sub/blocks.bin", "app/sub/deeper/piece.dat",
                                          "app/Long Directory Name/a rather long file name.text",
                                          "app/sub/hidden.sys", "app/sub/readonly.txt"};
  EXPECT_EQ(seen, expected);

  const Entry* empty = a.Find("app/empty.txt");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->header.fileSize, 0u);
  EXPECT_EQ(empty->header.dataSize, 0u);
  EXPECT_TRUE(empty->header.fileKind & bk::ar::kKindRegular);
  EXPECT_EQ(a.Find("app/sub/blocks.bin")->content, Content(3 * 32767 + 1, 2));
  EXPECT_EQ(a.Find("app/sub/deeper/piece.dat")->content, Content(600000, 3));
  EXPECT_EQ(a.Find("app/sub/hidden.sys")->header.fileKind & 7, bk::ar::kKindRegular | bk::ar::kKindSystem | bk::ar::kKindHidden);
  EXPECT_EQ(a.Find("app/sub/readonly.txt")->header.fileKind & 9, bk::ar::kKindRegular | bk::ar::kKindReadOnly);
  EXPECT_EQ(a.Find("app/sub/deeper/empty dir")->header.fileKind & bk::ar::kKindRegular, 0);
  EXPECT_EQ(a.Find("app/sub")->header.mDate, 0x20200701u);
  EXPECT_EQ(a.entries.front().header.fileMode, 7);
}

TEST_F(ArCreate, ADirectorysEntriesComeInTheOrderOfItsSearchEachOnce) {
  // Many children, some of them directories with contents of their own: the
  // listing is read once and archived in its order, nothing lost or doubled.
  MakeDir(top + "\\many");
  for (int i = 0; i < 300; ++i) {
    const std::string name = top + "\\many\\n" + std::to_string(i * 7919 % 1000);
    if (i % 25 == 0) {
      MakeDir(name);
      WriteFile(name + "\\inside", "x");
    } else {
      WriteFile(name, std::to_string(i));
    }
  }
  std::vector<std::string> listed;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA((top + "\\many\\*.*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    listed.push_back("many/" + name);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) listed.push_back("many/" + name + "/inside");
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);

  for (bool plain : {false, true}) {
    vskarUsePlainWayForTest(plain);
    const std::string archive = out / "BACKRSC";
    ASSERT_EQ(Create(top, {"many"}, 1, archive), 0);
    std::vector<std::string> paths = ReadArchive(archive).Paths();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths.front(), "many");
    paths.erase(paths.begin());
    EXPECT_EQ(paths, listed) << "plain way " << plain;
  }
}

TEST_F(ArCreate, ReparsePointsAreLeftOut) {
  MakeDir(top + "\\tree");
  MakeDir(top + "\\tree\\link");
  WriteFile(top + "\\tree\\link\\target file", "not ours");
  WriteFile(top + "\\tree\\kept", "kept");
  vskarMarkSearchEntryForTest("link", FILE_ATTRIBUTE_REPARSE_POINT);
  for (bool plain : {false, true}) {
    vskarUsePlainWayForTest(plain);
    ASSERT_EQ(Create(top, {"tree"}, 1, out / "BACKRSC"), 0);
    EXPECT_EQ(ReadArchive(out / "BACKRSC").Paths(), (std::vector<std::string>{"tree", "tree/kept"}));
  }
}

TEST_F(ArCreate, ASingleSourceIsArchivedBelowItsParent) {
  MakeDir(top + "\\one");
  WriteFile(top + "\\one\\file.txt", "single");
  ASSERT_EQ(Create(top + "\\one\\file.txt", {}, 1, out / "BACKRSC"), 0);
  const Archive a = ReadArchive(out / "BACKRSC");
  EXPECT_EQ(a.base, topName + "/one");
  EXPECT_EQ(a.Paths(), std::vector<std::string>{"file.txt"});
}

TEST_F(ArCreate, ShortNamesEnterTheTableOnceAndAreReusedByIndex) {
  MakeDir(top + "\\first");
  MakeDir(top + "\\second");
  WriteFile(top + "\\first\\a long name for a file.text", "1");
  WriteFile(top + "\\second\\a long name for a file.text", "2");
  for (bool plain : {false, true}) {
    vskarUsePlainWayForTest(plain);
    ASSERT_EQ(Create(top, {"first", "second"}, 1, out / "BACKRSC"), 0);
    const Archive a = ReadArchive(out / "BACKRSC");
    const Entry* one = a.Find("first/a long name for a file.text");
    const Entry* two = a.Find("second/a long name for a file.text");
    ASSERT_TRUE(one && two);
    ASSERT_FALSE(one->shortName.empty()) << "Wine gives long names a short name";
    EXPECT_NE(one->shortName, "a long name for a file.text");
    EXPECT_EQ(one->header.shortNo, two->header.shortNo);
    // drive, base, 4 paths, one short name, root, sys
    EXPECT_EQ(a.header.nameCount, 9);
  }
}

TEST_F(ArCreate, SecurityModesAttachTheDescriptorOfEachEntry) {
  MakeDir(top + "\\s");
  WriteFile(top + "\\s\\f", "x");
  ASSERT_EQ(Create(top, {"s"}, 1, out / "BACKRSC", 2), 0);
  const Archive a = ReadArchive(out / "BACKRSC");
  ASSERT_EQ(a.entries.size(), 2u);
  for (const Entry& e : a.entries) EXPECT_TRUE(e.hasSecurity) << e.path;
  ASSERT_EQ(Create(top, {"s"}, 1, out / "BACKRSC", 3), 0);
  for (const Entry& e : ReadArchive(out / "BACKRSC").entries) EXPECT_FALSE(e.hasSecurity) << e.path;
}

// --- kinds and the work copy -------------------------------------------------

TEST_F(ArCreate, KindsAndTheEncryptionFlagDecideTheWrapping) {
  MakeDir(top + "\\k");
  WriteFile(top + "\\k\\f", Content(70000, 9));
  struct Case {
    int kind, encrypt;
    bool encoded;
    int encodedKind;
    char compKind;
  } cases[] = {{0, 0, false, -1, 'N'}, {0, 1, true, 0, 'N'}, {1, 0, true, 1, 'H'}, {1, 1, true, 1, 'H'},
               {5, 0, true, 5, 'Z'}};
  for (const Case& c : cases) {
    const std::string archive = out / "RES.ARC";
    WriteFile(archive + ".ecd", "left over");
    ASSERT_EQ(Create(top, {"k"}, c.kind, archive, 3, c.encrypt), 0) << c.kind << "/" << c.encrypt;
    const Archive a = ReadArchive(archive);
    EXPECT_EQ(a.encoded, c.encoded) << c.kind;
    EXPECT_EQ(a.encodedKind, c.encodedKind) << c.kind;
    EXPECT_EQ(a.header.compKind, c.compKind);
    ASSERT_EQ(a.status, bk::ar::kArOk) << a.error;
    EXPECT_EQ(a.Find("k/f")->content, Content(70000, 9));
    // Kind 0 without encryption never touches the work copy; every other way
    // leaves none.
    EXPECT_EQ(Exists(archive + ".ecd"), c.kind == 0 && c.encrypt == 0) << c.kind << "/" << c.encrypt;
  }
}

TEST_F(ArCreate, TheStreamedWayWritesTheSameFileAsTheStepByStepWay) {
  MakeRichTree(top + "\\app");
  for (int securityMode : {3, 2}) {
    const std::string streamed = out / "STREAMED", plain = out / "PLAIN";
    vskarUsePlainWayForTest(true);
    ASSERT_EQ(Create(top, {"app\\sub\\deeper", "app", "app\\small.txt"}, 1, plain, securityMode), 0);
    const bk::ar::ArchiveSums plainSums = vskarLastCreateSums();
    vskarUsePlainWayForTest(false);
    ASSERT_EQ(Create(top, {"app\\sub\\deeper", "app", "app\\small.txt"}, 1, streamed, securityMode), 0);
    const bk::ar::ArchiveSums streamedSums = vskarLastCreateSums();
    const std::string s = ReadFile(streamed), p = ReadFile(plain);
    ASSERT_GT(s.size(), 16u);
    EXPECT_EQ(s.size(), p.size());
    EXPECT_TRUE(s.substr(16) == p.substr(16)) << "security mode " << securityMode;
    EXPECT_EQ(ReadArchive(streamed).entries.size(), 5u + 13u + 2u);
    // Both ways tally the same content checksums while they write, and the
    // archive check finds them in what it decodes.
    EXPECT_TRUE(streamedSums.hasArchive);
    EXPECT_EQ(streamedSums.entryCrcs.size(), 5u + 13u + 2u);
    EXPECT_EQ(streamedSums, plainSums);
    VskArVerifyReport report;
    EXPECT_EQ(vskarCheckArchive(streamed.c_str(), &streamedSums, nullptr, nullptr, &report), 0) << report.firstDefect;
  }
  // The other kinds take the step by step way; their sums are those of the
  // same plain archive. A creation that fails leaves none.
  for (int kind : {0, 5}) {
    const std::string archive = out / ("KIND" + std::to_string(kind));
    ASSERT_EQ(Create(top, {"app"}, kind, archive), 0);
    const bk::ar::ArchiveSums sums = vskarLastCreateSums();
    VskArVerifyReport report;
    EXPECT_EQ(vskarCheckArchive(archive.c_str(), &sums, nullptr, nullptr, &report), 0) << kind << report.firstDefect;
  }
  ASSERT_NE(Create(top, {"no such name"}, 1, out / "FAILED"), 0);
  EXPECT_FALSE(vskarLastCreateSums().hasArchive);
}

TEST_F(ArCreate, ReadingAheadOnASecondThreadWritesTheSameBytesAsOneThread) {
  // Files at and around the 256 KiB piece and the encoder's block bounds,
  // and more content than the pieces read ahead hold, so that the reader
  // waits for the encoder.
  MakeRichTree(top + "\\app");
  MakeDir(top + "\\app\\bounds");
  const std::size_t kPiece = 256 * 1024;
  const std::size_t sizes[] = {1, 65535, 65536, 65537, kPiece - 1, kPiece, kPiece + 1, 2 * kPiece, 5 * kPiece + 3};
  unsigned seed = 40;
  for (std::size_t size : sizes)
    WriteFile(top + "\\app\\bounds\\f" + std::to_string(size), Content(size, seed++));
  const std::vector<std::string> names = {"app\\sub", "app", "app\\bounds\\f1"};
  struct Way {
    std::string bytes;
    bk::ar::ArchiveSums sums;
    VskArCreateStats stats;
  } ways[2];
  for (int oneThread : {0, 1}) {
    vskarUseOneThreadStreamForTest(oneThread == 1);
    const std::string archive = out / ("WAY" + std::to_string(oneThread));
    ASSERT_EQ(Create(top, names, 1, archive), 0);
    ways[oneThread] = {ReadFile(archive), vskarLastCreateSums(), vskarLastCreateStats()};
  }
  vskarUseOneThreadStreamForTest(false);
  ASSERT_GT(ways[0].bytes.size(), 16u);
  EXPECT_TRUE(ways[0].bytes == ways[1].bytes);
  EXPECT_EQ(ways[0].sums, ways[1].sums);
  EXPECT_EQ(ways[0].stats.files, ways[1].stats.files);
  EXPECT_EQ(ways[0].stats.contentBytes, ways[1].stats.contentBytes);
  EXPECT_GT(ways[0].stats.contentBytes, 10 * kPiece);

  // Every failed read ends both ways with the same result and log lines.
  bk::io::ArmFaultForTest(bk::io::IoKind::kRead, 0);
  ASSERT_EQ(Create(top, names, 1, out / "COUNT"), 0);
  const long reads = bk::io::CountForTest(bk::io::IoKind::kRead);
  ASSERT_GT(reads, 20);
  for (long n = 1; n <= reads; n += (n < 8 || n > reads - 4) ? 1 : 5) {
    int results[2];
    std::vector<std::string> lines[2];
    for (int oneThread : {0, 1}) {
      vskarUseOneThreadStreamForTest(oneThread == 1);
      bk::io::ArmFaultForTest(bk::io::IoKind::kRead, n);
      const std::size_t before = LineCount();
      results[oneThread] = Create(top, names, 1, out / "FAULT");
      const std::vector<std::string> all = Lines();
      lines[oneThread].assign(all.begin() + static_cast<long>(before), all.end());
      EXPECT_FALSE(vskarLastCreateSums().hasArchive) << n;
    }
    vskarUseOneThreadStreamForTest(false);
    EXPECT_NE(results[0], 0) << "read " << n;
    EXPECT_EQ(results[0], results[1]) << "read " << n;
    EXPECT_EQ(lines[0], lines[1]) << "read " << n;
  }
  bk::io::ArmFaultForTest(bk::io::IoKind::kRead, 0);
}

// --- progress ------------------------------------------------------------------

TEST_F(ArCreate, AnArchiveNamedRAndSevenCharactersShowsPackagingProgress) {
  vskarSetGaugeForTest([](std::uint16_t kind, std::uint16_t range) { GaugeCalls().push_back({true, kind, range}); },
                       [](std::uint16_t kind, std::uint16_t value) { GaugeCalls().push_back({false, kind, value}); });
  for (int i = 0; i < 4; ++i) WriteFile(top + "\\f" + std::to_string(i), "x");
  for (bool plain : {false, true}) {
    vskarUsePlainWayForTest(plain);
    GaugeCalls().clear();
    ASSERT_EQ(Create(top, {"f0", "f1", "f2", "f3"}, 1, out / "R1234567.ARC"), 0);
    EXPECT_EQ(GaugeCalls(), (std::vector<GaugeCall>{{true, 4, 100}, {false, 4, 10}, {false, 4, 10}, {false, 4, 20},
                                                     {false, 4, 27}, {false, 4, 35}, {false, 4, 42}, {false, 4, 50},
                                                     {false, 4, 50}}));
  }
  GaugeCalls().clear();
  ASSERT_EQ(Create(top, {"f0"}, 1, out / "BACKRSC"), 0);
  ASSERT_EQ(Create(top, {"f0"}, 1, out / "R123456.ARC"), 0);
  ASSERT_EQ(Create(top, {"f0"}, 1, out / "X1234567"), 0);
  EXPECT_TRUE(GaugeCalls().empty());
}

// --- failures --------------------------------------------------------------------

TEST_F(ArCreate, AMissingSourceOrAnArchiveThatCannotBeCreated) {
  EXPECT_EQ(Create(top + "\\missing", {}, 1, out / "BACKRSC"), 1);
  EXPECT_TRUE(Logged("GetFileAttributes:WDPATH_ERROR:ON_ArcFile " + top + "\\missing"));
  EXPECT_TRUE(Logged("Archive process failure:" + top + "\\missing 1"));
  WriteFile(top + "\\f", "x");
  for (bool plain : {false, true}) {
    vskarUsePlainWayForTest(plain);
    EXPECT_EQ(Create(top, {"f"}, 1, out / "no such dir\\BACKRSC"), 3);
    EXPECT_TRUE(Logged("CreateFile_ERROR:ON_ArcFile " + (out / "no such dir\\BACKRSC")));
  }
  // A listed name that does not exist fails its status.
  EXPECT_EQ(Create(top, {"nothing"}, 1, out / "BACKRSC"), 6);
  EXPECT_TRUE(Logged("stat_ERROR:ON arMakeMatchTable " + top + "\\nothing"));
  EXPECT_TRUE(Logged("arArcFiles_ERROR:ON_vskcarCreateArcFile " + top + "\\nothing"));
}

TEST_F(ArCreate, AModificationTimeBefore1970IsInvalid) {
  MakeDir(top + "\\t");
  MakeDir(top + "\\t\\inner");
  WriteFile(top + "\\t\\inner\\old", "old");
  SetTimes(top + "\\t\\inner\\old", FileTimeOf(-86400 * 3650), FileTimeOf(1593580000));
  ASSERT_EQ(Create(top, {"t"}, 1, out / "BACKRSC"), 25);
  const std::vector<std::string> lines = Lines();
  const std::string old = top + "\\t\\inner\\old";
  const std::vector<std::string> expected = {
      old + " is invalid file.(last update time)",
      "vskcArGetFileAttributes_ERROR:ON_arCreateArcFile:" + old + " 25",
      "arArcFiles_ERROR:ON arCreateArcFile:" + old,
      "arArcFiles_ERROR:ON arCreateArcFile:" + top + "\\t\\inner",
      "arArcFiles_ERROR:ON_vskcarCreateArcFile " + top + "\\t",
      "Archive process failure:" + top + " 25"};
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.end() - expected.size(), lines.end()), expected);
}

TEST_F(ArCreate, MoreThan65535NamesFailWithResult26BeforeAnythingIsWritten) {
  // 255 files below one directory, listed many times: each listing brings
  // 256 entries and as many names.
  MakeDir(top + "\\D");
  for (int i = 0; i < 255; ++i) WriteFile(top + "\\D\\F" + std::to_string(i), "");
  std::vector<std::string> names(255, "D");
  ASSERT_EQ(Create(top, names, 1, out / "BACKRSC"), 0);
  const Archive a = ReadArchive(out / "BACKRSC");
  ASSERT_EQ(a.status, bk::ar::kArOk);
  EXPECT_EQ(a.entries.size(), 255u * 256u);
  EXPECT_EQ(a.header.nameCount, 255u * 256u + 4u);
  names.push_back("D");
  EXPECT_EQ(Create(top, names, 1, out / "BACKRSC"), 26);
  EXPECT_TRUE(Logged("arMakeMatchTable_ERROR: more than 65535 names in the archive at " + top + "\\D\\F"));
  EXPECT_TRUE(Logged("Archive process failure:" + top + " 26"));
  EXPECT_LT(ReadFile(out / "BACKRSC").size(), 29u) << "nothing written";
}

TEST_F(ArCreate, AFileOrAnArchiveOf4GiBFailsWithResult27) {
  MakeDir(top + "\\big");
  MakeSparse(top + "\\big\\huge", 0x100000000ull);
  for (bool plain : {false, true}) {
    vskarUsePlainWayForTest(plain);
    EXPECT_EQ(Create(top, {"big"}, 1, out / "BACKRSC"), 27);
    EXPECT_TRUE(Logged(top + "\\big\\huge is too large for the archive (4 GiB or more)"));
  }
  // Two files just below 4 GiB each: the archive would pass it; the plan
  // finds that before a byte of content is read.
  ::DeleteFileA((top + "\\big\\huge").c_str());
  MakeSparse(top + "\\big\\half1", 0x80000000ull);
  MakeSparse(top + "\\big\\half2", 0x80000000ull);
  vskarUsePlainWayForTest(false);
  bk::io::ArmFaultForTest(bk::io::IoKind::kRead, 0);
  EXPECT_EQ(Create(top, {"big"}, 1, out / "BACKRSC"), 27);
  EXPECT_TRUE(Logged("The archive would reach 4 GiB at " + top + "\\big\\half"));
  EXPECT_EQ(bk::io::CountForTest(bk::io::IoKind::kRead), 0);
}

// --- faults --------------------------------------------------------------------

TEST_F(ArCreate, AFailedReadGivesTheResultOfItsPiece) {
  MakeDir(top + "\\r");
  WriteFile(top + "\\r\\large", Content(600000, 5));  // pieces at 0, 256 KiB, 512 KiB
  WriteFile(top + "\\r\\small", Content(1000, 6));
  struct Case {
    const char* name;
    long n;
    int result;
    const char* line;
  } cases[] = {{"large", 1, 4, "ReadFile_ERROR:ON arCreateArcFile:"},
               {"large", 3, 4, "ReadFile_ERROR:ON arCreateArcFile:"},
               {"small", 1, 6, "ReadFile_size_ERROR:ON arCreateArcFile:"}};
  for (bool plain : {false, true}) {
    vskarUsePlainWayForTest(plain);
    for (const Case& c : cases) {
      bk::io::ArmFaultForTest(bk::io::IoKind::kRead, c.n);
      const std::size_t before = LineCount();
      EXPECT_EQ(Create(top + "\\r\\" + c.name, {}, 1, out / "BACKRSC"), c.result) << c.name << " " << c.n;
      EXPECT_TRUE(Logged(std::string(c.line) + top + "\\r\\" + c.name)) << c.name;
      EXPECT_GT(LineCount(), before);
    }
  }
}

TEST_F(ArCreate, EveryFailedWriteFailsTheCreation) {
  MakeRichTree(top + "\\app");
  for (bool plain : {false, true}) {
    vskarUsePlainWayForTest(plain);
    bk::io::ArmFaultForTest(bk::io::IoKind::kWrite, 0);
    ASSERT_EQ(Create(top, {"app"}, 1, out / "BACKRSC"), 0);
    const long writes = bk::io::CountForTest(bk::io::IoKind::kWrite);
    ASSERT_GT(writes, 1);
    std::set<int> results;
    for (long n = 1; n <= writes; ++n) {
      bk::io::ArmFaultForTest(bk::io::IoKind::kWrite, n);
      const int rc = Create(top, {"app"}, 1, out / "BACKRSC");
      results.insert(rc);
      EXPECT_TRUE(rc == 3 || rc == kEcdIoError) << "write " << n << " of " << writes << " gave " << rc;
      EXPECT_FALSE(Exists(out / "BACKRSC.ecd") && rc == kEcdIoError);
      EXPECT_NE(ReadArchive(out / "BACKRSC").status, bk::ar::kArOk) << "write " << n << " left a readable archive";
    }
    EXPECT_TRUE(results.count(3)) << plain;
    EXPECT_TRUE(results.count(kEcdIoError)) << plain;
  }
}

}  // namespace
