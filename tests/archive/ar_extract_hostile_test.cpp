// Hostile and damaged archives: every one fails cleanly, writes nothing
// outside its target, and is rejected by the archive check beforehand; sound
// archives pass the check with their counts; failed reads and writes of an
// extraction end it with its failure result.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/ar_extract.h"
#include "common/io_faults.h"
#include "extract_fixture.h"

namespace {

using namespace bk::test;

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  WIN32_FIND_DATAA data;
  HANDLE h = ::FindFirstFileA((dir + "\\*").c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    const std::string name = data.cFileName;
    if (name != "." && name != "..") out.push_back(name);
  } while (::FindNextFileA(h, &data));
  ::FindClose(h);
  return out;
}

Item File(const std::string& path, const std::string& content = "evil") {
  Item i;
  i.path = path;
  i.content = content;
  return i;
}
Item Dir(const std::string& path) {
  Item i;
  i.path = path;
  i.directory = true;
  return i;
}

void PatchBe32(Bytes& a, std::size_t at, std::uint32_t v) { bk::StoreBe32(&a[at], v); }
void PatchBe16(Bytes& a, std::size_t at, std::uint16_t v) { bk::StoreBe16(&a[at], v); }

class Hostile : public ExtractTest {
 protected:
  // The target lies two levels down, so that a climbing name would land in
  // the levels above it, which hold nothing else.
  std::string outer() const { return work / "outer"; }
  std::string target() const { return work / "outer\\target"; }
};

struct HostileCase {
  const char* what;
  std::function<Bytes()> make;
  int result;  // of the current-layout extraction
};

std::vector<HostileCase> Cases() {
  const std::string longName(258, 'n');  // fits a name, not a path below any base
  return {
      {"a name with ..", [] { return BuildArchive({File("../evil")}); }, -1},
      {"a name climbing after a directory", [] { return BuildArchive({Dir("a"), File("a/../../evil")}); }, -1},
      {"a name climbing with backslashes", [] { return BuildArchive({File("a\\..\\..\\evil")}); }, -1},
      {"dots that Windows turns into ..", [] { return BuildArchive({File(".../evil")}); }, -1},
      {"dots and a blank", [] { return BuildArchive({File(". ./evil")}); }, -1},
      {"an absolute name", [] { return BuildArchive({File("/evil")}); }, -1},
      {"an absolute name with backslash", [] { return BuildArchive({File("\\evil")}); }, -1},
      {"a UNC name", [] { return BuildArchive({File("\\\\server\\share\\evil")}); }, -1},
      {"a drive inside the name", [] { return BuildArchive({File("C:evil")}); }, -1},
      {"a drive path as name", [] { return BuildArchive({File("C:/evil")}); }, -1},
      {"a stream name", [] { return BuildArchive({File("x.txt:evil")}); }, -1},
      {"a directory climbing", [] { return BuildArchive({Dir("../evil")}); }, -1},
      {"a path longer than 259 bytes", [=] { return BuildArchive({File(longName)}); }, -1},
      {"nameMax of 260",
       [] {
         Bytes a = BuildArchive({File("ok")});
         PatchBe16(a, bk::ar::header_field::kNameMax, 260);
         return a;
       },
       -1},
      {"a name longer than nameMax",
       [] {
         Bytes a = BuildArchive({File("evil-long-name")});
         PatchBe16(a, bk::ar::header_field::kNameMax, 3);
         return a;
       },
       -1},
      {"more names than nameCount",
       [] {
         Bytes a = BuildArchive({File("f1"), File("f2")});
         PatchBe16(a, bk::ar::header_field::kNameCount, 3);
         return a;
       },
       -1},
      {"nameNo beyond the names read",
       [] {
         Bytes a = BuildArchive({File("f1")});
         PatchBe16(a, EntryOffset(a, 0) + bk::ar::entry_field::kNameNo, 200);
         return a;
       },
       -1},
      {"content running past the archive",
       [] {
         Bytes a = BuildArchive({File("f1", "12345")});
         const std::size_t at = EntryOffset(a, 0);
         PatchBe32(a, at + bk::ar::entry_field::kFileSize, 0x7FFFFFF0);
         PatchBe32(a, at + bk::ar::entry_field::kDataSize, 0x7FFFFFF0);
         return a;
       },
       -1},
      {"dataSize and fileSize apart",
       [] {
         Bytes a = BuildArchive({File("f1", "12345"), File("f2", "67890")});
         PatchBe32(a, EntryOffset(a, 0) + bk::ar::entry_field::kFileSize, 2);
         return a;
       },
       -1},
      {"a directory with content",
       [] {
         Bytes a = BuildArchive({File("d", "12345")});
         a[EntryOffset(a, 0) + bk::ar::entry_field::kFileKind] = 0;
         return a;
       },
       -1},
      {"assocSize running past the archive",
       [] {
         Bytes a = BuildArchive({File("f1", "12345")});
         PatchBe32(a, EntryOffset(a, 0) + bk::ar::entry_field::kAssocSize, 0xFFFFFFF0);
         return a;
       },
       -1},
      {"an entry names block running past the archive",
       [] {
         Bytes a = BuildArchive({File("f1", "12345")});
         PatchBe32(a, EntryOffset(a, 0) + bk::ar::entry_field::kNameSize, 0xFFFFFF00);
         return a;
       },
       -1},
      {"a header names block running past the table",
       [] {
         Bytes a = BuildArchive({File("f1", "12345")});
         PatchBe32(a, bk::ar::header_field::kNameSize, 0x7FFFFFFF);
         return a;
       },
       -1},
      {"the file cut inside the content",
       [] {
         Bytes a = BuildArchive({File("f1", std::string(1000, 'c'))});
         a.resize(a.size() - 10);
         return a;
       },
       -1},
      {"an entry header cut by arcSize",
       [] {
         Bytes a = BuildArchive({File("f1", "1")});
         PatchBe32(a, bk::ar::header_field::kArcSize, static_cast<std::uint32_t>(EntryOffset(a, 0) + 10));
         return a;
       },
       -1},
      {"a defective generation",
       [] {
         Bytes a = BuildArchive({File("f1")});
         a[bk::ar::header_field::kResGenNo + 1] = 1;
         return a;
       },
       3},
      {"an unknown compKind",
       [] {
         Bytes a = BuildArchive({File("f1")});
         a[bk::ar::header_field::kCompKind] = 0;
         return a;
       },
       3},
  };
}

TEST_F(Hostile, EveryHostileArchiveFailsCleanlyAndWritesNothingOutside) {
  for (const HostileCase& c : Cases()) {
    for (bool encoded : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (encoded ? ", encoded" : ", plain"));
      RemoveTree(outer());
      MakeDir(outer());
      const std::string plain = work / "BACKRSC.plain";
      WriteBytes(plain, c.make());
      std::string archive = plain;
      if (encoded) {
        archive = work / "BACKRSC";
        Encode(plain, archive);
      }
      const Bytes before = ReadBytes(archive);
      VskArVerifyReport report;
      EXPECT_NE(vskarVerifyArchive(archive.c_str(), &report), 0);
      EXPECT_NE(std::string(report.firstDefect), "");
      EXPECT_EQ(vskarRestoreArchive(archive.c_str(), target().c_str()), c.result) << Dump();
      EXPECT_EQ(vskarMain(archive.c_str(), target().c_str(), 1), c.result);
      // Nothing beside the target, nothing named evil anywhere.
      for (const std::string& n : Names(outer())) EXPECT_EQ(n, "target");
      const std::vector<std::string> inside = Names(target());
      for (const std::string& n : inside) EXPECT_EQ(n.find("evil"), std::string::npos) << n;
      for (const std::string& n : Names(work.path())) EXPECT_EQ(n.find("evil"), std::string::npos) << n;
      if (!encoded) {
        EXPECT_EQ(ReadBytes(archive), before);
      }
    }
  }
  // The unsafe entries are named in a coded message.
  EXPECT_TRUE(EventSeen("The entry is outside the target directory: ../evil"));
}

TEST_F(Hostile, AnUnsafeArchiveBaseIsRefusedWithoutATarget) {
  for (const auto& [drive, base] : std::vector<std::pair<std::string, std::string>>{
           {"C", "../evil"}, {"\\", "server/share"}, {"CC", "x"}, {"C", "a/../../evil"}}) {
    SCOPED_TRACE(drive + " " + base);
    const std::string archive = work / "BACKRSC.plain";
    WriteBytes(archive, BuildArchive({File("f")}, drive, base));
    EXPECT_EQ(vskarRestoreArchive(archive.c_str(), nullptr), -1);
    EXPECT_NE(vskarVerifyArchive(archive.c_str(), nullptr), 0);
  }
}

// --- the archive check -------------------------------------------------------------------------

TEST_F(Hostile, TheCheckCountsASoundArchiveInEveryForm) {
  const std::vector<Item> items = {Dir("."), Dir("d"), File("d/a", "12345"), File("d/b", ""), Dir("d/e")};
  const std::string plain = work / "plain";
  WriteBytes(plain, BuildArchive(items));
  for (int kind : {-1, kEcdKindControl, kEcdKindZlib}) {
    SCOPED_TRACE(kind);
    std::string path = plain;
    if (kind >= 0) {
      path = work / ("encoded" + std::to_string(kind));
      Encode(plain, path, kind);
    }
    VskArVerifyReport report;
    ASSERT_EQ(vskarVerifyArchive(path.c_str(), &report), 0) << report.firstDefect;
    EXPECT_EQ(report.entries, 5u);
    EXPECT_EQ(report.files, 2u);
    EXPECT_EQ(report.directories, 3u);
    EXPECT_EQ(report.contentBytes, 5u);
    EXPECT_EQ(report.encoded, kind >= 0);
    EXPECT_FALSE(report.legacy);
    EXPECT_STREQ(report.firstDefect, "");
  }
}

TEST_F(Hostile, TheCheckRejectsDamagedEncodedFilesAndChangesNothing) {
  const std::string plain = work / "plain";
  WriteBytes(plain, BuildArchive({File("a", std::string(100000, 'a')), File("b", "bbb")}));
  const std::string encoded = work / "encoded";
  Encode(plain, encoded);
  const Bytes good = ReadBytes(encoded);
  struct Damage {
    const char* what;
    std::function<void(Bytes&)> apply;
    int result;
  };
  const std::vector<Damage> damages = {
      {"cut inside the last block", [](Bytes& b) { b.resize(b.size() - 5); }, kEcdIoError},
      {"cut after the head", [](Bytes& b) { b.resize(kEcdHeadSize + 1); }, kEcdIoError},
      {"a block word of 0", [](Bytes& b) { b[kEcdHeadSize] = 0; b[kEcdHeadSize + 1] = 0; }, kEcdBadBlock},
      {"an unknown kind", [](Bytes& b) { b[17] = 3; }, kEcdInvalid},
      {"a broken magic number", [](Bytes& b) { b[3] ^= 1; }, -1},
      {"an empty file", [](Bytes& b) { b.clear(); }, -1},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    Bytes bytes = good;
    d.apply(bytes);
    WriteBytes(encoded, bytes);
    VskArVerifyReport report;
    const int rc = vskarVerifyArchive(encoded.c_str(), &report);
    EXPECT_NE(rc, 0);
    if (d.result != -1) {
      EXPECT_EQ(rc, d.result);
    }
    EXPECT_NE(std::string(report.firstDefect), "");
    EXPECT_TRUE(Logged("vskarVerifyArchive: " + encoded)) << Dump();
    EXPECT_EQ(ReadBytes(encoded), bytes);
  }
}

// --- failed reads and writes ---------------------------------------------------------------------

TEST_F(Hostile, EveryFailedReadOrWriteEndsTheRestoreWithItsFailure) {
  const std::vector<Item> items = {Dir("."), Dir("d"), File("d/a", std::string(300000, 'a')), File("d/b", "b"),
                                   File("c", "")};
  const std::string plain = work / "plain";
  WriteBytes(plain, BuildArchive(items));
  const std::string encoded = work / "BACKRSC";
  Encode(plain, encoded);
  for (const std::string& archive : {plain, encoded}) {
    for (bk::io::IoKind kind : {bk::io::IoKind::kWrite, bk::io::IoKind::kRead}) {
      bk::io::ArmFaultForTest(kind, 0);
      RemoveTree(outer());
      ASSERT_EQ(vskarRestoreArchive(archive.c_str(), target().c_str()), 0);
      const long calls = bk::io::CountForTest(kind);
      ASSERT_GT(calls, 0);
      for (long n = 1; n <= calls; ++n) {
        SCOPED_TRACE(archive + (kind == bk::io::IoKind::kWrite ? " write " : " read ") + std::to_string(n));
        RemoveTree(outer());
        const std::size_t linesBefore = Lines().size();
        bk::io::ArmFaultForTest(kind, n);
        const int rc = vskarRestoreArchive(archive.c_str(), target().c_str());
        bk::io::ArmFaultForTest(kind, 0);
        EXPECT_TRUE(rc == -1 || rc == 3) << rc;
        EXPECT_GT(Lines().size(), linesBefore);
      }
      bk::io::ArmFaultForTest(kind, 0);
    }
  }
}

}  // namespace
