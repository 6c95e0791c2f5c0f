// A restore killed part way (the process ends in the middle of putting files
// back) keeps its backup and is run again and completes: the backup is
// deleted only after everything was put back, and the archive is never
// changed by a restore.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "backup_root.h"
#include "bkrestore/bkrestore.h"
#include "tree_snapshot.h"

namespace {

using bk::test::MakeDir;
using bk::test::Mng;
using bk::test::TakeSnapshot;
using bk::test::WriteFile;

// Starts "bkrtool restore" and ends it after `ms` milliseconds (if it still
// runs). True when it was still running.
bool RunAndKill(DWORD ms) { return bk::test::RunToolAndKill("restore RES_A 01 0001", ms); }

class KilledRestore : public bk::test::BackupRootTest {
 protected:
  void SetUp() override {
    BackupRootTest::SetUp();
    app = source.path() + "\\app";
    MakeDir(app);
    for (int d = 0; d < 10; ++d) {
      const std::string sub = app + "\\dir" + std::to_string(d);
      MakeDir(sub);
      for (int f = 0; f < 30; ++f)
        WriteFile(sub + "\\file" + std::to_string(f) + ".dat",
                  std::string(static_cast<std::size_t>(1000 + 997 * f), static_cast<char>('a' + f % 26)));
    }
    WriteFile(mng(), Mng({}));
  }
  void Install() {
    for (int d = 0; d < 10; d += 2) WriteFile(app + "\\dir" + std::to_string(d) + "\\file3.dat", "installed");
    WriteFile(app + "\\dir1\\added.dat", "added");
  }

  bk::test::TempDir source;
  std::string app;
};

TEST_F(KilledRestore, RunAgainItCompletes) {
  const bk::test::Snapshot before = TakeSnapshot(app);
  int killed = 0;
  for (DWORD ms : {40u, 120u, 250u, 500u, 900u}) {
    SCOPED_TRACE("killed after " + std::to_string(ms) + " ms");
    ASSERT_EQ(vskAPIBackup("RES_A", "01", "0001", app.c_str()), 0u);
    Install();
    if (RunAndKill(ms)) {
      ++killed;
      // Ended part way, the backup is still there to finish the job with,
      // unless the restore had put everything back and was deleting it.
      const bool kept = bk::test::ReadFile(mng()).size() > 2 && bk::test::Exists(dir("UPI_AAAA") + "\\BACKRSC");
      EXPECT_TRUE(kept || bk::test::SnapshotDiff(before, TakeSnapshot(app)).empty());
    }
    const std::uint32_t again = vskAPIRestore("RES_A", "01", "0001");
    // 1 only when the first run had finished before it could be ended.
    EXPECT_TRUE(again == 0 || again == 1) << again;
    EXPECT_EQ(bk::test::SnapshotDiff(before, TakeSnapshot(app)), "");
    EXPECT_EQ(bk::test::ReadFile(mng()), Mng({}));
  }
  EXPECT_GT(killed, 0) << "no restore was ended part way";
}

}  // namespace
