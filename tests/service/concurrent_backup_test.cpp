// Backups, restores, deletions and installed-software updates run by several
// processes at once, through the shipped library: every call succeeds, every
// backup holds exactly its own folder, and BACKMNG and UPLISTD.BON end with
// exactly the records and dates the calls made. The test program starts
// copies of itself ("--child NAME STEP..."), which wait on a named event so
// that they all start together, then run their steps in order.
//
// BK_STRESS_ROUNDS (environment) sets the number of rounds; the stress script
// (scripts/stress-backups.sh) runs many more than the default.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/ar_reader.h"
#include "backup_root.h"
#include "bkrestore/bkrestore.h"
#include "codec/ecd.h"
#include "environment/env.h"
#include "platform/unique_handle.h"
#include "service/service.h"
#include "softwarelist/uplistd.h"
#include "tree_snapshot.h"

namespace {

using bk::test::Exists;
using bk::test::MakeDir;
using bk::test::RootEntries;
using bk::test::Mng;
using bk::test::ReadFile;
using bk::test::TakeSnapshot;
using bk::test::WriteFile;

constexpr char kStartEvent[] = "BKRESTORE_CONCURRENT_BACKUP_TEST_START";
std::string ReadyEvent(const std::string& child) { return "BKRESTORE_CONCURRENT_BACKUP_TEST_READY_" + child; }

int Rounds() {
  const char* text = std::getenv("BK_STRESS_ROUNDS");
  const int rounds = text != nullptr ? std::atoi(text) : 0;
  return rounds > 0 ? rounds : 2;
}

// One step of a child, "what,argument,argument": backup,KEY,PATH; restore,KEY;
// delete,KEY; put,PACKAGE,INSTALLDATE (an installed entry of the package);
// write,PATH,TEXT. True when it succeeded.
bool Step(const std::string& step) {
  std::vector<std::string> part;
  for (std::size_t at = 0;;) {
    const std::size_t comma = step.find(',', at);
    part.push_back(step.substr(at, comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  const std::string& what = part[0];
  if (what == "backup" && part.size() == 3) return vskAPIBackup(part[1].c_str(), "01", "0001", part[2].c_str()) == 0;
  if (what == "restore" && part.size() == 2) return vskAPIRestore(part[1].c_str(), "01", "0001") == 0;
  if (what == "write" && part.size() == 3) {
    WriteFile(part[1], part[2]);
    return true;
  }
  // The service's deletion and the list update, as the client's other
  // programs call them.
  vskEnvLoad();
  bool ok = false;
  if (what == "delete" && part.size() == 2) {
    ok = vskAPIDelBackup(part[1].c_str(), "01", "0001") == 0;
  } else if (what == "put" && part.size() == 3) {
    std::string entry = bk::test::InstalledEntry(part[1], part[2]);
    ok = vskSyscPutUplistdEntry(reinterpret_cast<unsigned char*>(entry.data())) == 0;
  }
  vskEnvRelease();
  return ok;
}

// The child's work; its exit code is the number of steps that failed.
int Child(int argc, char** argv) {
  bk::win::unique_handle start(::OpenEventA(SYNCHRONIZE, FALSE, kStartEvent));
  bk::win::unique_handle ready(::OpenEventA(EVENT_MODIFY_STATE, FALSE, ReadyEvent(argv[2]).c_str()));
  if (!start || !ready || !::SetEvent(ready.get())) return 100;
  if (::WaitForSingleObject(start.get(), 60000) != WAIT_OBJECT_0) return 100;
  int failed = 0;
  for (int i = 3; i < argc; ++i)
    if (!Step(argv[i])) {
      std::fprintf(stderr, "child %s: step failed: %s\n", argv[2], argv[i]);
      ++failed;
    }
  return failed;
}

struct ChildRun {
  std::string name;
  std::vector<std::string> steps;
};

// Starts every child, lets them go at once and waits for them; their exit codes by name.
std::map<std::string, DWORD> RunTogether(const std::vector<ChildRun>& children) {
  bk::win::unique_handle start(::CreateEventA(nullptr, TRUE, FALSE, kStartEvent));
  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::vector<bk::win::unique_handle> ready, processes;
  for (const ChildRun& c : children) {
    ready.emplace_back(::CreateEventA(nullptr, TRUE, FALSE, ReadyEvent(c.name).c_str()));
    std::string commandLine = std::string("\"") + self + "\" --child " + c.name;
    for (const std::string& step : c.steps) commandLine += " \"" + step + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // Wine may fail to start a process on a loaded machine (error 1359): a
    // few more tries before the round counts as failed.
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
      started = ::CreateProcessA(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &process) != FALSE;
      if (!started) ::Sleep(200);
    }
    if (!started) {
      ADD_FAILURE() << "CreateProcess failed: " << ::GetLastError();
      processes.emplace_back();
      continue;
    }
    ::CloseHandle(process.hThread);
    processes.emplace_back(process.hProcess);
  }
  for (std::size_t i = 0; i < ready.size(); ++i) {
    if (!processes[i]) continue;
    EXPECT_EQ(::WaitForSingleObject(ready[i].get(), 60000), WAIT_OBJECT_0) << "a child did not start";
  }
  ::SetEvent(start.get());
  std::map<std::string, DWORD> codes;
  for (std::size_t i = 0; i < children.size(); ++i) {
    DWORD code = 0xFFFFFFFF;
    if (processes[i]) {
      if (::WaitForSingleObject(processes[i].get(), 300000) != WAIT_OBJECT_0)
        ::TerminateProcess(processes[i].get(), 200);
      ::GetExitCodeProcess(processes[i].get(), &code);
    }
    codes[children[i].name] = code;
  }
  return codes;
}

std::map<std::string, DWORD> AllSucceeded(const std::vector<ChildRun>& children) {
  std::map<std::string, DWORD> none;
  for (const ChildRun& c : children) none[c.name] = 0;
  return none;
}

// The records of BACKMNG by key name: directory name.
std::map<std::string, std::string> Records(const std::string& mngPath) {
  const std::string data = ReadFile(mngPath);
  EXPECT_EQ((data.size() - kBkmnHeaderSize) % kBkmnRecordSize, 0u);
  std::map<std::string, std::string> records;
  for (std::size_t at = kBkmnHeaderSize; at + kBkmnRecordSize <= data.size(); at += kBkmnRecordSize) {
    const std::string name = data.c_str() + at + kBkmnName;
    EXPECT_EQ(records.count(name), 0u) << "two records of " << name;
    records[name] = data.substr(at + kBkmnDirectory, 8);
  }
  EXPECT_EQ(static_cast<std::size_t>(static_cast<unsigned char>(data[0]) | static_cast<unsigned char>(data[1]) << 8),
            records.size())
      << "header count";
  return records;
}

// The paths an encoded archive holds, "/" separated, relative to C:\.
std::vector<std::string> ArchivePaths(const std::string& path) {
  const std::string image = ReadFile(path);
  std::vector<unsigned char> plain;
  EXPECT_EQ(bk::ecd::DecodeImage(reinterpret_cast<const unsigned char*>(image.data()), image.size(), &plain,
                                 nullptr),
            kEcdDecodeOk);
  bk::ar::ArMemorySource source(plain.data(), plain.size());
  bk::ar::ArReader reader(source);
  std::vector<std::string> paths;
  EXPECT_EQ(reader.Open(), bk::ar::kArOk);
  bk::ar::ArEntry entry;
  bool found = false;
  while (reader.Next(entry, found) == bk::ar::kArOk && found) paths.push_back(entry.path);
  EXPECT_EQ(reader.Status(), bk::ar::kArOk) << reader.Error();
  return paths;
}

std::string Rel(const std::string& path) {
  std::string r = path.substr(3);
  for (char& c : r)
    if (c == '\\') c = '/';
  return r;
}

class Concurrent : public bk::test::BackupRootTest {
 protected:
  void SetUp() override {
    BackupRootTest::SetUp();
    WriteFile(mng(), Mng({}));
  }

  // A folder of its own for each child: a few files of its own content.
  std::string MakeFolder(const std::string& name) {
    const std::string folder = source / name;
    MakeDir(folder);
    MakeDir(folder + "\\sub");
    for (int f = 0; f < 8; ++f)
      WriteFile(folder + (f % 2 ? "\\sub" : "") + "\\" + name + "_" + std::to_string(f) + ".dat",
                std::string(static_cast<std::size_t>(3000 + 1001 * f), static_cast<char>('a' + f)) + name);
    return folder;
  }

  // Every archive entry of the backup lies in the folder (or on its way) and
  // every file of the folder is in it.
  void ExpectHoldsExactly(const std::string& directory, const std::string& folder) {
    const std::vector<std::string> paths = ArchivePaths(dir(directory) + "\\BACKRSC");
    const std::string base = Rel(folder);
    std::set<std::string> files;
    for (const std::string& p : paths) {
      const bool inside = p.compare(0, base.size() + 1, base + "/") == 0;
      EXPECT_TRUE(inside || base.compare(0, p.size(), p) == 0) << p << " is not of " << folder;
      if (inside) files.insert(p);
    }
    for (const auto& [path, entry] : TakeSnapshot(folder)) {
      std::string rel = base + "/" + path;
      for (char& c : rel)
        if (c == '\\') c = '/';
      EXPECT_EQ(files.count(rel), 1u) << rel << " missing from " << directory;
    }
  }

  bk::test::TempDir source;
};

TEST_F(Concurrent, ParallelBackupsEachHoldTheirOwnFolder) {
  constexpr int kChildren = 4;
  std::vector<std::string> folders;
  for (int c = 0; c < kChildren; ++c) folders.push_back(MakeFolder("app" + std::to_string(c)));
  for (int round = 0; round < Rounds(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<bk::test::Snapshot> before;
    std::vector<ChildRun> backups, restores;
    for (int c = 0; c < kChildren; ++c) {
      before.push_back(TakeSnapshot(folders[c]));
      const std::string key = "RES_" + std::to_string(c);
      backups.push_back({"b" + std::to_string(c), {"backup," + key + "," + folders[c]}});
      restores.push_back({"r" + std::to_string(c),
                          {"write," + folders[c] + "\\sub\\added.txt,added", "write," + folders[c] +
                                                                                  "\\app" + std::to_string(c) +
                                                                                  "_0.dat,changed",
                           "restore," + key}});
    }
    ASSERT_EQ(RunTogether(backups), AllSucceeded(backups));
    const std::map<std::string, std::string> records = Records(mng());
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kChildren));
    std::set<std::string> directories;
    for (int c = 0; c < kChildren; ++c) {
      const std::string& directory = records.at("RES_" + std::to_string(c));
      directories.insert(directory);
      ExpectHoldsExactly(directory, folders[c]);
    }
    EXPECT_EQ(directories.size(), static_cast<std::size_t>(kChildren));

    ASSERT_EQ(RunTogether(restores), AllSucceeded(restores));
    for (int c = 0; c < kChildren; ++c) EXPECT_EQ(bk::test::SnapshotDiff(before[c], TakeSnapshot(folders[c])), "");
    EXPECT_EQ(ReadFile(mng()), Mng({}));
    EXPECT_EQ(RootEntries(root()), std::set<std::string>{});
  }
}

TEST_F(Concurrent, EightProcessesMixingEveryChangeLeaveExactlyTheirRecordsAndDates) {
  // Children 0-1 back up and restore, 2-3 back up and delete, 4-5 back up and
  // keep, 6-7 update installed-software entries of their own packages.
  const int rounds = Rounds();
  std::vector<std::string> folders;
  for (int c = 0; c < 6; ++c) folders.push_back(MakeFolder("mix" + std::to_string(c)));
  auto key = [](int c, int r) { return "K" + std::to_string(c) + "R" + std::to_string(r); };
  auto date = [](int c, int r) {
    char text[16];
    std::snprintf(text, sizeof text, "2501%02d%02d%02d00", c + 1, r % 28 + 1, (c * 7 + r) % 24);
    return std::string(text);
  };
  std::string list;
  for (int c = 0; c < 6; ++c)
    for (int r = 0; r < rounds; ++r) list += bk::test::InstalledEntry("VEL.PKG." + key(c, r), date(c, r));
  const std::string listPath = WriteInstalledList(list);
  std::vector<bk::test::Snapshot> original;
  for (const std::string& f : folders) original.push_back(TakeSnapshot(f));

  for (int r = 0; r < rounds; ++r) {
    SCOPED_TRACE("round " + std::to_string(r));
    std::vector<ChildRun> children;
    for (int c = 0; c < 6; ++c) {
      ChildRun run{"m" + std::to_string(c), {"backup," + key(c, r) + "," + folders[c]}};
      if (c < 2) {
        run.steps.push_back("write," + folders[c] + "\\installed.txt,installed");
        run.steps.push_back("restore," + key(c, r));
      } else if (c < 4) {
        run.steps.push_back("delete," + key(c, r));
      }
      children.push_back(run);
    }
    for (int c = 6; c < 8; ++c) {
      ChildRun run{"m" + std::to_string(c), {}};
      for (int i = 0; i < 5; ++i)
        run.steps.push_back("put,VEL.PKG.U" + std::to_string(c) + "_" + std::to_string(i) + "," + date(c, r * 5 + i));
      children.push_back(run);
    }
    ASSERT_EQ(RunTogether(children), AllSucceeded(children));
  }

  // BACKMNG: exactly the kept backups, each in a directory of its own.
  std::map<std::string, std::string> expected;
  const std::map<std::string, std::string> records = Records(mng());
  std::set<std::string> kept;
  for (int c = 4; c < 6; ++c)
    for (int r = 0; r < rounds; ++r) {
      ASSERT_EQ(records.count(key(c, r)), 1u) << key(c, r);
      kept.insert(records.at(key(c, r)));
      ExpectHoldsExactly(records.at(key(c, r)), folders[c]);
    }
  EXPECT_EQ(records.size(), kept.size());
  EXPECT_EQ(RootEntries(root()), kept);
  for (int c = 0; c < 2; ++c) EXPECT_EQ(bk::test::SnapshotDiff(original[c], TakeSnapshot(folders[c])), "");

  // UPLISTD.BON: every entry once, with the dates of what happened to it.
  const std::string data = ReadFile(listPath);
  ASSERT_EQ(data.size() % kSyscEntrySize, 0u);
  std::map<std::string, std::string> entries;
  for (std::size_t at = 0; at < data.size(); at += kSyscEntrySize) {
    const std::string package = data.c_str() + at + kSyscPackageName;
    EXPECT_EQ(entries.count(package), 0u) << "two entries of " << package;
    entries[package] = data.substr(at, kSyscEntrySize);
  }
  EXPECT_EQ(entries.size(), static_cast<std::size_t>(6 * rounds + 2 * 5));
  const std::string blanks(12, ' ');
  for (int c = 0; c < 6; ++c)
    for (int r = 0; r < rounds; ++r) {
      SCOPED_TRACE(key(c, r));
      const std::string& e = entries["VEL.PKG." + key(c, r)];
      ASSERT_EQ(e.size(), kSyscEntrySize);
      EXPECT_EQ(e.substr(kSyscInstallDate, 12), date(c, r));
      EXPECT_EQ(e.substr(kSyscBackupDate, 12), c >= 4 ? date(c, r) : blanks);
      EXPECT_EQ(e[kSyscRestoreMark] == 'B', c < 2);
    }
  for (int c = 6; c < 8; ++c)
    for (int i = 0; i < 5; ++i)
      EXPECT_EQ(entries["VEL.PKG.U" + std::to_string(c) + "_" + std::to_string(i)].substr(kSyscInstallDate, 12),
                date(c, (rounds - 1) * 5 + i));
  EXPECT_FALSE(Exists(install / "MASTER\\DB\\UPLISTD.UPD"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) return Child(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
