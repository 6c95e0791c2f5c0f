// The administrator's commands `backups` and `delete-backup`, run as a
// separate program on backup roots made by hand.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "backup_root.h"
#include "service/backup_progress.h"
#include "support/tool_run.h"

namespace {

using bk::test::Exists;
using bk::test::Mng;
using bk::test::MngHeader;
using bk::test::MngRecord;
using bk::test::ReadFile;
using bk::test::WriteFile;

using bk::test::ToolRun;

class Bkrtool : public bk::test::BackupRootTest {
 protected:
  ToolRun Tool(const std::string& arguments) { return bk::test::RunBeside("bkrtool.exe", arguments); }

  bk::test::TempDir output;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A path as a JSON string (backslashes doubled).
std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return out + "\"";
}

// A reader of another program: closes the file a moment after the work copy
// that is to replace it has appeared.
struct Reader {
  HANDLE file;
  std::string work;
};
DWORD WINAPI CloseLater(void* context) {
  auto* reader = static_cast<Reader*>(context);
  for (int i = 0; i < 3000 && !Exists(reader->work); ++i) ::Sleep(10);
  ::Sleep(200);
  ::CloseHandle(reader->file);
  return 0;
}

TEST_F(Bkrtool, BackupsListsARootWithoutChangingIt) {
  const std::string other = output / "OTHERROOT";
  bk::test::MakeDir(other);
  bk::test::MakeDir(other + "\\UPI_AAAA");
  const std::string data = Mng({MngRecord("RES_A", "01", "0001", "UPI_AAAA", "2999 1 1", "250101120000"),
                                MngRecord("RES_B", "02", "0002", "UPI_AAAB"),
                                MngRecord("RES_C", "03", "3", "..\\X"),
                                MngRecord("RES_D", "04", "4", "UPI_AAA.")});
  WriteFile(other + "\\BACKMNG", data);

  ToolRun run = Tool("backups --root \"" + other + "\"");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_TRUE(Has(run.out, "backup root: " + other + "\r\n")) << run.out;
  EXPECT_TRUE(Has(run.out, "(header count 4, 4 records)")) << run.out;
  EXPECT_TRUE(Has(run.out, "RES_A")) << run.out;
  EXPECT_TRUE(Has(run.out, " 01       0001 UPI_AAAA yes    2999 1 1      250101120000")) << run.out;
  EXPECT_TRUE(Has(run.out, " 02       0002 UPI_AAAB no     -             -")) << run.out;
  EXPECT_TRUE(Has(run.out, "note: directory name \"..\\X\" is not a plain name")) << run.out;
  // Windows would take it for UPI_AAA: not the form the service writes.
  EXPECT_TRUE(Has(run.out, "note: directory name \"UPI_AAA.\" is not a plain name")) << run.out;
  EXPECT_EQ(run.err, "");

  run = Tool("backups --json --root=\"" + other + "\"");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_TRUE(Has(run.out, "\"headerCount\": 4, \"recordCount\": 4, \"truncated\": false, \"leftoverBytes\": 0"))
      << run.out;
  EXPECT_TRUE(Has(run.out, "{\"index\": 1, \"name\": \"RES_A\", \"version\": \"01\", \"generation\": \"0001\", "
                           "\"directory\": \"UPI_AAAA\", \"directoryPath\": " +
                               Json(other + "\\UPI_AAAA") +
                               ", \"directoryExists\": true, \"protectUntil\": \"2999 1 1\", "
                               "\"installDate\": \"250101120000\", \"state\": \"finished\"}"))
      << run.out;
  EXPECT_TRUE(Has(run.out, "\"directoryExists\": false, \"protectUntil\": null, \"installDate\": null, "
                           "\"state\": \"finished\"}"))
      << run.out;
  EXPECT_TRUE(Has(run.out, "\"directory\": \"..\\\\X\", \"directoryPath\": null")) << run.out;
  EXPECT_EQ(ReadFile(other + "\\BACKMNG"), data);
  EXPECT_FALSE(Exists(other + "\\BACKMNGW"));
}

// A backup whose directory still holds the marker is being made while some
// process holds its key's lock, else interrupted.
TEST_F(Bkrtool, BackupsTellsUnfinishedBackups) {
  for (const char* d : {"UPI_AAAA", "UPI_AAAB", "UPI_AAAC"}) MakeBackupDir(d);
  WriteFile(dir("UPI_AAAA") + "\\BACKRUN", "");
  WriteFile(dir("UPI_AAAB") + "\\BACKRUN", "");
  WriteFile(mng(), Mng({MngRecord("RES_A", "01", "0001", "UPI_AAAA"), MngRecord("RES_B", "01", "0001", "UPI_AAAB"),
                        MngRecord("RES_C", "01", "0001", "UPI_AAAC")}));
  char lockName[160];
  ASSERT_TRUE(vskBackupKeyLockName("res_a", "01", "0001", lockName, sizeof lockName));
  const bk::test::LockHeldElsewhere maker(lockName);

  ToolRun run = Tool("backups");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_TRUE(Has(run.out, "note: UPI_AAAA is a backup being made")) << run.out;
  EXPECT_TRUE(Has(run.out, "note: UPI_AAAB is an interrupted backup (no process is making it)")) << run.out;
  EXPECT_FALSE(Has(run.out, "note: UPI_AAAC")) << run.out;
  run = Tool("backups --json");
  EXPECT_TRUE(Has(run.out, "\"name\": \"RES_A\"") && Has(run.out, "\"state\": \"being made\"}")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"state\": \"interrupted\"}")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"state\": \"finished\"}")) << run.out;
}

TEST_F(Bkrtool, BackupsReportsMissingAndTruncatedFiles) {
  // The configured root, which does not exist: nothing is created.
  registry.Set("RestoreBackupPath", output / "NOROOT");
  ToolRun run = Tool("backups");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(Has(run.err, "bkrtool: no management file " + output / "NOROOT\\BACKMNG")) << run.err;
  EXPECT_FALSE(Exists(output / "NOROOT"));

  registry.Set("RestoreBackupPath", root());
  const std::string data = Mng({MngRecord("RES_A", "01", "0001", "UPI_AAAA")}) + std::string(100, 'f');
  WriteFile(mng(), data);
  run = Tool("backups");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(Has(run.out, "RES_A")) << run.out;
  EXPECT_TRUE(Has(run.err, mng() + " is truncated: 1 complete record(s) read, 100 byte(s) left over")) << run.err;
  run = Tool("backups --json");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(Has(run.out, "\"recordCount\": 1, \"truncated\": true, \"leftoverBytes\": 100")) << run.out;

  // The service refuses an empty file: so does the tool.
  WriteFile(mng(), "");
  run = Tool("backups");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(Has(run.out, "(no header)")) << run.out;
  EXPECT_TRUE(Has(run.err, mng() + " is damaged: it is empty (no header)")) << run.err;

  WriteFile(mng(), "\x01");
  run = Tool("backups");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(Has(run.err, "is truncated: no header, 0 complete record(s) read, 1 byte(s) left over")) << run.err;
  EXPECT_EQ(ReadFile(mng()), "\x01");

  run = Tool("backups --bogus");
  EXPECT_EQ(run.exitCode, 2u);
}

TEST_F(Bkrtool, DeleteBackupRunsTheUnconditionalDeletion) {
  MakeBackupDir("UPI_AAAA");
  MakeBackupDir("UPI_AAAB");
  const std::string b = MngRecord("RES_B", "01", "0001", "UPI_AAAB");
  WriteFile(mng(), Mng({MngRecord("RES_A", "01", "0001", "UPI_AAAA"), b}));

  ToolRun run = Tool("delete-backup res_a 01 0001");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_TRUE(Has(run.out, "res_a 01 0001: deleted")) << run.out;
  EXPECT_EQ(ReadFile(mng()), Mng({b}));
  EXPECT_FALSE(Exists(dir("UPI_AAAA")));
  EXPECT_TRUE(Exists(dir("UPI_AAAB")));

  run = Tool("delete-backup RES_A 01 0001");
  EXPECT_EQ(run.exitCode, 10u);
  EXPECT_TRUE(Has(run.out, "not found")) << run.out;

  WriteFile(mng(), Mng({b}) + "x");
  run = Tool("delete-backup RES_B 01 0001");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(Exists(dir("UPI_AAAB")));

  // Another program reads BACKMNG for a moment, without delete sharing: the
  // replace is retried until it has closed the file.
  MakeBackupDir("UPI_AAAD");
  WriteFile(mng(), Mng({b, MngRecord("RES_D", "01", "0001", "UPI_AAAD")}));
  {
    Reader reader{::CreateFileA(mng().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr),
                  work()};
    ASSERT_NE(reader.file, INVALID_HANDLE_VALUE);
    HANDLE closer = ::CreateThread(nullptr, 0, CloseLater, &reader, 0, nullptr);
    run = Tool("delete-backup RES_D 01 0001");
    ::WaitForSingleObject(closer, 60000);
    ::CloseHandle(closer);
  }
  EXPECT_EQ(run.exitCode, 0u) << run.out;
  EXPECT_EQ(ReadFile(mng()), Mng({b}));
  EXPECT_TRUE(Logged("Commit Retry: MoveFileEx(" + work() + " To " + mng() + ")"));

  // Held for longer than the retries last: the final copy over it fails, the
  // deletion fails, and the tool tells what happened.
  MakeBackupDir("UPI_AAAC");
  const std::string c = MngRecord("RES_C", "01", "0001", "UPI_AAAC");
  WriteFile(mng(), Mng({b, c}));
  const HANDLE held = ::CreateFileA(mng().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  run = Tool("delete-backup RES_C 01 0001");
  ::CloseHandle(held);
  EXPECT_EQ(run.exitCode, 3u) << run.out;
  EXPECT_TRUE(Has(run.out, "its record is still listed in BACKMNG")) << run.out;
  EXPECT_FALSE(Has(run.out, "records are gone")) << run.out;
  EXPECT_EQ(ReadFile(mng()), Mng({b, c}));
  EXPECT_FALSE(Exists(dir("UPI_AAAC")));

  run = Tool("delete-backup RES_B 01");
  EXPECT_EQ(run.exitCode, 2u);
  run = Tool("delete-backup RES_B 01 00001");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(Has(run.err, "GENERATION")) << run.err;
}

}  // namespace
