// The administrator's commands around the main job, run as a separate
// program: backups --init, backup, list of a backup's archive, verify on the
// backup, on a damaged copy and against checksums it does not match, restore,
// tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/ar_sums.h"
#include "backup_root.h"
#include "support/tool_run.h"

namespace {

using bk::test::Exists;
using bk::test::MakeDir;
using bk::test::ReadFile;
using bk::test::WriteFile;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class BkrtoolService : public bk::test::BackupRootTest {
 protected:
  bk::test::ToolRun Tool(const std::string& arguments) { return bk::test::RunBeside("bkrtool.exe", arguments); }
  bk::test::TempDir output, source;
};

TEST_F(BkrtoolService, BackupVerifyListAndRestore) {
  const std::string app = source / "app";
  MakeDir(app);
  MakeDir(app + "\\sub");
  WriteFile(app + "\\a.txt", "alpha");
  WriteFile(app + "\\sub\\b.txt", std::string(100000, 'b'));

  // A fresh root has no management file; --init makes one and never replaces it.
  auto run = Tool("backups --init");
  ASSERT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(ReadFile(mng()), std::string(2, '\0'));
  EXPECT_EQ(Tool("backups --init").exitCode, 2u);

  run = Tool("backup RES_A 01 0001 \"" + app + "\"");
  ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "backed up")) << run.out;
  EXPECT_TRUE(Has(run.out, "backup directory: " + dir("UPI_AAAA"))) << run.out;
  EXPECT_TRUE(Has(run.out, "saved paths: 1, added paths: 0")) << run.out;
  EXPECT_TRUE(Has(run.out, "100005 bytes saved")) << run.out;

  run = Tool("list \"" + dir("UPI_AAAA") + "\\BACKRSC\"");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_TRUE(Has(run.out, "sub/b.txt")) << run.out;

  run = Tool("verify RES_A 01 0001");
  EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, ": sound")) << run.out;

  // A damaged copy: verify says what is wrong and changes nothing.
  const std::string archive = dir("UPI_AAAA") + "\\BACKRSC";
  const std::string good = ReadFile(archive);
  std::string damaged = good;
  damaged.resize(damaged.size() - 10);
  WriteFile(archive, damaged);
  run = Tool("verify RES_A 01 0001");
  EXPECT_EQ(run.exitCode, 1u) << run.out;
  EXPECT_TRUE(Has(run.out, ": defective")) << run.out;
  EXPECT_EQ(ReadFile(archive), damaged);
  WriteFile(archive, good);

  // Checksums the archive does not match: the entry is named, by the backup
  // and by the archive's own path; damaged checksums are reported as such.
  const std::string sumsPath = dir("UPI_AAAA") + "\\BACKSUM";
  const std::string sumsGood = ReadFile(sumsPath);
  bk::ar::ArchiveSums sums;
  ASSERT_EQ(bk::ar::DecodeSums(reinterpret_cast<const unsigned char*>(sumsGood.data()), sumsGood.size(), &sums, nullptr),
            bk::ar::kArOk);
  sums.entryCrcs.back() ^= 1;
  const std::vector<unsigned char> other = bk::ar::EncodeSums(sums);
  WriteFile(sumsPath, std::string(other.begin(), other.end()));
  for (const std::string& target : {std::string("RES_A 01 0001"), "\"" + archive + "\""}) {
    run = Tool("verify " + target);
    EXPECT_EQ(run.exitCode, 1u) << run.out;
    EXPECT_TRUE(Has(run.out, "defective (result 15): entry " + std::to_string(sums.entryCrcs.size()))) << run.out;
    EXPECT_TRUE(Has(run.out, ") differs from its checksum")) << run.out;
  }
  WriteFile(sumsPath, sumsGood.substr(0, 20));
  run = Tool("verify --json RES_A 01 0001");
  EXPECT_EQ(run.exitCode, 1u) << run.out;
  EXPECT_TRUE(Has(run.out, "\"checksums\":\"damaged\"")) << run.out;
  WriteFile(sumsPath, sumsGood);
  run = Tool("verify RES_A 01 0001");
  EXPECT_TRUE(Has(run.out, "checksums matched")) << run.out;

  const std::string before = Tool("tree \"" + app + "\"").out;
  WriteFile(app + "\\a.txt", "changed");
  WriteFile(app + "\\added.txt", "added");
  EXPECT_NE(Tool("tree \"" + app + "\"").out, before);
  run = Tool("restore RES_A 01 0001");
  EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "restored")) << run.out;
  EXPECT_EQ(Tool("tree \"" + app + "\"").out, before);
  EXPECT_FALSE(Exists(dir("UPI_AAAA")));
  EXPECT_EQ(Tool("restore RES_A 01 0001").exitCode, 1u);
}

}  // namespace
