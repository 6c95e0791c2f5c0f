// A backup root on a small file system (a 1 MiB tmpfs, drive Y: of the
// prefix; see small_disk.sh) that fills during a backup: the backup gives 1,
// BACKMNG and the root are as before, an earlier backup still restores, and
// the same key backs up once space is free again.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "backup_root.h"
#include "bkrestore/bkrestore.h"
#include "platform/unique_handle.h"
#include "tree_snapshot.h"

namespace {

using bk::test::Exists;
using bk::test::MakeDir;
using bk::test::Mng;
using bk::test::ReadFile;
using bk::test::TakeSnapshot;
using bk::test::WriteFile;

constexpr char kDrive[] = "Y:\\";

// Bytes no codec can shrink.
std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string data(size, '\0');
  for (char& c : data) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    c = static_cast<char>(seed >> 24);
  }
  return data;
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  WIN32_FIND_DATAA found;
  bk::win::unique_hfind search(::FindFirstFileA((folder + "\\*").c_str(), &found));
  if (!search) return names;
  do names.insert(found.cFileName);
  while (::FindNextFileA(search.get(), &found));
  return names;
}

std::uint64_t FreeBytes() {
  ULARGE_INTEGER free{};
  ::GetDiskFreeSpaceExA(kDrive, &free, nullptr, nullptr);
  return free.QuadPart;
}

class FullDisk : public bk::test::BackupRootTest {
 protected:
  void SetUp() override {
    if (::GetFileAttributesA(kDrive) == INVALID_FILE_ATTRIBUTES) {
      const char* dir = std::getenv("BK_SMALL_DISK");
      std::string reason = "no small file system as drive Y: (run through ctest, which mounts it)";
      if (dir != nullptr) {
        std::string why = std::string("Z:") + dir + "/reason";
        for (char& c : why)
          if (c == '/') c = '\\';
        if (Exists(why)) reason = ReadFile(why);
      }
      std::fprintf(stderr, "\n*** SKIPPED: %s ***\n\n", reason.c_str());
      GTEST_SKIP() << reason;
    }
    BackupRootTest::SetUp();
  }
  void TearDown() override {
    if (IsSkipped()) return;
    bk::test::RemoveTree(smallRoot);
    ::DeleteFileA(filler.c_str());
    BackupRootTest::TearDown();
  }

  const std::string smallRoot = std::string(kDrive) + "BACKUP";
  const std::string filler = std::string(kDrive) + "filler";
  bk::test::TempDir source;
};

TEST_F(FullDisk, AFailedBackupLeavesTheRootAsItWasAndTheKeyFree) {
  registry.Set("RestoreBackupPath", smallRoot);
  vskEnvLoad();
  MakeDir(smallRoot);
  WriteFile(smallRoot + "\\BACKMNG", Mng({}));
  const std::string old = source / "old", big = source / "big";
  MakeDir(old);
  WriteFile(old + "\\a.txt", "an earlier backup");
  MakeDir(big);
  MakeDir(big + "\\sub");
  for (int f = 0; f < 6; ++f) WriteFile(big + "\\sub\\f" + std::to_string(f) + ".bin", Noise(100000, 7u + f));
  const bk::test::Snapshot oldTree = TakeSnapshot(old), bigTree = TakeSnapshot(big);
  ASSERT_EQ(vskAPIBackup("OLD", "01", "0001", old.c_str()), 0u);

  // What is left is far less than the big folder needs.
  const std::uint64_t free = FreeBytes();
  ASSERT_GT(free, 300000u);
  WriteFile(filler, std::string(static_cast<std::size_t>(free - 200000), 'f'));
  const std::string mngBefore = ReadFile(smallRoot + "\\BACKMNG");
  const std::set<std::string> rootBefore = Names(smallRoot);

  EXPECT_EQ(vskAPIBackup("BIG", "01", "0001", big.c_str()), 1u);
  EXPECT_EQ(ReadFile(smallRoot + "\\BACKMNG"), mngBefore);
  EXPECT_EQ(Names(smallRoot), rootBefore);
  EXPECT_TRUE(Logged("Error in vskarCreateArcFileEx"));
  EXPECT_TRUE(Logged("Error 112, Info: WriteFile")) << "the disk's own error is reported";
  // The space the failed backup took is free again.
  EXPECT_GE(FreeBytes() + 8192, 200000u);

  ASSERT_TRUE(::DeleteFileA(filler.c_str()));
  ASSERT_EQ(vskAPIBackup("BIG", "01", "0001", big.c_str()), 0u);
  WriteFile(big + "\\sub\\f1.bin", "installed over");
  EXPECT_EQ(vskAPIRestore("BIG", "01", "0001"), 0u);
  EXPECT_EQ(bk::test::SnapshotDiff(bigTree, TakeSnapshot(big)), "");
  WriteFile(old + "\\a.txt", "installed over");
  EXPECT_EQ(vskAPIRestore("OLD", "01", "0001"), 0u);
  EXPECT_EQ(bk::test::SnapshotDiff(oldTree, TakeSnapshot(old)), "");
  EXPECT_EQ(ReadFile(smallRoot + "\\BACKMNG"), Mng({}));
}

}  // namespace
