// Deleting backups: vskAPIDelBackup (every record of the key, through the work
// copy) and vskCheckDelBackup (the protect-until date).
#include <gtest/gtest.h>

#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "backup_root.h"
#include "platform/file_commit.h"
#include "service/service.h"
#include "softwarelist/uplistd.h"

namespace {

using bk::test::Exists;
using bk::test::Mng;
using bk::test::MngHeader;
using bk::test::MngRecord;
using bk::test::ReadFile;
using bk::test::WriteFile;

const std::string kA = MngRecord("RES_A", "01", "0001", "UPI_AAAA");
const std::string kB = MngRecord("RES_B", "01", "0001", "UPI_AAAB");
const std::string kA2 = MngRecord("res_a", "01", "0001", "UPI_AAAC");  // the same key in other letters

std::string ListEntry(const std::string& package, const std::string& backupDate) {
  std::string e(kSyscEntrySize, '\0');
  e[kSyscType] = 'S';
  e.replace(kSyscPackageName, package.size(), package);
  e.replace(kSyscInstallDate, 12, "250101000001");
  e.replace(kSyscBackupDate, 12, backupDate);
  e[kSyscStatus] = static_cast<char>(kSyscStatusInstalled);
  return e;
}

std::string Today() {
  SYSTEMTIME now;
  ::GetSystemTime(&now);
  char text[16];
  std::snprintf(text, sizeof text, "%4d%2d%2d", now.wYear, now.wMonth, now.wDay);
  return text;
}

class BackupDeletion : public bk::test::BackupRootTest {
 protected:
  void Arrange(const std::string& data) {
    WriteFile(mng(), data);
    for (const char* name : {"UPI_AAAA", "UPI_AAAB", "UPI_AAAC"}) MakeBackupDir(name);
  }
  std::string uplistd() const { return install / "MASTER\\DB\\UPLISTD.BON"; }
  void ArrangeList() {
    bk::test::MakeDir(install / "MASTER");
    bk::test::MakeDir(install / "MASTER\\DB");
    WriteFile(uplistd(), ListEntry("VEL.PKG.RES_A", "250101000001") + ListEntry("VEL.PKG.RES_B", "250101000002"));
  }
};

TEST_F(BackupDeletion, RemovesEveryRecordOfTheKey) {
  Arrange(MngHeader(9) + kA + kB + kA2);  // the header is decremented, not recounted
  ArrangeList();
  EXPECT_EQ(vskAPIDelBackup("RES_A", "01", "0001"), 0);
  EXPECT_EQ(ReadFile(mng()), MngHeader(7) + kB);
  EXPECT_FALSE(Exists(dir("UPI_AAAA")));
  EXPECT_TRUE(Exists(dir("UPI_AAAB")));
  EXPECT_TRUE(Exists(dir("UPI_AAAC")));  // only the first match's directory is removed
  EXPECT_FALSE(Exists(work()));
  // The resource's list entry no longer shows a backup; the other keeps its date.
  EXPECT_EQ(ReadFile(uplistd()), ListEntry("VEL.PKG.RES_A", "            ") + ListEntry("VEL.PKG.RES_B", "250101000002"));
}

TEST_F(BackupDeletion, ResultCodesOfTheUnconditionalDeletion) {
  const std::string old = Mng({kA, kB});
  struct Case {
    const char* what;
    std::function<void()> arrange;
    int result;
    std::string line;  // last line of CLIENT.LOG, or its start
  } cases[] = {
      {"absent key", [this] { Arrange(Mng({kB})); }, 10, ""},
      {"header only", [this] { Arrange(MngHeader(0)); }, 10, ""},
      {"no management file", [] {}, 10,
       "ERROR_BACKUPMNGFILE_NOT_FOUND(" + mng() + "),errno=2"},
      {"work copy cannot be removed",
       [this] {
         Arrange(Mng({kA}));
         bk::test::MakeDir(work());
         WriteFile(work() + "\\x", "x");
       },
       30, "ERROR__unlink path = " + work() + ",errno=13"},
      {"shorter than the header", [this] { Arrange("\x01"); }, 30,
       "ERROR_NOT_READ_BACKUPMNGFILE, 1 BytesRead, 2 BytesToRead"},
      {"trailing fragment", [this] { Arrange(Mng({kA}) + "fragment"); }, 1,
       "ERROR__read path = " + mng() + ", 905 bytes, not a header and whole records"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bk::test::RemoveTree(root());
    bk::test::MakeDir(root());
    c.arrange();
    const std::string before = Exists(mng()) ? ReadFile(mng()) : "";
    EXPECT_EQ(vskAPIDelBackup("RES_A", "01", "0001"), c.result);
    if (!c.line.empty()) {
      EXPECT_EQ(LastLine(), c.line);
    }
    EXPECT_EQ(Exists(mng()) ? ReadFile(mng()) : "", before);
    // Nothing is deleted from a file that is not whole records.
    EXPECT_TRUE(Exists(dir("UPI_AAAA")) || c.result == 10);
  }
  bk::test::RemoveTree(work());
  EXPECT_TRUE(Logged("C library error occurred. Error 2, Info: _stat: Path=" + mng()));

  registry.Set("RestoreBackupPath", install / "NO\\BACKUP");  // one level is created, two are not
  vskEnvLoad();
  EXPECT_EQ(vskAPIDelBackup("RES_A", "01", "0001"), 5);
  EXPECT_EQ(LastLine().find("ERROR_BACKUPPATH_NOT_FOUND(" + install / "NO\\BACKUP" + "),errno="), 0u);
}

// Writes to BACKMNGW made to fail: nothing is committed.
int g_calls = 0;
int g_failCall = 0;
int FailingWrite(int fd, const void* data, unsigned int size) {
  if (++g_calls == g_failCall) {
    errno = ENOSPC;
    return -1;
  }
  return ::_write(fd, data, size);
}
// Another program holds BACKMNG open for the first g_refusals replaces.
int g_refusals = 0;
int g_moves = 0;
DWORD g_paused = 0;
BOOL WINAPI RefusedMove(LPCSTR from, LPCSTR to, DWORD flags) {
  if (++g_moves <= g_refusals) {
    ::SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  return ::MoveFileExA(from, to, flags);
}
void WINAPI CountedPause(DWORD ms) { g_paused += ms; }

TEST_F(BackupDeletion, FailedWritesCommitNothing) {
  const std::string old = Mng({kB, kA, kB});
  struct Case {
    int failCall;
    int result;
    std::string line;
  } cases[] = {
      {1, 30, "ERROR_NOT_WRITE_BACKUPCPYMNGFILE,errno=28"},  // header
      {2, 1, "ERROR_NOT_WRITE_BACKUPCPYMNGFILE,errno=28"},   // first record
      {3, 1, "ERROR_NOT_WRITE_BACKUPCPYMNGFILE,errno=28"},   // header decrement
      {4, 1, "ERROR_NOT_WRITE_BACKUPCPYMNGFILE,errno=28"},   // record after the removed one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failCall);
    Arrange(old);
    bk::win::WorkCopyOpsTable().writeFd = FailingWrite;
    g_calls = 0;
    g_failCall = c.failCall;
    EXPECT_EQ(vskAPIDelBackup("RES_A", "01", "0001"), c.result);
    EXPECT_EQ(LastLine(), c.line);
    EXPECT_EQ(ReadFile(mng()), old);
    EXPECT_FALSE(Exists(work()));
  }
  EXPECT_TRUE(Logged("C library error occurred. Error 28, Info: _write:Path=" + work()));
}

// A replace of BACKMNG refused because another program reads it is retried
// for a bounded time, each retry logged; refused to the end, the deletion
// fails with the record still listed (its directory is gone).
TEST_F(BackupDeletion, AReplaceRefusedByAReaderIsRetriedThenFails) {
  struct Case {
    int refusals;
    int result;
    std::vector<std::string> left;
  } cases[] = {
      {0, 0, {kB}},
      {3, 0, {kB}},
      {100, 1, {kA, kB}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusals);
    Arrange(Mng({kA, kB}));
    bk::win::WorkCopyOpsTable().moveFileEx = RefusedMove;
    bk::win::WorkCopyOpsTable().sleep = CountedPause;
    g_refusals = c.refusals;
    g_moves = 0;
    g_paused = 0;
    EXPECT_EQ(vskAPIDelBackup("RES_A", "01", "0001"), c.result);
    EXPECT_EQ(ReadFile(mng()), Mng(c.left));
    EXPECT_FALSE(Exists(work()));
    EXPECT_FALSE(Exists(dir("UPI_AAAA")));
    if (c.refusals > 0) {
      EXPECT_TRUE(Logged("Commit Retry: MoveFileEx(" + work() + " To " + mng() +
                         ") GetLastError=32, retry 1 of 9 in 10 ms"));
    }
  }
  // The last case: bounded in tries and in time.
  EXPECT_EQ(g_moves, 10);
  EXPECT_LT(g_paused, 5000u);
  EXPECT_EQ(LastLine(), "ERROR_CopyFile GetLastError = 32");
  EXPECT_TRUE(Logged("Windows API error occurred. Error 32, Info: CopyFile: " + work() + " To " + mng()));
}

TEST_F(BackupDeletion, CheckedDeletionHonoursTheProtectUntilDate) {
  struct Case {
    std::string protectUntil;
    int result;
  } cases[] = {
      {"", 0},            // eight zero bytes never protect
      {"2001 1 1", 0},
      {Today(), 0},       // protected until today: today may delete it
      {"2999 1 1", 1},
      {"9999", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.protectUntil);
    const std::string record = MngRecord("RES_A", "01", "0001", "UPI_AAAA", c.protectUntil);
    Arrange(Mng({kB, record}));
    EXPECT_EQ(vskCheckDelBackup("Res_A", "01", "0001"), c.result);
    if (c.result == 1) {
      EXPECT_EQ(LastLine(), "This Backup must not be deleted in vskCheckDelBackup.");
      EXPECT_EQ(ReadFile(mng()), Mng({kB, record}));
      EXPECT_TRUE(Exists(dir("UPI_AAAA")));
    } else {
      EXPECT_EQ(ReadFile(mng()), Mng({kB}));
      EXPECT_FALSE(Exists(dir("UPI_AAAA")));
    }
    EXPECT_TRUE(Exists(dir("UPI_AAAB")));
  }
}

TEST_F(BackupDeletion, CheckedDeletionReportsWhatItCouldNotDelete) {
  Arrange(MngHeader(0));
  EXPECT_EQ(vskCheckDelBackup("RES_A", "01", "0001"), 2);
  EXPECT_EQ(ReadFile(mng()), MngHeader(0));
  EXPECT_EQ(LastLine(), "No Backup Exist in vskBKRVOpenBKMN.");

  Arrange(Mng({kB}));
  EXPECT_EQ(vskCheckDelBackup("RES_A", "01", "0001"), 2);
  EXPECT_EQ(ReadFile(mng()), Mng({kB}));

  // Only the first record of the key is looked at.
  Arrange(Mng({kA, kA2}));
  const HANDLE held = ::CreateFileA((dir("UPI_AAAA") + "\\BACKRSC").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(vskCheckDelBackup("RES_A", "01", "0001"), 2);
  ::CloseHandle(held);
  EXPECT_EQ(ReadFile(mng()), Mng({kA, kA2}));
  EXPECT_TRUE(Exists(dir("UPI_AAAC")));
}

}  // namespace
