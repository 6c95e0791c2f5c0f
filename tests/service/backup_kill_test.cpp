// A backup killed part way ("bkrtool backup" ended at many points) never
// blocks its key: the next backup of the key gives 0, removing what the
// killed one left, and its restore gives the tree back; afterwards the root
// holds nothing of the killed backup.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>

#include "backup_root.h"
#include "bkrestore/bkrestore.h"
#include "platform/unique_handle.h"
#include "tree_snapshot.h"

namespace {

using bk::test::MakeDir;
using bk::test::RootEntries;
using bk::test::Mng;
using bk::test::TakeSnapshot;
using bk::test::WriteFile;

// Starts "bkrtool backup" of `folder` and ends it after `ms` milliseconds (if
// it still runs). True when it was still running.
bool RunAndKill(const std::string& folder, DWORD ms) {
  return bk::test::RunToolAndKill("backup RES_A 01 0001 \"" + folder + "\"", ms);
}

class KilledBackup : public bk::test::BackupRootTest {
 protected:
  void SetUp() override {
    BackupRootTest::SetUp();
    app = source.path() + "\\app";
    MakeDir(app);
    for (int d = 0; d < 6; ++d) {
      const std::string sub = app + "\\dir" + std::to_string(d);
      MakeDir(sub);
      for (int f = 0; f < 20; ++f)
        WriteFile(sub + "\\file" + std::to_string(f) + ".dat",
                  std::string(static_cast<std::size_t>(2000 + 1999 * f), static_cast<char>('a' + (d + f) % 26)));
    }
    WriteFile(mng(), Mng({}));
  }
  // BACKMNG holds a record whose directory has no marker.
  bool Finished() const {
    const std::string data = bk::test::ReadFile(mng());
    if (data.size() < kBkmnHeaderSize + kBkmnRecordSize) return false;
    return !bk::test::Exists(dir(data.substr(kBkmnHeaderSize + kBkmnDirectory, 8)) + "\\BACKRUN");
  }
  void Install() {
    for (int d = 0; d < 6; d += 2) WriteFile(app + "\\dir" + std::to_string(d) + "\\file3.dat", "installed");
    WriteFile(app + "\\dir1\\added.dat", "added");
  }

  bk::test::TempDir source;
  std::string app;
};

TEST_F(KilledBackup, TheNextBackupOfTheKeySucceedsAndRestores) {
  const bk::test::Snapshot before = TakeSnapshot(app);
  int killed = 0;
  for (DWORD ms : {10u, 30u, 60u, 100u, 150u, 220u, 320u, 480u}) {
    SCOPED_TRACE("killed after " + std::to_string(ms) + " ms");
    RunAndKill(app, ms);
    // A backup that got to its end before it was ended is a backup of the key
    // already; any other leaves nothing that blocks the key.
    const bool finished = Finished();
    if (!finished) ++killed;
    EXPECT_EQ(vskAPIBackup("RES_A", "01", "0001", app.c_str()), finished ? 1u : 0u);
    Install();
    EXPECT_EQ(vskAPIRestore("RES_A", "01", "0001"), 0u);
    EXPECT_EQ(bk::test::SnapshotDiff(before, TakeSnapshot(app)), "");
    EXPECT_EQ(bk::test::ReadFile(mng()), Mng({}));
    EXPECT_EQ(RootEntries(root()), std::set<std::string>{});
  }
  EXPECT_GT(killed, 2) << "too few backups were ended part way";
}

}  // namespace
