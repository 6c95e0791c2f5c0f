// A backup and a restore of a folder under C:\windows\system32 through the
// shipped DLL. A 32-bit process on 64-bit Windows that names that folder
// reaches SysWOW64's folder of the same name; archive creation and extraction
// switch redirection off, so the backup saves what really lies in the system
// folder, the restore puts it back there and leaves SysWOW64's folder alone,
// and every exit switches redirection on again for the calling thread. A
// 64-bit process sees no redirection at all, and the same results hold.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "backup_root.h"
#include "bkrestore/bkrestore.h"
#include "platform/unique_handle.h"
#include "support/system_folders.h"
#include "tree_snapshot.h"

namespace {

using bk::test::MakeDir;
using bk::test::Mng;
using bk::test::NativeSystemView;
using bk::test::ReadFile;
using bk::test::Snapshot;
using bk::test::SnapshotDiff;
using bk::test::TakeSnapshot;
using bk::test::WriteFile;

// Which folder a thread reaches by the name C:\windows\system32\<name> while
// redirection is on: SysWOW64's in a 32-bit process, the system folder's own
// in a 64-bit one.
#if defined(_WIN64)
constexpr char kCallerReaches[] = "system32";
#else
constexpr char kCallerReaches[] = "SysWOW64";
#endif

class SystemFolder : public bk::test::BackupRootTest {
 protected:
  void SetUp() override {
    BackupRootTest::SetUp();
    WriteFile(mng(), Mng({}));
    {
      NativeSystemView native;
      WriteFile(folders.path() + "\\which.txt", "system32");
      WriteFile(folders.path() + "\\app.cfg", "setting=1");
      MakeDir(folders.path() + "\\sub");
      WriteFile(folders.path() + "\\sub\\data.bin", std::string(70000, 'n'));
      bk::test::SetTimes(folders.path() + "\\sub", 2019, 3, 4);
    }
    // Same names, other contents, and a file the system folder lacks.
    WriteFile(folders.wow64() + "\\which.txt", "SysWOW64");
    WriteFile(folders.wow64() + "\\app.cfg", "32-bit setting=1");
    MakeDir(folders.wow64() + "\\sub");
    WriteFile(folders.wow64() + "\\sub\\data.bin", "32-bit data");
    WriteFile(folders.wow64() + "\\only32.txt", "only in SysWOW64");
    nativeBefore = Native();
    wow64Before = TakeSnapshot(folders.wow64());
  }

  Snapshot Native() const {
    NativeSystemView native;
    return TakeSnapshot(folders.path());
  }
  std::string Reached() const { return ReadFile(folders.path() + "\\which.txt"); }
  // A file of the system folder itself held open without sharing, as a
  // running program holds its files.
  bk::win::unique_hfile HoldNative(const std::string& name) const {
    NativeSystemView native;
    return bk::win::unique_hfile(::CreateFileA((folders.path() + "\\" + name).c_str(), GENERIC_READ, 0, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
  }

  // What an installation does to the system folder.
  void Install() const {
    NativeSystemView native;
    WriteFile(folders.path() + "\\app.cfg", "setting=2");
    WriteFile(folders.path() + "\\added.txt", "added by the installation");
    ::DeleteFileA((folders.path() + "\\sub\\data.bin").c_str());
  }

  std::uint32_t Backup() const { return vskAPIBackup("RES_SYS", "01", "0001", folders.path().c_str()); }
  std::uint32_t Restore() const { return vskAPIRestore("RES_SYS", "01", "0001"); }

  bk::test::SystemFolderPair folders{"BkSystemFolder"};
  Snapshot nativeBefore, wow64Before;
};

TEST_F(SystemFolder, BackupAndRestoreReachTheSystemFolderItself) {
  ASSERT_EQ(Backup(), 0u);
  EXPECT_EQ(Reached(), kCallerReaches);
  Install();

  ASSERT_EQ(Restore(), 0u);
  EXPECT_EQ(Reached(), kCallerReaches);
  EXPECT_EQ(SnapshotDiff(nativeBefore, Native()), "");
  EXPECT_EQ(SnapshotDiff(wow64Before, TakeSnapshot(folders.wow64())), "");
}

TEST_F(SystemFolder, RedirectionIsOnAgainAfterAFailedBackupOrRestore) {
  {
    // Archive creation cannot read a file of the folder.
    const auto held = HoldNative("sub\\data.bin");
    ASSERT_TRUE(held);
    EXPECT_NE(Backup(), 0u);
    EXPECT_EQ(Reached(), kCallerReaches);
  }
  ASSERT_EQ(Backup(), 0u);
  Install();
  {
    // Extraction cannot write over a file of the folder (after its retries).
    const auto held = HoldNative("app.cfg");
    ASSERT_TRUE(held);
    EXPECT_EQ(Restore(), 2u);
    EXPECT_EQ(Reached(), kCallerReaches);
  }
}

}  // namespace
