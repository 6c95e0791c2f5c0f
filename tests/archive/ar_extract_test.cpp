// Extraction of resource archives under Wine: round trips checked against
// the portable reader's listing (content, attributes, times of files and
// directories), the replace steps, the base directories, encoded archives,
// progress, legacy archives, hostile and damaged archives, the archive check
// and failed reads and writes.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/ar_extract.h"
#include "archive/acl_data.h"
#include "archive/ar_reader.h"
#include "common/io_faults.h"
#include "platform/unique_handle.h"
#include "extract_fixture.h"

namespace {

using namespace bk::test;
using bk::ar::ArEntry;
using bk::ar::ArMemorySource;
using bk::ar::ArReader;

std::int64_t UnixOf(const FILETIME& t) {
  const std::uint64_t ticks = (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

// Modification and access time of a file or directory, seconds since 1970.
bool TimesOf(const std::string& path, std::int64_t* modified, std::int64_t* accessed) {
  bk::win::unique_any<bk::win::traits::File> f(::CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILETIME a, m;
  if (!f || !::GetFileTime(f.get(), nullptr, &a, &m)) return false;
  *modified = UnixOf(m);
  *accessed = UnixOf(a);
  return true;
}

// Every path below dir (relative, "\" separators), sorted.
void ListInto(const std::string& dir, const std::string& prefix, std::vector<std::string>& out) {
  WIN32_FIND_DATAA data;
  HANDLE h = ::FindFirstFileA((dir + "\\*").c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    out.push_back(prefix + name);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListInto(dir + "\\" + name, prefix + name + "\\", out);
  } while (::FindNextFileA(h, &data));
  ::FindClose(h);
}
std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> out;
  ListInto(dir, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

DWORD ExpectedAttributes(unsigned char kind) {
  if (kind == 1) return FILE_ATTRIBUTE_NORMAL;
  DWORD a = (kind & 1) ? 0 : FILE_ATTRIBUTE_DIRECTORY;
  if (kind & 2) a |= FILE_ATTRIBUTE_SYSTEM;
  if (kind & 4) a |= FILE_ATTRIBUTE_HIDDEN;
  if (kind & 8) a |= FILE_ATTRIBUTE_READONLY;
  if (kind & 16) a |= FILE_ATTRIBUTE_ARCHIVE;
  return a;
}

// Compares the tree below target with what the portable reader lists of the
// archive: the same paths and nothing else, content, attributes and times.
void ExpectTreeMatchesArchive(const Bytes& archive, const std::string& target) {
  ArMemorySource source(archive.data(), archive.size());
  ArReader reader(source);
  ASSERT_EQ(reader.Open(), bk::ar::kArOk);
  std::vector<std::string> expected;
  ArEntry entry;
  bool found = false;
  while (reader.Next(entry, found) == bk::ar::kArOk && found) {
    std::string rel = entry.path;
    std::replace(rel.begin(), rel.end(), '/', '\\');
    const std::string path = rel == "." ? target : target + "\\" + rel;
    if (rel != ".") expected.push_back(rel);
    std::string content;
    char buffer[70000];
    std::size_t got = 0;
    do {
      ASSERT_EQ(reader.ReadContent(buffer, sizeof buffer, got), bk::ar::kArOk);
      content.append(buffer, got);
    } while (got != 0);
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << path;
    EXPECT_EQ(attributes, AsReported(ExpectedAttributes(entry.header.fileKind))) << path;
    // Times before the content: reading moves the access time.
    std::int64_t m = 0, a = 0;
    ASSERT_TRUE(TimesOf(path, &m, &a)) << path;
    EXPECT_EQ(m, bk::ar::arCodesToTime(entry.header.mDate, entry.header.mTime)) << path;
    EXPECT_EQ(a, bk::ar::arCodesToTime(entry.header.aDate, entry.header.aTime)) << path;
    if (!entry.header.IsDirectory()) {
      EXPECT_EQ(ReadFile(path), content) << path;
    }
  }
  ASSERT_EQ(reader.Status(), bk::ar::kArOk);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(List(target), expected);
}

std::string Random(std::size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(g() % 7 == 0 ? g() : 'a' + g() % 4);
  return s;
}

// A tree with nested and empty directories, empty and large files (more than
// one piece) and every attribute.
std::vector<Item> SampleTree() {
  std::vector<Item> items;
  auto dir = [&](const std::string& path, unsigned char kind = 0, std::time_t t = 1300000000) {
    Item i;
    i.path = path;
    i.directory = true;
    i.kind = kind;
    i.modified = t;
    i.accessed = t + 50;
    items.push_back(i);
  };
  auto file = [&](const std::string& path, const std::string& content, unsigned char kind = 0,
                  std::time_t t = 1278000000) {
    Item i;
    i.path = path;
    i.content = content;
    i.kind = kind;
    i.modified = t;
    i.accessed = t + 3600;
    items.push_back(i);
  };
  dir(".", 0, 1290000000);
  dir("app", 16, 1291000000);
  file("app/readme.txt", "hello\r\n", 1 | 16);
  file("app/empty.dat", "");
  file("app/big.bin", Random(600 * 1024 + 17, 1), 1, 1200000000);
  file("app/hidden.ini", "h=1", 1 | 4);
  file("app/system.sys", "s", 1 | 2 | 16);
  file("app/readonly.cfg", "ro", 1 | 8);
  file("app/all.txt", "all", 1 | 2 | 4 | 8 | 16);
  dir("app/empty dir", 0, 1292000000);
  dir("app/nested");
  dir("app/nested/deeper", 4, 1293000000);
  file("app/nested/deeper/leaf.txt", Random(4096, 2), 1, 1294000000);
  dir("app/ro dir", 8, 1295000000);
  file("app/ro dir/inside.txt", "inside");
  return items;
}

class Extract : public ExtractTest {
 public:
  std::string target() const { return work / "target"; }
  std::string Save(const Bytes& archive, const std::string& name = "BACKRSC.plain") {
    const std::string path = work / name;
    WriteBytes(path, archive);
    return path;
  }
  std::string SaveEncoded(const Bytes& archive, const std::string& name = "BACKRSC", int kind = kEcdKindControl) {
    const std::string plain = Save(archive, name + ".src");
    const std::string encoded = work / name;
    Encode(plain, encoded, kind);
    ::DeleteFileA(plain.c_str());
    return encoded;
  }
};

// --- round trips -------------------------------------------------------------------------

TEST_F(Extract, RoundTripsMatchTheReaderListing) {
  const Bytes archive = BuildArchive(SampleTree());
  struct Way {
    const char* name;
    std::function<int(Extract&, const std::string&)> run;
  };
  const std::vector<Way> ways = {
      {"plain, vskarCreateUnarcNewFile",
       [&](Extract& t, const std::string& to) { return vskarCreateUnarcNewFile(t.Save(archive).c_str(), to.c_str(), 1); }},
      {"plain, vskarMain",
       [&](Extract& t, const std::string& to) { return vskarMain(t.Save(archive).c_str(), to.c_str(), 1); }},
      {"control codec, vskarMain",
       [&](Extract& t, const std::string& to) { return vskarMain(t.SaveEncoded(archive).c_str(), to.c_str(), 1); }},
      {"control codec, vskarRestoreArchive",
       [&](Extract& t, const std::string& to) {
         return vskarRestoreArchive(t.SaveEncoded(archive).c_str(), to.c_str());
       }},
      {"zlib, vskarRestoreArchive",
       [&](Extract& t, const std::string& to) {
         return vskarRestoreArchive(t.SaveEncoded(archive, "BACKRSC", kEcdKindZlib).c_str(), to.c_str());
       }},
      {"Windows XP calls, vskarRestoreArchive",
       [&](Extract& t, const std::string& to) {
         vskarUseXpFileCallsForTest(true);
         const int rc = vskarRestoreArchive(t.SaveEncoded(archive).c_str(), to.c_str());
         vskarUseXpFileCallsForTest(false);
         return rc;
       }},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    RemoveTree(target());
    ASSERT_EQ(way.run(*this, target()), 0) << Dump();
    ExpectTreeMatchesArchive(archive, target());
    // Over the tree just written (every file replaced, read-only ones too).
    ASSERT_EQ(way.run(*this, target()), 0) << Dump();
    ExpectTreeMatchesArchive(archive, target());
  }
}

// More files than the closer holds at once and more content than the
// decoding runs ahead, so that each thread waits for the other.
std::vector<Item> ManyFilesTree(int files = 40) {
  std::vector<Item> items = SampleTree();
  Item dir;
  dir.path = "many";
  dir.directory = true;
  items.push_back(dir);
  for (int i = 0; i < files; ++i) {
    Item f;
    f.path = "many/f" + std::to_string(i);
    f.content = Random(static_cast<std::size_t>(i) * 7919 % 90000, 100 + i);
    f.kind = static_cast<unsigned char>(i % 3 == 0 ? 1 | 8 : i % 3 == 1 ? 1 | 4 | 16 : 1);
    f.modified = 1278000000 + i * 61;
    items.push_back(f);
  }
  return items;
}

TEST_F(Extract, TheClosingThreadAndTheDecodingThreadWriteWhatOneThreadWrites) {
  const Bytes archive = BuildArchive(ManyFilesTree());
  const std::string encoded = SaveEncoded(archive);
  std::vector<std::string> lines[2];
  for (int oneThread : {0, 1}) {
    SCOPED_TRACE(oneThread ? "one thread" : "two threads");
    vskarUseOneThreadForTest(oneThread == 1);
    RemoveTree(target());
    ::DeleteFileA(install.Log("CLIENT.LOG").c_str());
    ASSERT_EQ(vskarRestoreArchive(encoded.c_str(), target().c_str()), 0) << Dump();
    ExpectTreeMatchesArchive(archive, target());
    // Over the tree just written: every file replaced in place.
    ASSERT_EQ(vskarRestoreArchive(encoded.c_str(), target().c_str()), 0) << Dump();
    ExpectTreeMatchesArchive(archive, target());
    lines[oneThread] = Lines();
  }
  vskarUseOneThreadForTest(false);
  ASSERT_FALSE(lines[0].empty());
  EXPECT_EQ(lines[0], lines[1]);
}

TEST_F(Extract, AFailedFlushOnTheClosingThreadFailsTheRestoreWithItsLines) {
  const Bytes archive = BuildArchive(ManyFilesTree(8));
  const std::string encoded = SaveEncoded(archive);
  bk::io::ArmFaultForTest(bk::io::IoKind::kWrite, 0);
  ASSERT_EQ(vskarRestoreArchive(encoded.c_str(), target().c_str()), 0);
  const long writes = bk::io::CountForTest(bk::io::IoKind::kWrite);
  int flushes = 0;
  for (long n = 1; n <= writes; ++n) {
    SCOPED_TRACE("write " + std::to_string(n));
    std::string firstFailure[2];
    for (int oneThread : {0, 1}) {
      vskarUseOneThreadForTest(oneThread == 1);
      RemoveTree(target());
      ::DeleteFileA(install.Log("CLIENT.LOG").c_str());
      bk::io::ArmFaultForTest(bk::io::IoKind::kWrite, n);
      EXPECT_EQ(vskarRestoreArchive(encoded.c_str(), target().c_str()), -1);
      bk::io::ArmFaultForTest(bk::io::IoKind::kWrite, 0);
      for (const std::string& line : Lines())
        if (firstFailure[oneThread].empty() && line.find("ERROR") != std::string::npos) firstFailure[oneThread] = line;
    }
    vskarUseOneThreadForTest(false);
    EXPECT_FALSE(firstFailure[0].empty());
    EXPECT_EQ(firstFailure[0], firstFailure[1]);
    if (firstFailure[0].find("CloseHandle_ERROR:ON Unarc:File = ") != std::string::npos) ++flushes;
  }
  // Every file's flush was among the writes refused.
  EXPECT_EQ(flushes, 8 + 9);
  // Nothing stays open: the tree can be removed.
  RemoveTree(target());
  EXPECT_EQ(::GetFileAttributesA(target().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Extract, WithoutATargetTheArchivesBaseIsUsed) {
  // The base path name of an archive made below work\base.
  const std::string base = work / "base";
  std::string basePath = base.substr(3);
  std::replace(basePath.begin(), basePath.end(), '\\', '/');
  const Bytes archive = BuildArchive(SampleTree(), base.substr(0, 1), basePath);
  ASSERT_EQ(vskarRestoreArchive(SaveEncoded(archive).c_str(), nullptr), 0) << Dump();
  ExpectTreeMatchesArchive(archive, base);
}

// --- the replace steps -------------------------------------------------------------------

TEST_F(Extract, AReadOnlyFileIsReplacedAndItsAttributesSetAtTheEnd) {
  MakeDir(target());
  const std::string path = target() + "\\locked.cfg";
  WriteFile(path, "the old content, longer than the new");
  ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  Item item;
  item.path = "locked.cfg";
  item.content = "new";
  item.kind = 1 | 8 | 16;
  ASSERT_EQ(vskarCreateUnarcNewFile(Save(BuildArchive({item})).c_str(), target().c_str(), 1), 0) << Dump();
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(::GetFileAttributesA(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  std::int64_t m = 0, a = 0;
  ASSERT_TRUE(TimesOf(path, &m, &a));
  EXPECT_EQ(m, item.modified);
  EXPECT_TRUE(Waits().empty());
}

// A file in the way is written over in place; what it held past the entry's
// content must not survive, whichever call tells its size, and its old
// attributes give way to the entry's.
TEST_F(Extract, APlainFileWrittenOverInPlaceEndsWithTheEntrysContent) {
  struct Case {
    const char* old;
    const char* saved;
    DWORD oldAttributes;
  };
  constexpr DWORD kReadOnly = FILE_ATTRIBUTE_READONLY, kHidden = FILE_ATTRIBUTE_HIDDEN;
  const Case cases[] = {{"the old content, longer than the saved one", "saved", 0},
                        {"old", "the saved content, longer than the old one", 0},
                        {"same size 1", "same size 2", 0},
                        {"", "was empty", 0},
                        {"becomes empty", "", 0},
                        {"read-only, longer than the saved one", "saved", kReadOnly},
                        {"hidden", "saved, longer than the old one", kHidden},
                        {"read-only, hidden, system", "saved", kReadOnly | kHidden | FILE_ATTRIBUTE_SYSTEM}};
  for (const bool xp : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(xp ? "Windows XP calls, " : "") + "old \"" + c.old + "\"");
      RemoveTree(target());
      MakeDir(target());
      const std::string path = target() + "\\data.bin";
      WriteFile(path, c.old);
      if (c.oldAttributes != 0) {
        ASSERT_TRUE(::SetFileAttributesA(path.c_str(), c.oldAttributes));
      }
      Item item;
      item.path = "data.bin";
      item.content = c.saved;
      vskarUseXpFileCallsForTest(xp);
      const int rc = vskarRestoreArchive(SaveEncoded(BuildArchive({item})).c_str(), target().c_str());
      vskarUseXpFileCallsForTest(false);
      ASSERT_EQ(rc, 0) << Dump();
      EXPECT_EQ(ReadFile(path), c.saved);
      EXPECT_EQ(::GetFileAttributesA(path.c_str()) & (kReadOnly | kHidden | FILE_ATTRIBUTE_SYSTEM), 0u);
    }
  }
}

TEST_F(Extract, AHeldFileIsRetriedTenTimesASecondApartThenFails) {
  MakeDir(target());
  const std::string held = target() + "\\held.dll";
  WriteFile(held, "in use");
  bk::win::unique_any<bk::win::traits::File> holder(::CreateFileA(
      held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  Item first, second;
  first.path = "held.dll";
  first.content = "new";
  second.path = "after.txt";
  second.content = "never written";
  ASSERT_EQ(vskarCreateUnarcNewFile(Save(BuildArchive({first, second})).c_str(), target().c_str(), 1), -1);
  EXPECT_EQ(Waits(), std::vector<unsigned long>(10, 1000));
  EXPECT_TRUE(Logged("Can't delete " + held + " FarRemoveDirectry")) << Dump();
  EXPECT_TRUE(Logged("vskcuarLoopProsec_ERROR:ON arCreateUnarcFile"));
  EXPECT_FALSE(Exists(target() + "\\after.txt"));
  holder.reset();
  EXPECT_EQ(ReadFile(held), "in use");

  // Released, the same archive goes through without waiting.
  Waits().clear();
  ASSERT_EQ(vskarCreateUnarcNewFile(Save(BuildArchive({first, second})).c_str(), target().c_str(), 1), 0);
  EXPECT_TRUE(Waits().empty());
  EXPECT_EQ(ReadFile(held), "new");
}

TEST_F(Extract, AnEntryOfTheOtherKindInTheWayFails) {
  // A directory entry where a file is.
  MakeDir(target());
  WriteFile(target() + "\\sub", "a file");
  Item dir;
  dir.path = "sub";
  dir.directory = true;
  ASSERT_EQ(vskarCreateUnarcNewFile(Save(BuildArchive({dir})).c_str(), target().c_str(), 1), -1);
  EXPECT_TRUE(EventSeen("This File is not a Directory: FileAttributes=")) << Dump();
  EXPECT_TRUE(Logged("Not Directory(" + target() + "\\sub) in FarRemoveDirectry"));
  EXPECT_EQ(ReadFile(target() + "\\sub"), "a file");

  // A file entry where a directory is: it fails at once, no retry can help.
  MakeDir(target() + "\\folder");
  WriteFile(target() + "\\folder\\kept.txt", "kept");
  Item file;
  file.path = "folder";
  file.content = "x";
  ASSERT_EQ(vskarCreateUnarcNewFile(Save(BuildArchive({file})).c_str(), target().c_str(), 1), -1);
  EXPECT_TRUE(Waits().empty());
  EXPECT_TRUE(Logged("Can't delete " + target() + "\\folder FarRemoveDirectry"));
  EXPECT_EQ(ReadFile(target() + "\\folder\\kept.txt"), "kept");
}

// --- base directories -----------------------------------------------------------------------

TEST_F(Extract, ACallersTargetGetsItsMissingLevelsAndAMissingDriveFails) {
  Item item;
  item.path = "f.txt";
  item.content = "x";
  const std::string archive = Save(BuildArchive({item}));
  const std::string deep = work / "a\\b\\c";
  ASSERT_EQ(vskarCreateUnarcNewFile(archive.c_str(), deep.c_str(), 1), 0) << Dump();
  EXPECT_EQ(ReadFile(deep + "\\f.txt"), "x");

  // The same levels written with "/" are the same directories.
  std::string slashed = work / "a/b/c";
  ASSERT_EQ(vskarCreateUnarcNewFile(archive.c_str(), slashed.c_str(), 1), 0) << Dump();

  ASSERT_EQ(vskarCreateUnarcNewFile(archive.c_str(), "Q:\\no\\such", 1), -1);
  EXPECT_TRUE(Logged("GetFileAttributes:_ERROR:ON arCreateUnarcFile MAKEPATH: Q:\\")) << Dump();
  EXPECT_TRUE(Logged("arGetInfmation_ERROR:File = " + archive + ", Q:\\no\\such"));
}

TEST_F(Extract, ACommaInTheBaseSplitsItsLevels) {
  Item dot;
  dot.path = ".";
  dot.directory = true;
  const std::string base = work / "x,y";
  const int rc = vskarCreateUnarcNewFile(Save(BuildArchive({dot})).c_str(), base.c_str(), 1);
  // The levels made are x and x\y; the entry "." then makes "x,y" itself.
  EXPECT_TRUE(Exists(work / "x\\y"));
  EXPECT_EQ(rc, 0) << Dump();
  EXPECT_TRUE(Exists(base));
}

// --- encoded archives ------------------------------------------------------------------------

TEST_F(Extract, AnEncodedArchiveExtractedWithKeepStaysDecodedWithoutWorkCopy) {
  const Bytes archive = BuildArchive(SampleTree());
  const std::string encoded = SaveEncoded(archive);
  ASSERT_EQ(vskarMain(encoded.c_str(), target().c_str(), 1), 0) << Dump();
  EXPECT_EQ(ReadBytes(encoded), archive);
  EXPECT_FALSE(Exists(encoded + ".dcd"));

  // keep 0 deletes it after the extraction.
  const std::string second = SaveEncoded(archive, "BACKRSC2");
  ASSERT_EQ(vskarMain(second.c_str(), target().c_str(), 0), 0) << Dump();
  EXPECT_FALSE(Exists(second));
  EXPECT_FALSE(Exists(second + ".dcd"));
}

TEST_F(Extract, RestoreNeverChangesTheArchive) {
  const std::string encoded = SaveEncoded(BuildArchive(SampleTree()));
  const Bytes before = ReadBytes(encoded);
  ASSERT_EQ(vskarRestoreArchive(encoded.c_str(), target().c_str()), 0) << Dump();
  EXPECT_EQ(ReadBytes(encoded), before);
  EXPECT_FALSE(Exists(encoded + ".dcd"));
}

TEST_F(Extract, AFailedDecodingKeepsTheEncodedArchive) {
  const std::string encoded = SaveEncoded(BuildArchive(SampleTree()));
  Bytes damaged = ReadBytes(encoded);
  damaged.resize(damaged.size() - 100);  // the last block is cut
  WriteBytes(encoded, damaged);
  ASSERT_EQ(vskarMain(encoded.c_str(), target().c_str(), 0), -1);
  EXPECT_TRUE(Logged("vskEcdCtrlDecodeFile Error " + encoded)) << Dump();
  EXPECT_EQ(ReadBytes(encoded), damaged);
  EXPECT_FALSE(Exists(encoded + ".dcd"));
  EXPECT_FALSE(Exists(target()));  // decoded first, so nothing was written

  // The rename to the work copy fails while another program holds the file.
  const std::string held = SaveEncoded(BuildArchive(SampleTree()), "HELD");
  const Bytes heldBytes = ReadBytes(held);
  {
    bk::win::unique_any<bk::win::traits::File> holder(
        ::CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    ASSERT_EQ(vskarMain(held.c_str(), target().c_str(), 0), -1);
  }
  EXPECT_TRUE(Logged("MoveFile Error On vskarMain " + held)) << Dump();
  EXPECT_EQ(ReadBytes(held), heldBytes);
}

// --- progress --------------------------------------------------------------------------------

TEST_F(Extract, ProgressMovesInStepsOfFiveFromTwentyToSeventyFiveForRArchives) {
  std::vector<Item> items;
  for (int i = 0; i < 40; ++i) {
    Item item;
    item.path = "f" + std::to_string(i);
    item.content = std::string(1000, 'x');
    items.push_back(item);
  }
  const Bytes archive = BuildArchive(items);
  ASSERT_EQ(vskarCreateUnarcNewFile(Save(archive, "R0000001.arc").c_str(), target().c_str(), 1), 0);
  std::vector<int> expected;
  for (int p = 20; p <= 75; p += 5) expected.push_back(p);
  EXPECT_EQ(Gauge(), expected);

  for (const char* name : {"B0000001", "R000001", "R00000012", "r0000001"}) {
    Gauge().clear();
    ASSERT_EQ(vskarRestoreArchive(Save(archive, name).c_str(), target().c_str()), 0) << name;
    EXPECT_TRUE(Gauge().empty()) << name;
  }
  // An encoded archive shows it as well.
  Gauge().clear();
  ASSERT_EQ(vskarRestoreArchive(SaveEncoded(archive, "R0000002").c_str(), target().c_str()), 0);
  EXPECT_EQ(Gauge(), expected);
}

// --- security descriptors ----------------------------------------------------------------------

struct Applied {
  std::string path;
  DWORD attributesThen;
  std::int64_t modifiedThen;
};
std::vector<Applied> g_applied;

BOOL WINAPI RecordSecurity(LPCSTR path, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR) {
  std::int64_t m = 0, a = 0;
  TimesOf(path, &m, &a);
  g_applied.push_back({path, ::GetFileAttributesA(path), m});
  return TRUE;
}

TEST_F(Extract, ADescriptorGoesOnAfterTheContentAndBeforeTimesAndAttributes) {
  const std::string source = work / "source.txt";
  WriteFile(source, "x");
  unsigned char* payload = nullptr;
  std::uint32_t length = 0;
  vskarGetACLData(source.c_str(), &payload, &length);
  ASSERT_GT(length, 0u);
  const Bytes descriptor(payload, payload + length);
  vskarReleaseACLData(payload);

  Item guarded, plain, dir;
  guarded.path = "guarded.txt";
  guarded.content = "guarded";
  guarded.kind = 1 | 8;
  guarded.security = descriptor;
  plain.path = "plain.txt";
  plain.content = "plain";
  dir.path = "dir";
  dir.directory = true;
  dir.security = descriptor;
  g_applied.clear();
  vskarSetFileSecurityCall(RecordSecurity);
  const Bytes archive = BuildArchive({guarded, plain, dir});
  const int rc = vskarRestoreArchive(SaveEncoded(archive).c_str(), target().c_str());
  vskarSetFileSecurityCall(nullptr);
  ASSERT_EQ(rc, 0) << Dump();
  // Only the entries that carry one get it; the file had its content, and
  // neither its times nor its read-only attribute yet.
  ASSERT_EQ(g_applied.size(), 2u);
  EXPECT_EQ(g_applied[0].path, target() + "\\guarded.txt");
  EXPECT_EQ(g_applied[0].attributesThen & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_NE(g_applied[0].modifiedThen, guarded.modified);
  EXPECT_EQ(g_applied[1].path, target() + "\\dir");
  ExpectTreeMatchesArchive(archive, target());
}

}  // namespace
