// Restoring through vskAPIRestore: trees backed up and put back byte for byte
// with their times and attributes, the added paths removed last to first,
// the results 0 to 3 with their log lines, and the installed-software entry.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <cwchar>
#include <string>
#include <vector>

#include "archive/ar_sums.h"
#include "backup_root.h"
#include "bkrestore/bkrestore.h"
#include "common/io_faults.h"
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
  void TearDown() override {
    bk::io::ArmFaultForTest(bk::io::IoKind::kWrite, 0);
    BackupRootTest::TearDown();
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
  // Not a defect of the saved files: kept for a rerun.
  EXPECT_EQ(LastLine(), "The backup " + dir("UPI_AAAA") + " is kept for a rerun in vskDoRestore.");
  EXPECT_EQ(ReadFile(mng()), Mng({MngRecord("RES_A", "01", "0001", "UPI_AAAA")}));
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
  // The damage is named, and the backup is kept as it is.
  EXPECT_TRUE(Logged("The saved files are damaged: the encoded file cannot be decoded"));
  EXPECT_EQ(ReadFile(dir("UPI_AAAA") + "\\BACKRSC"), archive);
  EXPECT_TRUE(Logged("is kept for a rerun"));
}

TEST_F(Restore, ResultThreeWhenTheUsedBackupCannotBeDeleted) {
  WriteFile(app + "\\a.txt", "a");
  ASSERT_EQ(Backup(app), 0u);
  {
    const auto list = Hold(dir("UPI_AAAA") + "\\BACKLST");
    EXPECT_EQ(Run(), 3u);
  }
  EXPECT_EQ(LastLine(), "vskAPIDelBackup_ERR");

  // A backup that can never be restored (made before checksums were kept,
  // its archive defective) whose delete check cannot delete it either.
  bk::test::RemoveTree(dir("UPI_AAAA"));
  MakeDir(dir("UPI_AAAA"));
  WriteFile(dir("UPI_AAAA") + "\\BACKLST", "");
  WriteFile(dir("UPI_AAAA") + "\\BACKRSC", "not an archive");
  WriteFile(mng(), Mng({MngRecord("RES_A", "01", "0001", "UPI_AAAA")}));
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

// Content that differs from its checksums is refused before anything
// changes; the coded event names the entry, and the backup is kept.
TEST_F(Restore, ContentThatDiffersFromItsChecksumsIsRefusedNamingTheEntry) {
  WriteFile(app + "\\a.txt", "saved");
  ASSERT_EQ(Backup(app), 0u);
  const std::string sumsPath = dir("UPI_AAAA") + "\\BACKSUM";
  const std::string good = ReadFile(sumsPath);
  bk::ar::ArchiveSums sums;
  ASSERT_EQ(bk::ar::DecodeSums(reinterpret_cast<const unsigned char*>(good.data()), good.size(), &sums, nullptr),
            bk::ar::kArOk);
  sums.entryCrcs.back() ^= 0x100;
  const std::vector<unsigned char> other = bk::ar::EncodeSums(sums);
  WriteFile(sumsPath, std::string(other.begin(), other.end()));
  WriteFile(app + "\\a.txt", "installed");
  SeenEvents().clear();

  EXPECT_EQ(Run(), 2u);
  EXPECT_EQ(ReadFile(app + "\\a.txt"), "installed");
  ASSERT_EQ(SeenEvents().size(), 1u);
  std::string relative = app.substr(3) + "/a.txt";
  std::replace(relative.begin(), relative.end(), '\\', '/');
  EXPECT_EQ(SeenEvents()[0].text, "The saved files differ from their checksums: entry " +
                                      std::to_string(sums.entryCrcs.size()) + " (" + relative +
                                      ") differs from its checksum, Backup=" + dir("UPI_AAAA"));
  EXPECT_EQ(LastLine(), "The backup " + dir("UPI_AAAA") + " is kept for a rerun in vskDoRestore.");
  EXPECT_EQ(ReadFile(sumsPath), std::string(other.begin(), other.end()));
}

// Backups made before checksums were kept restore with the structural check;
// only one whose archive is defective can never be restored and is deleted.
TEST_F(Restore, BackupsWithoutChecksumsAreCheckedForTheirStructure) {
  WriteFile(app + "\\a.txt", "saved");
  struct Case {
    const char* what;
    std::function<void()> damage;
    std::uint32_t result;
    const char* line;  // the last line
    bool kept;
    const char* content;  // of a.txt afterwards
  };
  const std::string backup = dir("UPI_AAAA");
  const std::vector<Case> cases = {
      {"a sound archive", [] {}, 0, nullptr, false, "saved"},
      {"a defective archive", [&] { WriteFile(backup + "\\BACKRSC", "not an archive"); }, 2,
       "is deleted as unusable in vskDoRestore.", false, "installed"},
      {"no archive where BACKLST names a saved path", [&] { ::DeleteFileA((backup + "\\BACKRSC").c_str()); }, 2,
       "is kept for a rerun in vskDoRestore.", true, "installed"},
      {"no archive and nothing listed",
       [&] {
         ::DeleteFileA((backup + "\\BACKRSC").c_str());
         WriteFile(backup + "\\BACKLST", "");
       },
       0, nullptr, false, "installed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(mng(), Mng({}));
    ASSERT_EQ(Backup(app), 0u);
    ASSERT_TRUE(::DeleteFileA((backup + "\\BACKSUM").c_str()));
    c.damage();
    WriteFile(app + "\\a.txt", "installed");
    EXPECT_EQ(Run(), c.result);
    if (c.line != nullptr) {
      EXPECT_EQ(LastLine(), "The backup " + backup + " " + c.line);
    }
    EXPECT_EQ(Exists(backup), c.kept);
    EXPECT_EQ(ReadFile(app + "\\a.txt"), c.content);
    bk::test::RemoveTree(backup);
  }
}

// A backup path written with "/" names the same saved folder: what was
// added inside it goes too.
TEST_F(Restore, ABackupPathWithSlashesStillFindsWhatWasAddedInside) {
  MakeApplication();
  const bk::test::Snapshot before = TakeSnapshot(app);
  std::string slashed = app;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  ASSERT_EQ(Backup(slashed), 0u);
  Install();
  EXPECT_EQ(Run(), 0u);
  EXPECT_EQ(bk::test::SnapshotDiff(before, TakeSnapshot(app)), "");
  EXPECT_TRUE(Logged("ADDED_PATH_REMOVED path = " + app + "\\added.txt"));
}

// Wine cannot make junctions or directory links: the removal's search
// reports entries named "link..." as reparse points, and their removal as
// links is watched. The stand-ins are an empty directory and an empty file.
std::vector<std::wstring> g_searched, g_removedLinks;
void MarkLinks(WIN32_FIND_DATAW* found) {
  if (std::wcsncmp(found->cFileName, L"link", 4) == 0) found->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
}
HANDLE WINAPI LinkFindFirst(LPCWSTR pattern, LPWIN32_FIND_DATAW found) {
  g_searched.push_back(pattern);
  const HANDLE search = ::FindFirstFileW(pattern, found);
  if (search != INVALID_HANDLE_VALUE) MarkLinks(found);
  return search;
}
BOOL WINAPI LinkFindNext(HANDLE search, LPWIN32_FIND_DATAW found) {
  const BOOL more = ::FindNextFileW(search, found);
  if (more) MarkLinks(found);
  return more;
}
bool RemoveStandIn(const wchar_t* path, DWORD* error) {
  g_removedLinks.push_back(path);
  if ((::GetFileAttributesW(path) & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(path) : ::DeleteFileW(path))
    return true;
  *error = ::GetLastError();
  return false;
}

TEST_F(Restore, ALinkWhereTheArchiveHoldsAFileOrDirectoryIsReplacedNeverEntered) {
  MakeDir(app + "\\linkdir");
  WriteFile(app + "\\linkdir\\inside.txt", "saved inside");
  WriteFile(app + "\\linkfile.txt", "saved file");
  bk::test::SetTimes(app + "\\linkdir", 2015, 1, 1);
  const bk::test::Snapshot before = TakeSnapshot(app);
  ASSERT_EQ(Backup(app), 0u);
  // The installation puts links in their place, and one of its own.
  bk::test::RemoveTree(app + "\\linkdir");
  MakeDir(app + "\\linkdir");
  WriteFile(app + "\\linkfile.txt", "");
  MakeDir(app + "\\linknew");
  g_searched.clear();
  g_removedLinks.clear();
  vskFarSearch() = {LinkFindFirst, LinkFindNext, RemoveStandIn};

  EXPECT_EQ(Run(), 0u);
  // The two in the archive's way went as links; the one the archive does not
  // name is left (links are never saved: it may have been there before).
  std::vector<std::wstring> removed = g_removedLinks;
  std::sort(removed.begin(), removed.end());
  const std::wstring extended = L"\\\\?\\" + std::wstring(app.begin(), app.end());
  EXPECT_EQ(removed, (std::vector<std::wstring>{extended + L"\\linkdir", extended + L"\\linkfile.txt"}));
  // Each was looked up by its own path, never searched inside.
  for (const std::wstring& pattern : g_searched) {
    const std::size_t link = pattern.find(L"\\link");
    if (link != std::wstring::npos) {
      EXPECT_EQ(pattern.find(L'\\', link + 1), std::wstring::npos) << std::string(pattern.begin(), pattern.end());
    }
  }
  bk::test::Snapshot after = TakeSnapshot(app);
  EXPECT_EQ(after.erase("linknew"), 1u);
  EXPECT_EQ(bk::test::SnapshotDiff(before, after), "");
}

// Every read and write of a restore fails in turn: each time the restore
// fails with 2, the backup stays exactly as it was, and a rerun once the
// fault is gone puts the tree back; the backup is then used up.
TEST_F(Restore, EveryFailedReadOrWriteKeepsTheBackupAndARerunCompletes) {
  MakeApplication();
  const bk::test::Snapshot before = TakeSnapshot(app);
  auto backupFiles = [&] { return TakeSnapshot(dir("UPI_AAAA")); };
  for (bk::io::IoKind kind : {bk::io::IoKind::kWrite, bk::io::IoKind::kRead}) {
    ASSERT_EQ(Backup(app), 0u);
    Install();
    bk::io::ArmFaultForTest(kind, 0);
    ASSERT_EQ(Run(), 0u);
    const long calls = bk::io::CountForTest(kind);
    ASSERT_GT(calls, 2);
    for (long n = 1; n <= calls; ++n) {
      SCOPED_TRACE((kind == bk::io::IoKind::kWrite ? "write " : "read ") + std::to_string(n));
      ASSERT_EQ(Backup(app), 0u);
      Install();
      const std::string records = ReadFile(mng());
      const bk::test::Snapshot saved = backupFiles();
      bk::io::ArmFaultForTest(kind, n);
      EXPECT_EQ(Run(), 2u);
      bk::io::ArmFaultForTest(kind, 0);
      EXPECT_TRUE(Logged("is kept for a rerun"));
      EXPECT_EQ(ReadFile(mng()), records);
      EXPECT_EQ(bk::test::SnapshotDiff(saved, backupFiles()), "");
      EXPECT_EQ(Run(), 0u);
      EXPECT_EQ(bk::test::SnapshotDiff(before, TakeSnapshot(app)), "");
      EXPECT_EQ(Run(), 1u);
    }
  }
}

TEST_F(Restore, AMarkerFileGoesWhateverTheResult) {
  WriteFile(root() + "\\BACKUPLD", "");
  EXPECT_EQ(Run(), 1u);
  EXPECT_FALSE(Exists(root() + "\\BACKUPLD"));
}

}  // namespace
