// The shared files UPLISTD.BON and BACKMNG changed by two processes at once:
// every call succeeds and every change it made is in the file afterwards.
// The test program starts copies of itself ("--child ...") that wait on a
// named event, so that both hammer the file at the same time.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "backup_root.h"
#include "environment/env.h"
#include "platform/unique_handle.h"
#include "service/service.h"
#include "softwarelist/uplistd.h"

namespace {

using bk::test::Exists;
using bk::test::Mng;
using bk::test::MngRecord;
using bk::test::ReadFile;
using bk::test::WriteFile;

constexpr char kStartEvent[] = "BKRESTORE_SHARED_FILES_TEST_START";
std::string ReadyEvent(char who) { return std::string("BKRESTORE_SHARED_FILES_TEST_READY_") + who; }
constexpr int kRounds = 30;

std::string ListEntry(const std::string& package) {
  std::string e(kSyscEntrySize, '\0');
  e[kSyscType] = 'S';
  e.replace(kSyscPackageName, package.size(), package);
  e.replace(kSyscInstallDate, 12, "250101000001");
  e.replace(kSyscBackupDate, 12, std::string(12, ' '));
  e[kSyscStatus] = static_cast<char>(kSyscStatusInstalled);
  return e;
}

std::string PackageName(char who, int i) { return "VEL.PKG.R" + std::string(1, who) + std::to_string(i); }
std::string ResourceName(int i) { return "RES_" + std::to_string(i); }
std::string DirectoryName(int i) {
  std::string name = "UPI_AAAA";
  for (int at = 7; at >= 4; --at, i /= 26) name[static_cast<std::size_t>(at)] = static_cast<char>('A' + i % 26);
  return name;
}

// The child's work; its exit code is the number of calls that failed.
int Child(const std::string& what, char who) {
  // Started and loaded: tell the parent, then wait until both children are.
  bk::win::unique_handle start(::OpenEventA(SYNCHRONIZE, FALSE, kStartEvent));
  bk::win::unique_handle ready(::OpenEventA(EVENT_MODIFY_STATE, FALSE, ReadyEvent(who).c_str()));
  if (!start || !ready || !::SetEvent(ready.get())) return 100;
  if (::WaitForSingleObject(start.get(), 60000) != WAIT_OBJECT_0) return 100;
  int failed = 0;
  for (int i = 0; i < kRounds; ++i) {
    vskEnvLoad();
    if (what == "put") {
      std::string entry = ListEntry(PackageName(who, i));
      if (vskSyscPutUplistdEntry(reinterpret_cast<unsigned char*>(entry.data())) != 0) ++failed;
    } else {
      // Both deletions of the service, on interleaved keys.
      const int key = 2 * i + (who == 'A' ? 0 : 1);
      const std::string name = ResourceName(key);
      const int result = who == 'A' ? vskAPIDelBackup(name.c_str(), "01", "0001")
                                    : vskCheckDelBackup(name.c_str(), "01", "0001");
      if (result != 0) ++failed;
    }
    vskEnvRelease();
  }
  return failed;
}

class SharedFiles : public bk::test::BackupRootTest {
 protected:
  // Runs two children doing `what`; their exit codes.
  std::vector<DWORD> RunTwo(const std::string& what) {
    bk::win::unique_handle start(::CreateEventA(nullptr, TRUE, FALSE, kStartEvent));
    std::vector<bk::win::unique_handle> ready;
    for (char who : {'A', 'B'}) ready.emplace_back(::CreateEventA(nullptr, TRUE, FALSE, ReadyEvent(who).c_str()));
    char self[MAX_PATH];
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::vector<bk::win::unique_handle> processes;
    for (char who : {'A', 'B'}) {
      std::string commandLine = std::string("\"") + self + "\" --child " + what + " " + who;
      STARTUPINFOA startup{};
      startup.cb = sizeof startup;
      PROCESS_INFORMATION process{};
      if (!::CreateProcessA(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
        ADD_FAILURE() << "CreateProcess failed: " << ::GetLastError();
        continue;
      }
      ::CloseHandle(process.hThread);
      processes.emplace_back(process.hProcess);
    }
    HANDLE both[2] = {ready[0].get(), ready[1].get()};
    EXPECT_EQ(::WaitForMultipleObjects(2, both, TRUE, 60000), WAIT_OBJECT_0) << "the children did not start";
    ::SetEvent(start.get());
    std::vector<DWORD> codes;
    for (auto& process : processes) {
      if (::WaitForSingleObject(process.get(), 300000) != WAIT_OBJECT_0) ::TerminateProcess(process.get(), 200);
      DWORD code = 0xFFFFFFFF;
      ::GetExitCodeProcess(process.get(), &code);
      codes.push_back(code);
    }
    return codes;
  }
};

TEST_F(SharedFiles, ListUpdatesOfTwoProcessesAreAllKept) {
  bk::test::MakeDir(install / "MASTER");
  bk::test::MakeDir(install / "MASTER\\DB");
  const std::string list = install / "MASTER\\DB\\UPLISTD.BON";
  const std::string first = ListEntry("VEL.PKG.FIRST");
  WriteFile(list, first);

  EXPECT_EQ(RunTwo("put"), (std::vector<DWORD>{0, 0}));  // no failed call in either

  const std::string data = ReadFile(list);
  ASSERT_EQ(data.size() % kSyscEntrySize, 0u);
  std::set<std::string> names;
  for (std::size_t at = 0; at < data.size(); at += kSyscEntrySize)
    names.insert(data.c_str() + at + kSyscPackageName);
  EXPECT_EQ(data.substr(0, kSyscEntrySize), first);
  for (char who : {'A', 'B'})
    for (int i = 0; i < kRounds; ++i) EXPECT_EQ(names.count(PackageName(who, i)), 1u) << who << i;
  EXPECT_EQ(data.size(), (1 + 2 * kRounds) * kSyscEntrySize);
  EXPECT_FALSE(Exists(install / "MASTER\\DB\\UPLISTD.UPD"));
}

TEST_F(SharedFiles, DeletionsOfTwoProcessesAreAllCommitted) {
  // Records of 2 x kRounds keys and one that stays; each backup has its directory.
  std::vector<std::string> records;
  for (int i = 0; i < 2 * kRounds; ++i) {
    records.push_back(MngRecord(ResourceName(i), "01", "0001", DirectoryName(i)));
    MakeBackupDir(DirectoryName(i));
  }
  const std::string kept = MngRecord("KEPT", "01", "0001", DirectoryName(2 * kRounds));
  MakeBackupDir(DirectoryName(2 * kRounds));
  records.insert(records.begin() + kRounds, kept);
  WriteFile(mng(), Mng(records));

  // A: vskAPIDelBackup of the even keys; B: vskCheckDelBackup of the odd ones.
  EXPECT_EQ(RunTwo("delete"), (std::vector<DWORD>{0, 0}));

  const std::string data = ReadFile(mng());
  EXPECT_EQ((data.size() - kBkmnHeaderSize) / kBkmnRecordSize, 1u) << "records left over";
  EXPECT_TRUE(data == Mng({kept}));
  for (int i = 0; i < 2 * kRounds; ++i) EXPECT_FALSE(Exists(dir(DirectoryName(i)))) << i;
  EXPECT_TRUE(Exists(dir(DirectoryName(2 * kRounds))));
  EXPECT_FALSE(Exists(work()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return Child(argv[2], argv[3][0]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
