#pragma once
// Backup roots made by hand for the storage tests: BACKMNG images, backup
// directories, and a fixture with the client's settings pointing into a
// temporary install path.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "environment/env.h"
#include "logging/event_observer.h"
#include "platform/file_commit.h"
#include "platform/shared_file_lock.h"
#include "platform/unique_handle.h"
#include "service/management_file.h"
#include "service/tree_removal.h"
#include "support/log_files.h"
#include "support/win_fixtures.h"

namespace bk::test {

// One 895-byte record; the entry's install date is blanks unless given.
inline std::string MngRecord(const std::string& name, const std::string& version, const std::string& generation,
                             const std::string& directory, const std::string& protectUntil = "",
                             const std::string& installDate = "            ") {
  std::string r(kBkmnRecordSize, '\0');
  r.replace(kBkmnName, name.size(), name);
  r.replace(kBkmnVersion, version.size(), version);
  r.replace(kBkmnGeneration, generation.size(), generation);
  r.replace(kBkmnDirectory, directory.size(), directory);
  r.replace(kBkmnProtectUntil, protectUntil.size(), protectUntil);
  r.replace(kBkmnEntry + kSyscInstallDate, installDate.size(), installDate);
  return r;
}

inline std::string MngHeader(std::uint16_t count) {
  return std::string{static_cast<char>(count & 0xFF), static_cast<char>(count >> 8)};
}

// Header with the number of records, then the records.
inline std::string Mng(const std::vector<std::string>& records) {
  std::string data = MngHeader(static_cast<std::uint16_t>(records.size()));
  for (const std::string& r : records) data += r;
  return data;
}

// An installed entry (status 0x90) of the installed-software list.
inline std::string InstalledEntry(const std::string& package, const std::string& installDate,
                                  const std::string& backupDate = std::string(12, ' ')) {
  std::string e(kSyscEntrySize, '\0');
  e[kSyscType] = 'S';
  e.replace(kSyscPackageName, package.size(), package);
  e.replace(kSyscInstallDate, 12, installDate);
  e.replace(kSyscBackupDate, 12, backupDate);
  e[kSyscStatus] = static_cast<char>(kSyscStatusInstalled);
  return e;
}

struct SeenEvent {
  std::uint32_t code;
  std::string category, text, source;
};
inline std::vector<SeenEvent>& SeenEvents() {
  static std::vector<SeenEvent> events;
  return events;
}
inline void ObserveEvent(std::uint32_t code, const char* category, const char* text, std::int32_t,
                         const char* source, std::int32_t) {
  SeenEvents().push_back({code, category ? category : "", text ? text : "", source ? source : ""});
}

// Holds a machine-wide lock (bk::win::SharedFileLock) on a thread of its own
// while it lives, as another process would: the lock is recursive, so the
// thread that holds it would see it free.
class LockHeldElsewhere {
 public:
  explicit LockHeldElsewhere(const std::string& name) : name_(name) {
    thread_ = ::CreateThread(nullptr, 0, Hold, this, 0, nullptr);
    EXPECT_EQ(::WaitForSingleObject(taken_, 60000), WAIT_OBJECT_0) << "the lock was not taken";
  }
  ~LockHeldElsewhere() {
    ::SetEvent(done_);
    ::WaitForSingleObject(thread_, 60000);
    ::CloseHandle(thread_);
    ::CloseHandle(taken_);
    ::CloseHandle(done_);
  }
  LockHeldElsewhere(const LockHeldElsewhere&) = delete;
  LockHeldElsewhere& operator=(const LockHeldElsewhere&) = delete;

 private:
  static DWORD WINAPI Hold(void* context) {
    auto* self = static_cast<LockHeldElsewhere*>(context);
    win::SharedFileLock lock(self->name_.c_str(), "BKRV");
    ::SetEvent(self->taken_);
    ::WaitForSingleObject(self->done_, 60000);
    return 0;
  }
  std::string name_;
  HANDLE taken_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE done_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread_ = nullptr;
};

// Log records of CLIENT.LOG are made long enough for whole paths.
inline constexpr std::size_t kLogRecord = 640;

class BackupRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry.Set("RestoreBackupPath", root());
    registry.Set("FUNCLOGSize", std::to_string(kLogRecord));
    MakeDir(root());
    SeenEvents().clear();
    vskLogSetEventObserver(ObserveEvent);
    vskEnvLoad();
  }
  void TearDown() override {
    vskLogSetEventObserver(nullptr);
    win::ResetWorkCopyOps();
    vskFarResetSearch();
    vskEnvRelease();
  }

  std::string root() const { return install / "BACKUP"; }
  std::string mng() const { return root() + "\\BACKMNG"; }
  std::string work() const { return root() + "\\BACKMNGW"; }
  std::string dir(const std::string& name) const { return root() + "\\" + name; }

  // UPLISTD.BON in the install path's database folder, made with its folders.
  std::string WriteInstalledList(const std::string& entries) {
    MakeDir(install / "MASTER");
    MakeDir(install / "MASTER\\DB");
    const std::string list = install / "MASTER\\DB\\UPLISTD.BON";
    WriteFile(list, entries);
    return list;
  }

  // A backup directory with a file in it.
  void MakeBackupDir(const std::string& name) {
    MakeDir(dir(name));
    WriteFile(dir(name) + "\\BACKRSC", "archive");
  }
  std::vector<std::string> Lines() const { return SelfManagedMessages(install.Log("CLIENT.LOG"), kLogRecord); }
  std::string LastLine() const {
    const auto lines = Lines();
    return lines.empty() ? std::string() : lines.back();
  }
  bool Logged(const std::string& text) const {
    for (const std::string& line : Lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  ClientRegistry registry;
  ClientInstall install{registry};
};

// Starts bkrtool.exe (beside the test program) with `arguments` and ends it
// after `ms` milliseconds if it still runs. True when it was still running.
inline bool RunToolAndKill(const std::string& arguments, DWORD ms) {
  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string tool = self;
  tool = tool.substr(0, tool.find_last_of('\\')) + "\\bkrtool.exe";
  std::string command = "\"" + tool + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION process{};
  EXPECT_TRUE(::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
  bk::win::unique_handle thread(process.hThread), child(process.hProcess);
  const bool running = ::WaitForSingleObject(child.get(), ms) == WAIT_TIMEOUT;
  if (running) {
    ::TerminateProcess(child.get(), 9);
    ::WaitForSingleObject(child.get(), INFINITE);
  }
  return running;
}

// What a backup root holds besides BACKMNG and INSLIST.
inline std::set<std::string> RootEntries(const std::string& root) {
  std::set<std::string> names;
  WIN32_FIND_DATAA found;
  bk::win::unique_hfind search(::FindFirstFileA((root + "\\*").c_str(), &found));
  if (!search) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != ".." && name != "BACKMNG" && name != "INSLIST") names.insert(name);
  } while (::FindNextFileA(search.get(), &found));
  return names;
}

}  // namespace bk::test
