// Restoring through vskAPIRestore: trees backed up and put back byte for byte
// with their times and attributes, the added paths removed last to first,
// the results 0 to 3 with their log lines, and the installed-software entry.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "backup_root.h"
#include "bkrestore/bkrestore.h"
#include "platform/unique_handle.h"
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
using bk::test::TakeSnapshot;
using bk::test::WriteFile;
using bk::test::SeenEvents;

// A file held open without delete sharing, as another process would hold it.
bk::win::unique_hfile Hold(const std::string& path) {
  return bk::win::unique_hfile(
      ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

class Restore : public bk::test::BackupRootTest {
 protected:
  void SetUp() override {
    BackupRootTest::SetUp();
    app = source.path() + "\\app";
    MakeDir(app);
    WriteFile(mng(), Mng({}));
  }

  // A small application folder with every kind of entry.
  void MakeApplication() {
    MakeDir(app + "\\bin");
    MakeDir(app + "\\bin\\plugins");
    MakeDir(app + "\\empty dir");
    WriteFile(app + "\\bin\\app.exe", std::string(200000, 'x') + "tail");
    WriteFile(app + "\\bin\\plugins\\p.dll", std::string(40000, 'p'));
    WriteFile(app + "\\readme.txt", "read me");
    WriteFile(app + "\\empty.cfg", "");
    WriteFile(app + "\\hidden.dat", "h");
    WriteFile(app + "\\system.dat", "s");
    WriteFile(app + "\\locked.ini", "locked=1");
    ::SetFileAttributesA((app + "\\hidden.dat").c_str(), FILE_ATTRIBUTE_HIDDEN);
    ::SetFileAttributesA((app + "\\system.dat").c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    ::SetFileAttributesA((app + "\\locked.ini").c_str(), FILE_ATTRIBUTE_READONLY);
    bk::test::SetTimes(app + "\\readme.txt", 2019, 3, 4);
    bk::test::SetTimes(app + "\\bin\\app.exe", 2020, 1, 2);
    bk::test::SetTimes(app + "\\bin\\plugins", 2018, 5, 6);
    bk::test::SetTimes(app + "\\empty dir", 2017, 7, 8);
    bk::test::SetTimes(app + "\\bin", 2016, 9, 10);
  }

  // What an installation does to the folder.
  void Install() {
    WriteFile(app + "\\readme.txt", "a new readme, longer than the old one");
    ::DeleteFileA((app + "\\bin\\plugins\\p.dll").c_str());
    ::SetFileAttributesA((app + "\\locked.ini").c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteFile(app + "\\locked.ini", "locked=0");
    MakeDir(app + "\\bin\\plugins\\new");
    WriteFile(app + "\\bin\\plugins\\new\\n.dll", "new");
    WriteFile(app + "\\added.txt", "added");
  }

  std::uint32_t Backup(const std::string& path) { return vskAPIBackup("RES_A", "01", "0001", path.c_str()); }
  std::uint32_t Run() { return vskAPIRestore("res_a", "01", "0001"); }

  bk::test::TempDir source;
  std::string app;
};

TEST_F(Restore, PutsTheTreeBackAsItWas) {
  MakeApplication();
  const bk::test::Snapshot before = TakeSnapshot(app);
  ASSERT_EQ(Backup(app), 0u);
  Install();
  ASSERT_NE(TakeSnapshot(app), before);

  EXPECT_EQ(Run(), 0u);
  EXPECT_EQ(bk::test::SnapshotDiff(before, TakeSnapshot(app)), "");
  EXPECT_FALSE(Exists(dir("UPI_AAAA")));
  EXPECT_EQ(ReadFile(mng()), Mng({}));
  // The backup was used up. Its key is simply not found: no read failure.
  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(LastLine(), "BACKUP_NO_ENTRIES");
  EXPECT_FALSE(Logged("BytesRead, 895 BytesToRead"));
}

// A file written over in place must not be a second name of another file:
// that file would change with it.
TEST_F(Restore, AHardLinkInTheWayIsReplacedNotWrittenThrough) {
  WriteFile(app + "\\shared.txt", "saved content");
  ASSERT_EQ(Backup(app), 0u);
  const std::string outside = source.path() + "\\outside.txt";
  WriteFile(outside, "outside content");
  ASSERT_TRUE(::DeleteFileA((app + "\\shared.txt").c_str()));
  if (!::CreateHardLinkA((app + "\\shared.txt").c_str(), outside.c_str(), nullptr))
    GTEST_SKIP() << "hard links cannot be made here";
  EXPECT_EQ(Run(), 0u);
  EXPECT_EQ(ReadFile(app + "\\shared.txt"), "saved content");
  EXPECT_EQ(ReadFile(outside), "outside content");
}

TEST_F(Restore, AddedPathsAreRemoved) {
  // The installation creates the folder and a file below a new level.
  // (vskAPIBackup refuses a path that does not exist; other programs of the
  // client write such install lists.)
  const std::string created = app + "\\created";
  unsigned char record[kInsRecordSize];
  vskInsMakeRecord(created.c_str(), kInsInclude, record);
  WriteFile(root() + "\\INSLIST", std::string(reinterpret_cast<char*>(record), sizeof record));
  ASSERT_EQ(vskAPIMakeBackup("RES_A", "01", "0001"), 0);
  EXPECT_EQ(ReadFile(dir("UPI_AAAA") + "\\ADDFILE").substr(0, created.size()), created);
  MakeDir(created);
  WriteFile(created + "\\x.txt", "x");
  EXPECT_EQ(Run(), 0u);
  EXPECT_FALSE(Exists(created));
  EXPECT_TRUE(Exists(app));
}

TEST_F(Restore, AddFileIsWalkedFromTheLastRecordToTheFirst) {
  MakeDir(dir("UPI_AAAA"));
  WriteFile(mng(), Mng({MngRecord("RES_A", "01", "0001", "UPI_AAAA")}));
  std::string list;
  for (const char* name : {"first", "second", "third"}) {
    WriteFile(app + "\\" + name, name);
    unsigned char record[kInsRecordSize];
    vskInsMakeRecord((app + "\\" + name).c_str(), kInsInclude, record);
    list.append(reinterpret_cast<char*>(record), sizeof record);
  }
  WriteFile(dir("UPI_AAAA") + "\\ADDFILE", list);
  {
    const auto second = Hold(app + "\\second");  // its deletion fails and ends the walk
    EXPECT_EQ(Run(), 2u);
  }
  EXPECT_FALSE(Exists(app + "\\third"));
  EXPECT_TRUE(Exists(app + "\\first"));
  EXPECT_TRUE(Logged("ERROR__DelBackup_DelDirectory path = " + app + "\\second"));
  EXPECT_TRUE(Logged("BACKUP_FILE_ACCESS_ERR"));
}

TEST_F(Restore, AnAddFileOfPartialRecordsFailsTheStep) {
  MakeDir(dir("UPI_AAAA"));
  WriteFile(mng(), Mng({MngRecord("RES_A", "01", "0001", "UPI_AAAA")}));
  WriteFile(dir("UPI_AAAA") + "\\ADDFILE", std::string(300, '\0'));
  EXPECT_EQ(Run(), 2u);
  EXPECT_TRUE(Logged("ERROR__lseek,errno="));
  EXPECT_FALSE(Exists(dir("UPI_AAAA")));  // the delete check removed it
}

TEST_F(Restore, ADefectiveArchiveLeavesTheInstallationWhole) {
  WriteFile(app + "\\keep.txt", "before");
  const std::string created = source.path() + "\\created";
  ASSERT_EQ(Backup(app), 0u);
  // The installation's added path is recorded too.
  unsigned char record[kInsRecordSize];
  vskInsMakeRecord(created.c_str(), kInsInclude, record);
  WriteFile(dir("UPI_AAAA") + "\\ADDFILE", std::string(reinterpret_cast<char*>(record), sizeof record));
  std::string archive = ReadFile(dir("UPI_AAAA") + "\\BACKRSC");
  archive.resize(archive.size() - 3);
  WriteFile(dir("UPI_AAAA") + "\\BACKRSC", archive);
  WriteFile(app + "\\keep.txt", "installed");
  MakeDir(created);

  EXPECT_EQ(Run(), 2u);
  EXPECT_TRUE(Logged("ERROR_vskarCreateUnarcNewFile"));
  EXPECT_TRUE(Logged("BACKUP_FILE_ACCESS_ERR"));
  EXPECT_EQ(ReadFile(app + "\\keep.txt"), "installed");
  EXPECT_TRUE(Exists(created));
}

TEST_F(Restore, ResultThreeWhenTheUsedBackupCannotBeDeleted) {
  WriteFile(app + "\\a.txt", "a");
  ASSERT_EQ(Backup(app), 0u);
  {
    const auto list = Hold(dir("UPI_AAAA") + "\\BACKLST");
    EXPECT_EQ(Run(), 3u);
  }
  EXPECT_EQ(LastLine(), "vskAPIDelBackup_ERR");

  // A failed step whose delete check cannot delete either.
  bk::test::RemoveTree(dir("UPI_AAAA"));
  MakeDir(dir("UPI_AAAA"));
  WriteFile(dir("UPI_AAAA") + "\\BACKLST", "");
  WriteFile(mng(), Mng({MngRecord("RES_A", "01", "0001", "UPI_AAAA")}));
  WriteFile(dir("UPI_AAAA") + "\\ADDFILE", std::string(300, '\0'));
  {
    const auto list = Hold(dir("UPI_AAAA") + "\\BACKLST");
    EXPECT_EQ(Run(), 3u);
  }
  EXPECT_EQ(LastLine(), "vskCheckDelBackup_ERR");
}

TEST_F(Restore, AStaleRecordIsRemoved) {
  WriteFile(mng(), Mng({MngRecord("RES_A", "01", "0001", "UPI_AAAA")}));
  EXPECT_EQ(Run(), 1u);
  EXPECT_EQ(ReadFile(mng()), Mng({}));
  EXPECT_EQ(LastLine(), "BACKUP_NO_ENTRIES");
}

TEST_F(Restore, TheInstalledSoftwareEntryIsPutBack) {
  const std::string e = bk::test::InstalledEntry("VEL.PKG.RES_A", "250101000001");
  const std::string list = WriteInstalledList(e);
  ASSERT_EQ(Backup(app), 0u);
  // The installation changes the entry.
  std::string changed = e;
  changed.replace(kSyscInstallDate, 12, "260202000002");
  WriteFile(list, changed);

  ASSERT_EQ(Run(), 0u);
  const std::string after = ReadFile(list);
  ASSERT_EQ(after.size(), kSyscEntrySize);
  EXPECT_EQ(after.substr(kSyscInstallDate, 12), "250101000001");
  EXPECT_EQ(after[kSyscRestoreMark], 'B');
  EXPECT_EQ(after.substr(kSyscBackupDate, 12), std::string(12, ' '));
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char year[3];
  std::snprintf(year, sizeof year, "%02d", now.wYear % 100);
  EXPECT_EQ(after.substr(kSyscRestoreDate, 2), year);

  // Without an entry at backup time the list is not touched.
  WriteFile(list, changed);
  ::DeleteFileA((list).c_str());
  ASSERT_EQ(Backup(app), 0u);
  WriteFile(list, changed);
  ASSERT_EQ(Run(), 0u);
  EXPECT_EQ(ReadFile(list), changed);
}

TEST_F(Restore, AMarkerFileGoesWhateverTheResult) {
  WriteFile(root() + "\\BACKUPLD", "");
  EXPECT_EQ(Run(), 1u);
  EXPECT_FALSE(Exists(root() + "\\BACKUPLD"));
}

}  // namespace
