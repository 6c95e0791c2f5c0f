// The delete check's list over BACKMNG: open, next, delete, close, and the
// commit of the remaining records through BACKMNGW.
#include <gtest/gtest.h>

#include <io.h>
#include <windows.h>

#include <cerrno>
#include <string>
#include <vector>

#include "backup_root.h"
#include "platform/file_commit.h"
#include "service/management_file.h"

namespace {

using bk::test::Exists;
using bk::test::Mng;
using bk::test::MngHeader;
using bk::test::MngRecord;
using bk::test::ReadFile;
using bk::test::WriteFile;

const std::string kA = MngRecord("RES_A", "01", "0001", "UPI_AAAA");
const std::string kB = MngRecord("RES_B", "01", "0001", "UPI_AAAB");
const std::string kC = MngRecord("RES_C", "01", "0001", "UPI_AAAC");

class ManagementList : public bk::test::BackupRootTest {
 protected:
  void Arrange(const std::string& data) {
    WriteFile(mng(), data);
    for (const char* name : {"UPI_AAAA", "UPI_AAAB", "UPI_AAAC"}) MakeBackupDir(name);
  }
  int Open() { return vskBKRVOpenBKMN(Buffer()); }
  int Next() { return vskBKRVNextBKMN(Buffer()); }
  int Delete() { return vskBKRVDeleteBKMN(Buffer()); }
  unsigned char* Buffer() { return reinterpret_cast<unsigned char*>(buffer.data()); }
  std::string Current() const { return buffer; }

  std::string buffer = std::string(kBkmnRecordSize, 'x');
};

TEST_F(ManagementList, OpenRefusesWhatItCannotIterate) {
  struct Case {
    const char* what;
    const char* data;  // null: no BACKMNG
    std::size_t size;
    std::string line;
  } cases[] = {
      {"missing file", nullptr, 0, " in vskBKRVOpenBKMN. path=" + mng() + ", errno=2"},
      {"shorter than the header", "\x01", 1, "File Size Error in vskBKRVOpenBKMN. path=" + mng()},
      {"header only", "\x03\x00", 2, "No Backup Exist in vskBKRVOpenBKMN."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bk::test::RemoveTree(mng());
    if (c.data != nullptr) WriteFile(mng(), std::string(c.data, c.size));
    EXPECT_EQ(Open(), 0);
    EXPECT_NE(LastLine().find(c.line), std::string::npos) << LastLine();
    EXPECT_EQ(Next(), 0);
    EXPECT_EQ(Delete(), 0);
    EXPECT_EQ(vskBKRVCloseBKMN(), 1);
    EXPECT_EQ(Exists(mng()), c.data != nullptr);
    if (c.data != nullptr) {
      EXPECT_EQ(ReadFile(mng()), std::string(c.data, c.size));
    }
  }
  EXPECT_TRUE(Logged("Windows API error occurred. Error 2, Info: _open: Path=" + mng()));
  EXPECT_TRUE(bk::test::SeenEvents().empty());
}

TEST_F(ManagementList, TrailingFragmentRefusesTheWholeFile) {
  const std::string data = Mng({kA}) + std::string(100, 'f');
  Arrange(data);
  EXPECT_EQ(Open(), 0);
  ASSERT_EQ(bk::test::SeenEvents().size(), 1u);
  const bk::test::SeenEvent& event = bk::test::SeenEvents()[0];
  EXPECT_EQ(event.code, 0xC0001B65u);
  EXPECT_EQ(event.category, "BKRV");
  EXPECT_EQ(event.text,
            "The Size of the ManagementFile of BackupFiles is abnormal:100 BytesRead, 895 BytesToRead, Path=" + mng());
  EXPECT_EQ(LastLine(), "File Size Error in vskBKRVOpenBKMN. path=" + mng());
  EXPECT_EQ(Delete(), 0);
  EXPECT_EQ(vskBKRVCloseBKMN(), 1);
  EXPECT_EQ(ReadFile(mng()), data);
  EXPECT_TRUE(Exists(dir("UPI_AAAA")));
}

TEST_F(ManagementList, TooManyRecordsForTheHeaderAreRefused) {
  std::string data = MngHeader(0x7FFF);
  data.reserve(2 + (kBkmnMaxRecords + 1) * kBkmnRecordSize);
  for (std::size_t i = 0; i <= kBkmnMaxRecords; ++i) data += kA;
  Arrange(data);
  EXPECT_EQ(Open(), 0);
  EXPECT_EQ(LastLine(), "File Size Error in vskBKRVOpenBKMN. path=" + mng());
  EXPECT_EQ(vskBKRVCloseBKMN(), 1);
}

TEST_F(ManagementList, DeleteUnlinksTheCurrentRecordAndCloseCommitsTheRest) {
  Arrange(MngHeader(7) + kA + kB + kC);  // the header's count is not trusted
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(Current(), kA);
  ASSERT_EQ(Next(), 1);
  EXPECT_EQ(Current(), kB);
  ASSERT_EQ(Delete(), 1);
  EXPECT_EQ(Current(), std::string(kBkmnRecordSize, '\0'));
  EXPECT_FALSE(Exists(dir("UPI_AAAB")));
  EXPECT_EQ(Next(), 1);  // the cursor already stands on the successor
  EXPECT_EQ(Current(), kC);
  EXPECT_EQ(Next(), 0);
  EXPECT_EQ(Next(), 0);
  EXPECT_EQ(vskBKRVCloseBKMN(), 1);
  EXPECT_EQ(ReadFile(mng()), Mng({kA, kC}));
  EXPECT_TRUE(Exists(dir("UPI_AAAA")));
  EXPECT_TRUE(Exists(dir("UPI_AAAC")));
  EXPECT_FALSE(Exists(work()));
}

TEST_F(ManagementList, DeleteNeedsACurrentRecord) {
  Arrange(Mng({kA, kB}));
  ASSERT_EQ(Open(), 1);
  ASSERT_EQ(Delete(), 1);
  EXPECT_EQ(Delete(), 0);  // two in a row: the second does nothing
  ASSERT_EQ(Next(), 1);
  EXPECT_EQ(Current(), kB);
  ASSERT_EQ(Delete(), 1);  // the last record
  EXPECT_EQ(Next(), 0);
  EXPECT_EQ(Delete(), 0);
  EXPECT_EQ(vskBKRVCloseBKMN(), 1);
  EXPECT_EQ(ReadFile(mng()), MngHeader(0));
  EXPECT_FALSE(Exists(dir("UPI_AAAA")));
  EXPECT_FALSE(Exists(dir("UPI_AAAB")));
  EXPECT_TRUE(Exists(dir("UPI_AAAC")));
}

TEST_F(ManagementList, CloseWithoutDeletionDoesNotRewrite) {
  Arrange(Mng({kA, kB}));
  const HANDLE file = ::CreateFileA(mng().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME old{0x12345678u, 0x01C00000u};
  ASSERT_TRUE(::SetFileTime(file, nullptr, nullptr, &old));
  ::CloseHandle(file);

  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(Next(), 1);
  EXPECT_EQ(Next(), 0);
  EXPECT_EQ(vskBKRVCloseBKMN(), 1);
  WIN32_FILE_ATTRIBUTE_DATA after;
  ASSERT_TRUE(::GetFileAttributesExA(mng().c_str(), GetFileExInfoStandard, &after));
  EXPECT_EQ(::CompareFileTime(&after.ftLastWriteTime, &old), 0);
  EXPECT_FALSE(Exists(work()));
}

TEST_F(ManagementList, RecordStaysWhenItsDirectoryCannotBeRemoved) {
  Arrange(Mng({kA, kB}));
  const HANDLE held = ::CreateFileA((dir("UPI_AAAA") + "\\BACKRSC").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(Delete(), 0);
  ::CloseHandle(held);
  EXPECT_EQ(Current(), kA);
  EXPECT_EQ(Next(), 1);
  EXPECT_EQ(Current(), kB);
  EXPECT_EQ(vskBKRVCloseBKMN(), 1);
  EXPECT_EQ(ReadFile(mng()), Mng({kA, kB}));

  // A record whose directory has gone already is simply unlinked.
  bk::test::RemoveTree(dir("UPI_AAAB"));
  ASSERT_EQ(Open(), 1);
  ASSERT_EQ(Next(), 1);
  EXPECT_EQ(Delete(), 1);
  EXPECT_EQ(vskBKRVCloseBKMN(), 1);
  EXPECT_EQ(ReadFile(mng()), Mng({kA}));
}

TEST_F(ManagementList, DirectoryNamesNeverReachOutsideTheRoot) {
  bk::test::MakeDir(install / "VICTIM");
  WriteFile(install / "VICTIM\\keep.txt", "kept");
  // Windows drops trailing dots and blanks: "UPI_AAA." names UPI_AAA, "    "
  // and "...." the root itself; the file system ignores case.
  MakeBackupDir("UPI_AAA");
  const std::vector<std::string> names = {"..\\VICTI", "*",    "UPI_*",    "C:\\",     "UPI_A?AA", "..",
                                          "",          "    ", "....",     "UPI_AAA.", "UPI_AAA ", ".",
                                          "upi_aaab",  "UPI_AAA", "UPI_AA1A", " UPI_AAA"};
  std::vector<std::string> records;
  for (const std::string& name : names) records.push_back(MngRecord("BAD", "1", "1", name));
  Arrange(Mng(records));
  ASSERT_EQ(Open(), 1);
  do {
    EXPECT_EQ(Delete(), 1);  // the record goes; no directory is touched
  } while (Next() == 1);
  EXPECT_EQ(vskBKRVCloseBKMN(), 1);
  EXPECT_EQ(ReadFile(mng()), MngHeader(0));
  EXPECT_EQ(ReadFile(install / "VICTIM\\keep.txt"), "kept");
  for (const char* name : {"UPI_AAAA", "UPI_AAAB", "UPI_AAAC", "UPI_AAA"}) EXPECT_TRUE(Exists(dir(name))) << name;
  EXPECT_TRUE(Logged("Invalid Backup Directory Name in vskBKRVDeleteBKMN. name=..\\VICTI"));
  EXPECT_TRUE(Logged("Invalid Backup Directory Name in vskBKRVDeleteBKMN. name=UPI_AAA."));
}

// Steps of the commit made to fail in turn.
int g_calls = 0;
int g_failCall = 0;
bool FailNow() { return ++g_calls == g_failCall; }
int FailingOpen(const char* path, int flags, int mode) {
  if (FailNow()) {
    errno = EACCES;
    return -1;
  }
  return ::_open(path, flags, mode);
}
int FailingWrite(int fd, const void* data, unsigned int size) {
  if (FailNow()) {
    errno = ENOSPC;
    return -1;
  }
  return ::_write(fd, data, size);
}
int StalledWrite(int fd, const void* data, unsigned int size) { return FailNow() ? 0 : ::_write(fd, data, size); }
HANDLE WINAPI FailingCreate(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}
BOOL WINAPI FailingFlush(HANDLE) {
  ::SetLastError(ERROR_IO_DEVICE);
  return FALSE;
}
BOOL WINAPI FailingMove(LPCSTR, LPCSTR, DWORD) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
void WINAPI NoPause(DWORD) {}

TEST_F(ManagementList, FailedCommitLeavesTheOldFileIntact) {
  struct Case {
    const char* what;
    void (*arrange)(bk::win::WorkCopyOps&);
    int failCall;
    std::string report;
  } cases[] = {
      {"work copy not created", [](bk::win::WorkCopyOps& o) { o.openFd = FailingOpen; }, 1,
       "C library error occurred. Error 13, Info: _open: Path=" + work()},
      {"header not written", [](bk::win::WorkCopyOps& o) { o.writeFd = FailingWrite; }, 1,
       "C library error occurred. Error 28, Info: _write: Path=" + work()},
      {"second record not written", [](bk::win::WorkCopyOps& o) { o.writeFd = FailingWrite; }, 3,
       "C library error occurred. Error 28, Info: _write: Path=" + work()},
      {"write stalls", [](bk::win::WorkCopyOps& o) { o.writeFd = StalledWrite; }, 2,
       "C library error occurred. Error 28, Info: _write: Path=" + work()},
      {"work copy not reopened to flush", [](bk::win::WorkCopyOps& o) { o.createFile = FailingCreate; }, 0,
       "Windows API error occurred. Error 5, Info: FlushFileBuffers: Path=" + work()},
      {"flush fails", [](bk::win::WorkCopyOps& o) { o.flushFileBuffers = FailingFlush; }, 0,
       "Windows API error occurred. Error 1117, Info: FlushFileBuffers: Path=" + work()},
      {"replace fails",
       [](bk::win::WorkCopyOps& o) {
         o.moveFileEx = FailingMove;
         o.sleep = NoPause;
       },
       0, "Windows API error occurred. Error 5, Info: rename: " + work() + " To " + mng()},
  };
  const std::string old = Mng({kA, kB, kC});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Arrange(old);
    WriteFile(work(), "left over from an interrupted commit");
    bk::win::ResetWorkCopyOps();
    c.arrange(bk::win::WorkCopyOpsTable());
    g_calls = 0;
    g_failCall = c.failCall;
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(Delete(), 1);
    EXPECT_EQ(vskBKRVCloseBKMN(), 0);
    EXPECT_EQ(ReadFile(mng()), old);
    EXPECT_FALSE(Exists(work()));
    EXPECT_FALSE(Exists(dir("UPI_AAAA")));  // deleted backups stay deleted
    EXPECT_TRUE(Logged(c.report)) << c.report;
  }
  EXPECT_TRUE(Logged(" in vskBKRVCloseBKMN. path=" + work() + ", errno=28"));
  EXPECT_TRUE(Logged(" in vskBKRVCloseBKMN. path=" + work() + ", errno=13"));

  bk::win::ResetWorkCopyOps();
  Arrange(old);
  WriteFile(work(), "left over from an interrupted commit");
  ASSERT_EQ(Open(), 1);
  ASSERT_EQ(Delete(), 1);
  EXPECT_EQ(vskBKRVCloseBKMN(), 1);
  EXPECT_EQ(ReadFile(mng()), Mng({kB, kC}));
  EXPECT_FALSE(Exists(work()));
}

// Taking one record out in place: the records after it move up, the others
// stay byte for byte, the header counts what is left.
TEST_F(ManagementList, RemovingARecordInPlaceKeepsEveryOtherRecord) {
  const std::string a2 = MngRecord("res_a", "01", "0001", "UPI_AAAD");
  struct Case {
    const char* what;
    std::vector<std::string> before;
    const char* directory;
    int result;
    std::vector<std::string> after;
  } cases[] = {
      {"the last record", {kB, kC, kA}, "UPI_AAAA", 1, {kB, kC}},
      {"records after it", {kB, kA, kC}, "UPI_AAAA", 1, {kB, kC}},
      {"the first of many", {kA, kB, kC, kB}, "UPI_AAAA", 1, {kB, kC, kB}},
      {"the only record", {kA}, "UPI_AAAA", 1, {}},
      {"the key's record of that directory only", {kA, kB, a2}, "UPI_AAAD", 1, {kA, kB}},
      {"the key under another directory", {kA, kB}, "UPI_AAAD", 0, {kA, kB}},
      {"no record of the key", {kB, kC}, "UPI_AAAA", 0, {kB, kC}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(mng(), Mng(c.before));
    EXPECT_EQ(vskBKRVRemoveRecordInPlace("RES_A", "01", "0001", c.directory), c.result);
    EXPECT_EQ(ReadFile(mng()), Mng(c.after));
    EXPECT_FALSE(Exists(work()));
  }
  // A damaged file is refused as it is.
  const std::string damaged = Mng({kA, kB}) + "frag";
  WriteFile(mng(), damaged);
  EXPECT_EQ(vskBKRVRemoveRecordInPlace("RES_A", "01", "0001", "UPI_AAAA"), -1);
  EXPECT_EQ(ReadFile(mng()), damaged);
  EXPECT_EQ(LastLine(), "File Size Error in vskBKRVRemoveRecordInPlace. path=" + mng());
}

}  // namespace
