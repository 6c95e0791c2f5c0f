// Installed-software list entries: lookup in UPLISTD.BON then SWLISTD.BON, and
// the update through the work copy UPLISTD.UPD.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "environment/env.h"
#include "platform/file_commit.h"
#include "softwarelist/uplistd.h"
#include "support/log_files.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;
using bk::test::Exists;
using bk::test::ReadFile;
using bk::test::WriteFile;

struct EntryFields {
  std::string package;
  unsigned char status = 0x90;
  unsigned char sub = 0;
  char type = 'S';
  std::string location = "C:\\Program Files\\App";
  std::string installDate = "260101120000";
  std::string carriedDate = "            ";
  std::string secondKey = "";
};

std::string Entry(const EntryFields& s) {
  std::string e(kSyscEntrySize, '\0');
  e[kSyscType] = s.type;
  e.replace(kSyscLocation, s.location.size(), s.location);
  e.replace(kSyscPackageName, s.package.size(), s.package);
  e.replace(kSyscSecondKey, s.secondKey.size(), s.secondKey);
  e.replace(kSyscCarriedDate, 12, s.carriedDate);
  e.replace(kSyscInstallDate, 12, s.installDate);
  e.replace(kSyscBackupDate, 12, std::string(12, ' '));
  e[kSyscStatus] = static_cast<char>(s.status);
  e[kSyscSubStatus] = static_cast<char>(s.sub);
  return e;
}

std::string Date(const std::string& entry, std::size_t offset) { return entry.substr(offset, 12); }
std::string Text(const std::string& entry, std::size_t offset, std::size_t width) {
  return std::string(entry.c_str() + offset, strnlen(entry.c_str() + offset, width));
}

class SoftwareList : public ::testing::Test {
 protected:
  void SetUp() override {
    bk::test::MakeDir(install / "MASTER");
    bk::test::MakeDir(install / "MASTER\\DB");
    vskEnvLoad();
  }
  void TearDown() override {
    bk::win::ResetWorkCopyOps();
    vskEnvRelease();
  }
  void Reload() {
    vskEnvRelease();
    vskEnvLoad();
  }

  std::string uplistd() const { return install / "MASTER\\DB\\UPLISTD.BON"; }
  std::string swlistd() const { return install / "MASTER\\DB\\SWLISTD.BON"; }
  std::string work() const { return install / "MASTER\\DB\\UPLISTD.UPD"; }

  int Get(const std::string& key, std::string& out, int kind = kSyscByResourceName) {
    unsigned char buffer[kSyscEntrySize] = {};
    const int result = vskSyscGetUplistdEntry(kind, key.c_str(), buffer);
    out.assign(reinterpret_cast<char*>(buffer), sizeof buffer);
    return result;
  }
  int Put(std::string& entry) { return vskSyscPutUplistdEntry(reinterpret_cast<unsigned char*>(entry.data())); }
  std::vector<std::string> Lines() { return bk::test::SelfManagedMessages(install.Log("CLIENT.LOG"), 192); }

  ClientRegistry registry;
  ClientInstall install{registry};
};

const std::string kRes1 = Entry({"VEL.PKG.RES.01", 0x90, 0, 'S', "C:\\A", "250101000001"});
const std::string kRes2 = Entry({"VEL.PKG.RES.02", 0x90, 0, 'S', "C:\\B", "250101000002"});
const std::string kOther = Entry({"VEL.PKG.OTHER", 0x90, 0, 'S', "C:\\O", "250101000003", "            ", "SECOND"});
const std::string kPendingRes = Entry({"VEL.PKG.RES", 0xB0, 2, 'S', "C:\\P", "250101000004"});
const std::string kNoDots = Entry({"NODOTS", 0x90});

TEST_F(SoftwareList, LookupFollowsTheListsAndTheStatusRule) {
  struct Case {
    const char* what;
    std::string uplistd;  // "-" for no file
    std::string swlistd;
    std::string key;
    int kind;
    int result;
    std::string installDate;  // of the entry found
  } cases[] = {
      {"last match of the file wins", kRes1 + kOther + kRes2, "-", "RES", 12, 0, "250101000002"},
      {"match is exact and case-sensitive", kRes1, "-", "res", 12, -1, ""},
      {"a prefix is no match", kRes1, "-", "RE", 12, -1, ""},
      {"status 0xB0 ends the lookup", kPendingRes + kRes1, kRes2, "RES", 12, -1, ""},
      {"status 0xB0 after a match ends it too", kRes1 + kPendingRes, "-", "RES", 12, -1, ""},
      {"entry without two dots ends it", kNoDots + kRes1, "-", "RES", 12, -1, ""},
      {"empty UPLISTD.BON ends it", "", kRes1, "RES", 12, -1, ""},
      {"missing UPLISTD.BON: SWLISTD.BON", "-", kRes2, "RES", 12, 0, "250101000002"},
      {"no match in UPLISTD.BON: SWLISTD.BON", kOther, kRes1, "RES", 12, 0, "250101000001"},
      {"a match in UPLISTD.BON stops there", kRes1, kRes2, "RES", 12, 0, "250101000001"},
      {"partial entry after whole ones", kRes1 + "xyz", "-", "RES", 12, 0, "250101000001"},
      {"partial first entry ends it", "short", kRes1, "RES", 12, -1, ""},
      {"second key text", kRes1 + kOther, "-", "SECOND", 13, 0, "250101000003"},
      {"second key is not a resource name", kRes1 + kOther, "-", "SECOND", 12, -1, ""},
      {"other kinds fail", kRes1, "-", "RES", 11, -1, ""},
      {"empty key fails", kRes1, "-", "", 12, -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bk::test::RemoveTree(uplistd());
    bk::test::RemoveTree(swlistd());
    if (c.uplistd != "-") WriteFile(uplistd(), c.uplistd);
    if (c.swlistd != "-") WriteFile(swlistd(), c.swlistd);
    std::string found;
    EXPECT_EQ(Get(c.key, found, c.kind), c.result);
    if (c.result == 0) {
      EXPECT_EQ(Date(found, kSyscInstallDate), c.installDate);
    }
  }
  unsigned char buffer[kSyscEntrySize];
  EXPECT_EQ(vskSyscGetUplistdEntry(12, nullptr, buffer), -1);
  EXPECT_EQ(vskSyscGetUplistdEntry(12, "RES", nullptr), -1);
}

TEST_F(SoftwareList, LongPackageNamesAreComparedWholeAndStayInTheirField) {
  const std::string longName(240, 'L');
  const std::string stored = Entry({"A.B." + longName, 0x90, 0, 'S', "C:\\L", "250101000009"});
  WriteFile(uplistd(), stored);
  std::string found;
  EXPECT_EQ(Get(longName, found), 0);
  EXPECT_EQ(Get(longName.substr(0, 63), found), -1);  // not a match of a cut copy
  EXPECT_EQ(Get(longName.substr(0, 127), found), -1);

  // A package name filling all 256 bytes without terminator: the update
  // replaces the stored entry of that name and writes nothing beside it.
  std::string full = Entry({"A.B." + std::string(252, 'F'), 0x90});
  WriteFile(uplistd(), kRes1 + full);
  std::string update = full;
  update.replace(kSyscInstallDate, 12, "260202020202");
  EXPECT_EQ(Put(update), 0);
  const std::string list = ReadFile(uplistd());
  ASSERT_EQ(list.size(), 2 * kSyscEntrySize);
  EXPECT_EQ(list.substr(0, kSyscEntrySize), kRes1);
  EXPECT_EQ(list.substr(kSyscEntrySize), update);
}

TEST_F(SoftwareList, UpdateAppendsThenReplacesInPlace) {
  WriteFile(uplistd(), kRes1 + kOther);
  std::string entry = Entry({"VEL.PKG.NEW", 0x90, 0, 'S', "C:\\N", "260101000000"});
  ASSERT_EQ(Put(entry), 0);
  std::string list = ReadFile(uplistd());
  ASSERT_EQ(list.size(), 3 * kSyscEntrySize);
  EXPECT_EQ(list.substr(0, 2 * kSyscEntrySize), kRes1 + kOther);
  EXPECT_EQ(list.substr(2 * kSyscEntrySize), entry);

  std::string again = entry;
  again.replace(kSyscBackupDate, 12, "260101000000");
  ASSERT_EQ(Put(again), 0);
  list = ReadFile(uplistd());
  ASSERT_EQ(list.size(), 3 * kSyscEntrySize);
  EXPECT_EQ(list.substr(2 * kSyscEntrySize), again);
  EXPECT_FALSE(Exists(work()));
}

TEST_F(SoftwareList, UpdateReplacesEveryMatchWithTheSameInitial) {
  // Same key; the third has another first character and is another package.
  const std::string twin = Entry({"VEL.X.RES", 0x90, 0, 'S', "C:\\T", "250101000005"});
  const std::string foreign = Entry({"ZZZ.PKG.RES", 0x90, 0, 'S', "C:\\Z", "250101000006"});
  WriteFile(uplistd(), kRes1 + kOther + twin + foreign);
  std::string entry = Entry({"VEL.PKG.RES.03", 0x90, 0, 'S', "C:\\R", "260101000007"});
  ASSERT_EQ(Put(entry), 0);
  const std::string list = ReadFile(uplistd());
  ASSERT_EQ(list.size(), 4 * kSyscEntrySize);
  EXPECT_EQ(list.substr(0, kSyscEntrySize), entry);
  EXPECT_EQ(list.substr(kSyscEntrySize, kSyscEntrySize), kOther);
  EXPECT_EQ(list.substr(2 * kSyscEntrySize, kSyscEntrySize), entry);
  EXPECT_EQ(list.substr(3 * kSyscEntrySize), foreign);
}

TEST_F(SoftwareList, ErrorEntriesCarryTheStoredDateUnlessSwitchedOff) {
  const std::string storedError = Entry({"VEL.PKG.ERR", 0x92, 0, 'S', "C:\\E", "250101000010", "241231235959"});
  WriteFile(uplistd(), kRes1 + storedError);

  std::string fromInstalled = Entry({"VEL.PKG.RES", 0x91, 0, 'S', "C:\\A", "            "});
  ASSERT_EQ(Put(fromInstalled), 0);
  EXPECT_EQ(Date(fromInstalled, kSyscCarriedDate), "250101000001");  // the stored install date
  std::string fromError = Entry({"VEL.PKG.ERR", 0x91, 0, 'S', "C:\\E", "            "});
  ASSERT_EQ(Put(fromError), 0);
  EXPECT_EQ(Date(fromError, kSyscCarriedDate), "241231235959");  // the stored carried date
  EXPECT_EQ(ReadFile(uplistd()), fromInstalled + fromError);

  registry.Set("InstallPackageNOErrorSet", "YES");
  Reload();
  const std::string before = ReadFile(uplistd());
  std::string skipped = Entry({"VEL.PKG.NEWERR", 0x91});
  EXPECT_EQ(Put(skipped), 0);
  EXPECT_EQ(ReadFile(uplistd()), before);
  std::string good = Entry({"VEL.PKG.NEWOK", 0x90});
  EXPECT_EQ(Put(good), 0);  // the switch concerns error entries only
  EXPECT_EQ(ReadFile(uplistd()).size(), before.size() + kSyscEntrySize);
}

TEST_F(SoftwareList, PlaceholderLocationTakesTheStoredOne) {
  struct Case {
    const char* what;
    EntryFields stored;
    EntryFields update;
    std::string location;  // of the stored result
  } cases[] = {
      {"pending S entry takes the real location", {"VEL.PKG.RES", 0x90, 0, 'S', "C:\\Real"},
       {"VEL.PKG.RES", 0xB0, 3, 'S', "#:#placeholder"}, "C:\\Real"},
      {"M entries too, from a pending stored entry", {"VEL.PKG.RES", 0xB0, 2, 'M', "D:\\Real"},
       {"VEL.PKG.RES", 0x90, 0, 'M', "#:#"}, "D:\\Real"},
      {"other types keep theirs", {"VEL.PKG.RES", 0x90, 0, 'S', "C:\\Real"},
       {"VEL.PKG.RES", 0x90, 0, 'X', "#:#p"}, "#:#p"},
      {"non-qualifying new status", {"VEL.PKG.RES", 0x90, 0, 'S', "C:\\Real"},
       {"VEL.PKG.RES", 0xB0, 1, 'S', "#:#p"}, "#:#p"},
      {"non-qualifying stored status", {"VEL.PKG.RES", 0xA0, 0, 'S', "C:\\Real"},
       {"VEL.PKG.RES", 0x90, 0, 'S', "#:#p"}, "#:#p"},
      {"stored placeholder", {"VEL.PKG.RES", 0x90, 0, 'S', "#:#old"}, {"VEL.PKG.RES", 0x90, 0, 'S', "#:#p"}, "#:#p"},
      {"stored empty", {"VEL.PKG.RES", 0x90, 0, 'S', ""}, {"VEL.PKG.RES", 0x90, 0, 'S', "#:#p"}, "#:#p"},
      {"real new location stays", {"VEL.PKG.RES", 0x90, 0, 'S', "C:\\Old"},
       {"VEL.PKG.RES", 0x90, 0, 'S', "C:\\New"}, "C:\\New"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(uplistd(), Entry(c.stored));
    std::string entry = Entry(c.update);
    ASSERT_EQ(Put(entry), 0);
    const std::string list = ReadFile(uplistd());
    ASSERT_EQ(list.size(), kSyscEntrySize);
    EXPECT_EQ(Text(list, kSyscLocation, kSyscLocationWidth), c.location);
    EXPECT_EQ(list, entry);  // the caller's entry was completed in place
  }
}

TEST_F(SoftwareList, MalformedStoredEntriesAreSkippedAndReported) {
  WriteFile(uplistd(), kNoDots + kRes1);
  std::string entry = Entry({"VEL.PKG.RES", 0x90, 0, 'S', "C:\\A", "260303030303"});
  ASSERT_EQ(Put(entry), 0);
  EXPECT_EQ(ReadFile(uplistd()), kNoDots + entry);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("strchr():Invalid Format Entry appeared from uplistd.bon, go to Next Entry :NODOTS"),
            std::string::npos)
      << lines[0];

  std::string bad = Entry({"NODOTS.EITHER", 0x90});
  EXPECT_EQ(Put(bad), -1);
  EXPECT_EQ(ReadFile(uplistd()), kNoDots + entry);
}

TEST_F(SoftwareList, PartialListFailsAndStaysAsItWas) {
  const std::string damaged = kRes1 + kOther + "x";
  WriteFile(uplistd(), damaged);
  std::string entry = Entry({"VEL.PKG.NEW", 0x90});
  EXPECT_EQ(Put(entry), -1);
  EXPECT_EQ(ReadFile(uplistd()), damaged);
  EXPECT_FALSE(Exists(work()));
}

TEST_F(SoftwareList, FirstUpdateCreatesTheListFromAnEmptyWorkCopy) {
  WriteFile(work(), kRes1 + kOther);  // left over from an interrupted update
  std::string entry = Entry({"VEL.PKG.NEW", 0x90});
  ASSERT_EQ(Put(entry), 0);
  EXPECT_EQ(ReadFile(uplistd()), entry);
  EXPECT_FALSE(Exists(work()));

  // Another list, named by the caller; its work copy ends in UPD as well.
  const std::string other = install / "MASTER\\DB\\OTHER.LST";
  ASSERT_EQ(vskSyscPutUplistdEntryEx(reinterpret_cast<unsigned char*>(entry.data()), other.c_str()), 0);
  EXPECT_EQ(ReadFile(other), entry);
  EXPECT_FALSE(Exists(install / "MASTER\\DB\\OTHER.UPD"));
  EXPECT_EQ(ReadFile(uplistd()), entry);
}

// Each step of writing and committing the work copy made to fail in turn: the
// list keeps its old contents and no work copy is left behind.
int g_failCall = 0;
int g_calls = 0;
bool FailNow() { return ++g_calls == g_failCall; }
BOOL WINAPI FailingWrite(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED at) {
  if (FailNow()) {
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  return ::WriteFile(h, data, size, written, at);
}
BOOL WINAPI ShortWrite(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED at) {
  if (FailNow()) return ::WriteFile(h, data, size / 2, written, at);
  return ::WriteFile(h, data, size, written, at);
}
BOOL WINAPI FailingFlush(HANDLE) {
  ::SetLastError(ERROR_IO_DEVICE);
  return FALSE;
}
BOOL WINAPI FailingMove(LPCSTR, LPCSTR, DWORD) {
  ::SetLastError(ERROR_SHARING_VIOLATION);
  return FALSE;
}
void WINAPI NoPause(DWORD) {}
HANDLE WINAPI FailingCreate(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                            DWORD flags, HANDLE tmpl) {
  if (FailNow()) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return ::CreateFileA(path, access, share, sa, disposition, flags, tmpl);
}

TEST_F(SoftwareList, FailedCommitStepsLeaveTheListIntact) {
  struct Case {
    const char* what;
    void (*arrange)(bk::win::WorkCopyOps&);
    int failCall;
    const char* trace;
  } cases[] = {
      {"work copy cannot be opened", [](bk::win::WorkCopyOps& o) { o.createFile = FailingCreate; }, 1,
       "Info: CreateFile()"},
      {"replacing write fails", [](bk::win::WorkCopyOps& o) { o.writeFile = FailingWrite; }, 1, "Info: WriteFile()"},
      {"write comes up short", [](bk::win::WorkCopyOps& o) { o.writeFile = ShortWrite; }, 1, "Info: WriteFile()"},
      {"work copy cannot be reopened to flush", [](bk::win::WorkCopyOps& o) { o.createFile = FailingCreate; }, 2,
       "Info: FlushFileBuffers()"},
      {"flush fails", [](bk::win::WorkCopyOps& o) { o.flushFileBuffers = FailingFlush; }, 0,
       "Info: FlushFileBuffers()"},
      {"replace still refused after every retry",
       [](bk::win::WorkCopyOps& o) {
         o.moveFileEx = FailingMove;
         o.sleep = NoPause;
       },
       0, "Info: MoveFileEx()"},
  };
  const std::string old = kRes1 + kOther;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(uplistd(), old);
    bk::win::ResetWorkCopyOps();
    c.arrange(bk::win::WorkCopyOpsTable());
    g_calls = 0;
    g_failCall = c.failCall;
    std::string entry = Entry({"VEL.PKG.RES", 0x90, 0, 'S', "C:\\A", "260404040404"});
    EXPECT_EQ(Put(entry), -1);
    EXPECT_EQ(ReadFile(uplistd()), old);
    EXPECT_FALSE(Exists(work()));
    const auto lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(c.trace), std::string::npos) << lines.back();
  }
  bk::win::ResetWorkCopyOps();
  std::string entry = Entry({"VEL.PKG.RES", 0x90, 0, 'S', "C:\\A", "260404040404"});
  EXPECT_EQ(Put(entry), 0);
  EXPECT_EQ(ReadFile(uplistd()), entry + kOther);
}

}  // namespace
