// Making a backup through vskAPIBackup: the install list, the directory name
// search, BACKMNG's new record, BACKLST/ADDFILE, the archive, the undo after a
// failure, and every write and read of a backup failing in turn.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "archive/ar_extract.h"
#include "archive/ar_reader.h"
#include "backup_root.h"
#include "bkrestore/bkrestore.h"
#include "codec/ecd.h"
#include "common/io_faults.h"
#include "service/backup_sums.h"
#include "service/install_list.h"
#include "service/service.h"
#include "softwarelist/uplistd.h"
#include "tree_snapshot.h"

namespace {

using bk::test::Exists;
using bk::test::MakeDir;
using bk::test::Mng;
using bk::test::MngRecord;
using bk::test::ReadFile;
using bk::test::WriteFile;
using bk::test::SeenEvents;

struct SavedEntry {
  std::string path;
  bool directory;
  std::uint32_t size;
  bool operator==(const SavedEntry&) const = default;
};

// The entries of an encoded archive, read back with the archive reader.
std::vector<SavedEntry> ArchiveEntries(const std::string& path) {
  const std::string image = ReadFile(path);
  std::vector<unsigned char> plain;
  EXPECT_EQ(bk::ecd::DecodeImage(reinterpret_cast<const unsigned char*>(image.data()), image.size(), &plain,
                                 nullptr),
            kEcdDecodeOk);
  bk::ar::ArMemorySource source(plain.data(), plain.size());
  bk::ar::ArReader reader(source);
  std::vector<SavedEntry> entries;
  EXPECT_EQ(reader.Open(), bk::ar::kArOk);
  bk::ar::ArEntry entry;
  bool found = false;
  while (reader.Next(entry, found) == bk::ar::kArOk && found)
    entries.push_back({entry.path, entry.header.IsDirectory(), entry.header.fileSize});
  EXPECT_EQ(reader.Status(), bk::ar::kArOk) << reader.Error();
  return entries;
}

// Paths of the records of an install-list file.
std::vector<std::string> RecordPaths(const std::string& file) {
  const std::string data = ReadFile(file);
  EXPECT_EQ(data.size() % kInsRecordSize, 0u);
  std::vector<std::string> paths;
  for (std::size_t at = 0; at + kInsRecordSize <= data.size(); at += kInsRecordSize)
    paths.push_back(data.substr(at, strnlen(data.data() + at, kInsPathWidth)));
  return paths;
}

class Backup : public bk::test::BackupRootTest {
 protected:
  void SetUp() override {
    BackupRootTest::SetUp();
    bk::io::ArmFaultForTest(bk::io::IoKind::kWrite, 0);
    app = source.path() + "\\app";
    MakeDir(app);
  }
  void TearDown() override {
    bk::io::ArmFaultForTest(bk::io::IoKind::kWrite, 0);
    BackupRootTest::TearDown();
  }

  std::uint32_t Run(const std::string& path, const char* name = "RES_A") {
    return vskAPIBackup(name, "01", "0001", path.c_str());
  }
  std::string insList() const { return root() + "\\INSLIST"; }
  // The path relative to C:\, as the archive names it.
  static std::string Rel(const std::string& path) {
    std::string r = path.substr(3);
    for (char& c : r)
      if (c == '\\') c = '/';
    return r;
  }

  bk::test::TempDir source;
  std::string app;
};

TEST_F(Backup, SavesTheTreeAndRegistersTheBackup) {
  MakeDir(app + "\\sub");
  WriteFile(app + "\\a.txt", "alpha");
  WriteFile(app + "\\sub\\b.bin", std::string(70000, 'b'));
  WriteFile(app + "\\empty", "");
  WriteFile(mng(), Mng({}));

  ASSERT_EQ(Run(app), 0u);

  const std::string data = ReadFile(mng());
  ASSERT_EQ(data.size(), 2 + kBkmnRecordSize);
  EXPECT_EQ(data[0], 1);
  EXPECT_EQ(data.substr(2 + kBkmnDirectory, 8), "UPI_AAAA");
  EXPECT_EQ(data.substr(2 + kBkmnEntry + kSyscInstallDate, 12), std::string(12, ' '));
  EXPECT_EQ(RecordPaths(dir("UPI_AAAA") + "\\BACKLST"), std::vector<std::string>{app});
  EXPECT_EQ(ReadFile(dir("UPI_AAAA") + "\\ADDFILE"), "");
  // Each directory comes before its contents; nothing else is left beside BACKRSC.
  const std::vector<SavedEntry> entries = ArchiveEntries(dir("UPI_AAAA") + "\\BACKRSC");
  ASSERT_FALSE(entries.empty());
  std::vector<std::string> paths;
  for (const SavedEntry& e : entries) paths.push_back(e.path);
  const std::string r = Rel(app);
  auto at = [&](const std::string& p) { return std::find(paths.begin(), paths.end(), p) - paths.begin(); };
  EXPECT_LT(at(r), at(r + "/a.txt"));
  EXPECT_LT(at(r + "/sub"), at(r + "/sub/b.bin"));
  EXPECT_EQ(entries[static_cast<std::size_t>(at(r + "/sub/b.bin"))], (SavedEntry{r + "/sub/b.bin", false, 70000}));
  EXPECT_EQ(entries[static_cast<std::size_t>(at(r + "/empty"))], (SavedEntry{r + "/empty", false, 0}));
  EXPECT_FALSE(Exists(dir("UPI_AAAA") + "\\BACKRSC.ecd"));
  // The content checksums lie beside it, and the archive matches them.
  bk::ar::ArchiveSums sums;
  std::string why;
  ASSERT_EQ(vskReadBackupSums(dir("UPI_AAAA").c_str(), &sums, &why), 0) << why;
  EXPECT_EQ(sums.entryCrcs.size(), entries.size());
  EXPECT_EQ(vskarCheckArchive((dir("UPI_AAAA") + "\\BACKRSC").c_str(), &sums, nullptr, nullptr, nullptr), 0);
  EXPECT_FALSE(Exists(dir("UPI_AAAA") + "\\BACKSUMW"));
}

TEST(InstallListFlags, FromTheAttributes) {
  EXPECT_EQ(vskInsFlagsFromAttributes(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), 13);
  EXPECT_EQ(vskInsFlagsFromAttributes(FILE_ATTRIBUTE_DIRECTORY), 1);
  EXPECT_EQ(vskInsFlagsFromAttributes(FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY), 19);
}

TEST_F(Backup, InstallListRecordsThePathWithItsFlags) {
  // Wine keeps no read-only attribute on directories: a hidden read-only file
  // shows the same flags a hidden read-only directory has on Windows.
  const std::string file = app + "\\locked.txt";
  WriteFile(file, "x");
  ::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
  WriteFile(insList(), std::string(3 * kInsRecordSize, 'x'));  // a leftover list is replaced
  ASSERT_EQ(vskWriteInstallList(file.c_str()), 0);
  std::string data = ReadFile(insList());
  ASSERT_EQ(data.size(), kInsRecordSize);
  EXPECT_EQ(data.substr(0, file.size()), file);
  EXPECT_EQ(data.substr(file.size(), 272 - file.size()), std::string(272 - file.size(), '\0'));
  // (Wine reports every file with the archive attribute.)
  EXPECT_EQ(data[kInsFlags] & ~kInsArchive, 13);
  ::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_EQ(vskWriteInstallList(app.c_str()), 0);
  data = ReadFile(insList());
  EXPECT_EQ(data[kInsFlags], 1);

  // A path that does not exist leaves the list as it was.
  EXPECT_EQ(vskWriteInstallList((app + "\\missing").c_str()), 1);
  EXPECT_EQ(ReadFile(insList()), data);
  EXPECT_TRUE(Logged("File Open Error in vskAPIBackup. path=" + app + "\\missing"));
}

struct NameCase {
  const char* label;
  std::vector<std::string> records;   // directories named by the records
  std::vector<std::string> existing;  // directories present in the root
  const char* expected;               // nullptr: no name left
};

TEST_F(Backup, DirectoryNameFollowsTheLastRecord) {
  const NameCase cases[] = {
      {"header only", {}, {}, "UPI_AAAA"},
      {"next after the last", {"UPI_AAAB"}, {"UPI_AAAB"}, "UPI_AAAC"},
      {"carry", {"UPI_AAAZ"}, {"UPI_AAAZ"}, "UPI_AABA"},
      {"names in use skipped", {"UPI_AAAA"}, {"UPI_AAAA", "UPI_AAAB"}, "UPI_AAAC"},
      {"deleted last directory reused", {"UPI_AAAA", "UPI_AAAB"}, {"UPI_AAAA"}, "UPI_AAAB"},
      {"a name never written starts over", {"UPI_AAA."}, {"UPI_AAAA"}, "UPI_AAAB"},
      {"space used up", {"UPI_ZZZZ"}, {"UPI_ZZZZ"}, nullptr},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.label);
    bk::test::RemoveTree(root());
    MakeDir(root());
    std::vector<std::string> records;
    int i = 0;
    for (const std::string& d : c.records) records.push_back(MngRecord("OTHER" + std::to_string(i++), "01", "0001", d));
    WriteFile(mng(), Mng(records));
    for (const std::string& d : c.existing) MakeDir(dir(d));
    SeenEvents().clear();

    const std::uint32_t result = Run(app);
    const std::string data = ReadFile(mng());
    if (c.expected == nullptr) {
      EXPECT_EQ(result, 1u);
      EXPECT_EQ(data, Mng(records));
      ASSERT_EQ(SeenEvents().size(), 1u);
      EXPECT_EQ(SeenEvents()[0].text, "Make No More Directory");
      EXPECT_TRUE(Logged("NO MORE MAKE DIRECTORY in vskAPIMakeBackup"));
      continue;
    }
    EXPECT_EQ(result, 0u);
    ASSERT_EQ(data.size(), 2 + (records.size() + 1) * kBkmnRecordSize);
    EXPECT_EQ(static_cast<unsigned char>(data[0]), records.size() + 1);
    EXPECT_EQ(data.substr(2 + records.size() * kBkmnRecordSize + kBkmnDirectory, 8), c.expected);
    EXPECT_TRUE(Exists(dir(c.expected) + "\\BACKRSC"));
  }
}

TEST_F(Backup, AnExistingKeyCreatesNothing) {
  const std::string before = Mng({MngRecord("res_a", "01", "0001", "UPI_AAAA")});
  WriteFile(mng(), before);
  EXPECT_EQ(Run(app, "RES_A"), 1u);
  EXPECT_EQ(ReadFile(mng()), before);
  EXPECT_FALSE(Exists(dir("UPI_AAAA")));
  ASSERT_EQ(SeenEvents().size(), 1u);
  EXPECT_EQ(SeenEvents()[0].text, "Resource Backup already exists");
}

TEST_F(Backup, MissingPathsGoToAddFileCutAfterTheFirstMissingLevel) {
  WriteFile(mng(), Mng({}));
  // The install list names a path two levels below what exists.
  unsigned char record[kInsRecordSize];
  vskInsMakeRecord((app + "\\new\\deeper").c_str(), kInsInclude, record);
  WriteFile(insList(), std::string(reinterpret_cast<char*>(record), sizeof record));
  ASSERT_EQ(vskAPIMakeBackup("RES_A", "01", "0001"), 0);
  EXPECT_EQ(RecordPaths(dir("UPI_AAAA") + "\\ADDFILE"), std::vector<std::string>{app + "\\new"});
  EXPECT_EQ(ReadFile(dir("UPI_AAAA") + "\\BACKLST"), "");
  EXPECT_FALSE(Exists(dir("UPI_AAAA") + "\\BACKRSC"));  // nothing to save
  bk::ar::ArchiveSums sums;
  std::string why;
  ASSERT_EQ(vskReadBackupSums(dir("UPI_AAAA").c_str(), &sums, &why), 0) << why;
  EXPECT_FALSE(sums.hasArchive);  // it says so
}

TEST_F(Backup, AMissingDriveUndoesTheBackup) {
  WriteFile(mng(), Mng({}));
  unsigned char record[kInsRecordSize];
  vskInsMakeRecord("Q:\\nothing\\here", kInsInclude, record);
  WriteFile(insList(), std::string(reinterpret_cast<char*>(record), sizeof record));
  EXPECT_EQ(vskAPIMakeBackup("RES_A", "01", "0001"), 1);
  EXPECT_EQ(ReadFile(mng()), Mng({}));
  EXPECT_FALSE(Exists(dir("UPI_AAAA")));
  ASSERT_EQ(SeenEvents().size(), 1u);
  EXPECT_EQ(SeenEvents()[0].text, "Install Drive(Q:) doesn't exist in vskAPIMakeBackup.");
  EXPECT_TRUE(Logged("Install Drive(Q:) doesn't exist in vskAPIMakeBackup."));
}

TEST_F(Backup, APatternSavesEveryMatchAndNeverReachesAddFile) {
  WriteFile(mng(), Mng({}));
  WriteFile(app + "\\one.txt", "1");
  WriteFile(app + "\\two.txt", "22");
  WriteFile(app + "\\other.dat", "x");
  const std::string pattern = app + "\\*.txt";
  ASSERT_EQ(Run(pattern), 0u);
  EXPECT_EQ(RecordPaths(insList()), std::vector<std::string>{pattern});  // kept as passed
  EXPECT_EQ(ReadFile(dir("UPI_AAAA") + "\\ADDFILE"), "");
  std::vector<std::string> saved = RecordPaths(dir("UPI_AAAA") + "\\BACKLST");
  std::sort(saved.begin(), saved.end());
  EXPECT_EQ(saved, (std::vector<std::string>{app + "\\one.txt", app + "\\two.txt"}));
  std::vector<std::string> files;
  for (const SavedEntry& e : ArchiveEntries(dir("UPI_AAAA") + "\\BACKRSC"))
    if (!e.directory) files.push_back(e.path);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{Rel(app) + "/one.txt", Rel(app) + "/two.txt"}));
}

TEST_F(Backup, ADamagedManagementFileIsRefusedUntouched) {
  const std::string damaged = Mng({MngRecord("OTHER", "01", "0001", "UPI_AAAA")}) + "frag";
  WriteFile(mng(), damaged);
  EXPECT_EQ(Run(app), 1u);
  EXPECT_EQ(ReadFile(mng()), damaged);
  EXPECT_FALSE(Exists(dir("UPI_AAAB")));
}

TEST_F(Backup, TheInstalledSoftwareEntryIsSavedAndMarked) {
  WriteFile(mng(), Mng({}));
  const std::string e = bk::test::InstalledEntry("VEL.PKG.RES_A", "250101000001");
  const std::string list = WriteInstalledList(e);

  ASSERT_EQ(Run(app), 0u);
  EXPECT_EQ(ReadFile(mng()).substr(2 + kBkmnEntry + kSyscInstallDate, 12), "250101000001");
  EXPECT_EQ(ReadFile(list).substr(kSyscBackupDate, 12), "250101000001");
}

// Paths a caller may hand over: each gives a clean result, and a failure
// leaves no record behind.
TEST_F(Backup, HostilePathsGiveCleanResults) {
  WriteFile(app + "\\caf\xE9 \xC4rger.txt", "ansi name");
  WriteFile(app + "\\single.bin", "one file");
  // A directory chain whose deepest file has an archive name past 259 bytes.
  std::string deep = app;
  while (deep.size() < 200) {
    deep += "\\" + std::string(40, 'd');
    MakeDir(deep);
  }
  // Past MAX_PATH where the file system lets it be made.
  const std::string longFile = deep + "\\" + std::string(270 - deep.size(), 'f');
  bool longMade = true;
  try {
    WriteFile(longFile, "deep");
  } catch (...) {
    longMade = false;
  }
  struct Case {
    const char* label;
    std::string path;
    std::uint32_t result;
  } cases[] = {
      {"a name with ANSI characters above 0x7F", app + "\\caf\xE9 \xC4rger.txt", 0},
      {"a file, not a directory", app + "\\single.bin", 0},
      {"a drive that does not exist", "Q:\\app", 1},
      {"260 characters that do not exist", "C:\\" + std::string(257, 'p'), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFile(mng(), Mng({}));
    bk::test::RemoveTree(dir("UPI_AAAA"));
    EXPECT_EQ(Run(c.path), c.result);
    if (c.result == 0) {
      const std::vector<SavedEntry> entries = ArchiveEntries(dir("UPI_AAAA") + "\\BACKRSC");
      ASSERT_FALSE(entries.empty());
      EXPECT_EQ(entries.back().path, Rel(c.path));
    } else {
      EXPECT_EQ(ReadFile(mng()), Mng({}));
    }
    vskAPIDelBackup("RES_A", "01", "0001");
  }
  if (!longMade) GTEST_SKIP() << "paths past 260 characters cannot be made here";
  // Archive names are at most 259 bytes: the backup fails whole and is undone.
  WriteFile(mng(), Mng({}));
  EXPECT_EQ(Run(app), 1u);
  EXPECT_EQ(ReadFile(mng()), Mng({}));
  EXPECT_FALSE(Exists(dir("UPI_AAAA")));
  EXPECT_TRUE(Logged("Error in vskarCreateArcFileEx"));
}

// Every write of a backup, and every read of a saved file, fails in turn:
// each time the backup fails and the backup root is as it was.
TEST_F(Backup, EveryFailedWriteOrReadLeavesTheRootAsItWas) {
  MakeDir(app + "\\sub");
  WriteFile(app + "\\a.txt", std::string(5000, 'a'));
  WriteFile(app + "\\sub\\b.txt", std::string(300000, 'b'));
  WriteFile(app + "\\sub\\c.txt", "");
  const std::string before = Mng({MngRecord("OTHER", "01", "0001", "UPI_AAAA")});
  MakeDir(dir("UPI_AAAA"));

  for (bk::io::IoKind kind : {bk::io::IoKind::kWrite, bk::io::IoKind::kRead}) {
    // A successful run counts the calls.
    WriteFile(mng(), before);
    bk::io::ArmFaultForTest(kind, 0);
    ASSERT_EQ(Run(app), 0u);
    const long calls = bk::io::CountForTest(kind);
    ASSERT_GT(calls, kind == bk::io::IoKind::kWrite ? 3 : 1);
    for (long n = 1; n <= calls; ++n) {
      SCOPED_TRACE((kind == bk::io::IoKind::kWrite ? "write " : "read ") + std::to_string(n));
      bk::test::RemoveTree(dir("UPI_AAAB"));
      WriteFile(mng(), before);
      bk::io::ArmFaultForTest(kind, n);
      EXPECT_EQ(Run(app), 1u);
      bk::io::ArmFaultForTest(kind, 0);
      EXPECT_EQ(ReadFile(mng()), before);
      // At most the empty directory of a failed append stays.
      if (Exists(dir("UPI_AAAB"))) {
        EXPECT_TRUE(bk::test::TakeSnapshot(dir("UPI_AAAB")).empty());
      }
      unsigned char record[kBkmnRecordSize];
      vskEnvLoad();  // the export released the settings
      EXPECT_EQ(vskBKRVOpenBKMN(record), 1);
      EXPECT_EQ(vskBKRVNextBKMN(record), 0);
      vskBKRVCloseBKMN();
    }
  }
}

}  // namespace
