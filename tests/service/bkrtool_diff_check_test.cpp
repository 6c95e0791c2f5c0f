// The operator's view, run as a separate program: diff on a tree that an
// installation changed (every kind of change reported, nothing changed by
// the diff, and a restore afterwards changing exactly the listed paths) and
// on an unchanged one; check on a sound root and on roots with each kind of
// finding made by hand.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/ar_sums.h"
#include "backup_root.h"
#include "support/tool_run.h"
#include "service/install_list.h"
#include "tree_snapshot.h"

namespace {

using bk::test::Exists;
using bk::test::MakeDir;
using bk::test::ReadFile;
using bk::test::SetTimes;
using bk::test::Snapshot;
using bk::test::TakeSnapshot;
using bk::test::WriteFile;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The bytes of every file below a folder, by relative path (directories as "<dir>").
std::map<std::string, std::string> Bytes(const std::string& root, const std::string& relative = "") {
  std::map<std::string, std::string> out;
  WIN32_FIND_DATAA found;
  const std::string base = relative.empty() ? root : root + "\\" + relative;
  HANDLE search = ::FindFirstFileA((base + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return out;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    const std::string rel = relative.empty() ? name : relative + "\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[rel] = "<dir>";
      for (const auto& [p, b] : Bytes(root, rel)) out[p] = b;
    } else {
      out[rel] = ReadFile(root + "\\" + rel);
    }
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return out;
}

void Restore(const std::string& root, const std::map<std::string, std::string>& bytes) {
  bk::test::RemoveTree(root);
  MakeDir(root);
  for (const auto& [path, data] : bytes) {
    if (data == "<dir>")
      MakeDir(root + "\\" + path);
    else
      WriteFile(root + "\\" + path, data);
  }
}

// The archive holds the folders above the saved one too, and a restore puts
// their times back: they are given a fixed time before the backup and again
// before each look, as other programs change them.
void PinAncestors(const std::string& folder) {
  for (std::size_t at = folder.find('\\', 3); at != std::string::npos; at = folder.find('\\', at + 1))
    SetTimes(folder.substr(0, at), 2020, 5, 6);
  SetTimes(folder, 2020, 5, 6);
}

// The temporary folders of the tool runs go elsewhere while it lives, so
// that making and removing them leaves the folders above the tree alone.
class TempElsewhere {
 public:
  explicit TempElsewhere(const std::string& folder) {
    for (const char* name : {"TMP", "TEMP"}) {
      char old[MAX_PATH] = {};
      ::GetEnvironmentVariableA(name, old, sizeof old);
      saved_.emplace_back(name, old);
      ::SetEnvironmentVariableA(name, folder.c_str());
    }
  }
  ~TempElsewhere() {
    for (const auto& [name, value] : saved_) ::SetEnvironmentVariableA(name.c_str(), value.c_str());
  }
  TempElsewhere(const TempElsewhere&) = delete;
  TempElsewhere& operator=(const TempElsewhere&) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

class BkrtoolDiffCheck : public bk::test::BackupRootTest {
 protected:
  bk::test::ToolRun Tool(const std::string& arguments) { return bk::test::RunBeside("bkrtool.exe", arguments); }
  bk::test::TempDir source;
};

// The listed paths of diff's text output: action and path.
std::map<std::string, std::string> Listed(const std::string& out) {
  std::map<std::string, std::string> listed;
  for (const std::string& line : bk::test::OutputLines(out)) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string action = line.substr(0, space);
    if (action != "write" && action != "create" && action != "replace" && action != "remove" && action != "leave")
      continue;
    std::size_t at = line.find_first_not_of(' ', space);
    at = line.find(' ', at);                 // past the kind
    at = line.find_first_not_of(' ', at);
    listed[line.substr(at, line.find(" (", at) - at)] = action;
  }
  return listed;
}

// The paths (relative to `base`'s parent, as in the snapshots) whose state differs.
std::set<std::string> Changed(const Snapshot& before, const Snapshot& after) {
  std::set<std::string> changed;
  for (const auto& [path, e] : before) {
    const auto it = after.find(path);
    if (it == after.end() || !(it->second == e)) changed.insert(path);
  }
  for (const auto& [path, e] : after)
    if (before.count(path) == 0) changed.insert(path);
  return changed;
}

TEST_F(BkrtoolDiffCheck, DiffListsWhatTheRestoreThenDoes) {
  MakeDir(root() + "\\tmp");
  const TempElsewhere temp(root() + "\\tmp");
  const std::string app = source / "app";
  MakeDir(app);
  MakeDir(app + "\\sub");
  MakeDir(app + "\\sub\\deep");
  WriteFile(app + "\\same.txt", "alpha");
  WriteFile(app + "\\times.txt", "times");
  WriteFile(app + "\\size.txt", "short");
  WriteFile(app + "\\ro.txt", "read-only");
  WriteFile(app + "\\sub\\gone.txt", "gone");
  WriteFile(app + "\\sub\\deep\\c.txt", "deep");
  ::SetFileAttributesA((app + "\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  for (const char* p : {"same.txt", "times.txt", "size.txt", "sub\\gone.txt", "sub\\deep\\c.txt", "sub\\deep",
                        "sub", ""})
    SetTimes(std::string(p).empty() ? app : app + "\\" + p, 2020, 5, 6);
  PinAncestors(source.path());
  ASSERT_EQ(Tool("backups --init").exitCode, 0u);
  ASSERT_EQ(Tool("backup RES_A 01 0001 \"" + app + "\"").exitCode, 0u);
  // A second listed path that did not exist at backup time: ADDFILE names it.
  const std::string added = source / "later";
  unsigned char record[kInsRecordSize];
  vskInsMakeRecord(added.c_str(), kInsInclude, record);
  WriteFile(dir("UPI_AAAA") + "\\ADDFILE", std::string(reinterpret_cast<const char*>(record), sizeof record));

  // Unchanged: nothing to do.
  PinAncestors(source.path());
  auto run = Tool("diff RES_A 01 0001");
  EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "a restore would change nothing")) << run.out;
  // The installation: one kind of change per path.
  WriteFile(app + "\\same.txt", "alphb");  // same size, same time: only the content tells
  SetTimes(app + "\\same.txt", 2020, 5, 6);
  SetTimes(app + "\\times.txt", 2021, 1, 1);
  WriteFile(app + "\\size.txt", "much longer");
  SetTimes(app + "\\size.txt", 2020, 5, 6);
  ::SetFileAttributesA((app + "\\ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileA((app + "\\sub\\gone.txt").c_str());
  bk::test::RemoveTree(app + "\\sub\\deep");
  WriteFile(app + "\\sub\\added.txt", "added");
  SetTimes(app + "\\sub", 2020, 5, 6);
  SetTimes(app, 2020, 5, 6);
  MakeDir(added);
  WriteFile(added + "\\x.dll", "x");

  PinAncestors(source.path());
  const Snapshot before = TakeSnapshot(source.path());
  const auto backupBytes = Bytes(root());
  run = Tool("diff RES_A 01 0001");
  EXPECT_EQ(run.exitCode, 1u) << run.out << run.err;
  const std::map<std::string, std::string> expected = {
      {app + "\\same.txt", "write"},         {app + "\\times.txt", "write"},
      {app + "\\size.txt", "write"},         {app + "\\ro.txt", "write"},
      {app + "\\sub\\gone.txt", "create"},   {app + "\\sub\\deep", "create"},
      {app + "\\sub\\deep\\c.txt", "create"}, {app + "\\sub\\added.txt", "remove"},
      {added, "remove"}};
  EXPECT_EQ(Listed(run.out), expected) << run.out;
  for (const char* line : {"same.txt (content differ)", "times.txt (time differ)", "size.txt (size differ)",
                           "ro.txt (attributes differ)", "added.txt (added inside a saved folder)"})
    EXPECT_TRUE(Has(run.out, line)) << line << "\n" << run.out;
  EXPECT_TRUE(Has(run.out, "later (added by the installation (ADDFILE))")) << run.out;
  run = Tool("diff --json RES_A 01 0001");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_TRUE(Has(run.out, "\"action\":\"write\",\"path\":")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"differs\":[\"content\"]")) << run.out;
  EXPECT_TRUE(Has(run.out, "\"changes\":9")) << run.out;

  // The diff changed nothing: the tree and the backups are as they were.
  EXPECT_EQ(bk::test::SnapshotDiff(before, TakeSnapshot(source.path())), "");
  EXPECT_TRUE(Bytes(root()) == backupBytes);

  // The restores change exactly what was listed.
  ASSERT_EQ(Tool("restore RES_A 01 0001").exitCode, 0u);
  std::set<std::string> listed;
  for (const auto& [path, action] : expected) listed.insert(path.substr(source.path().size() + 1));
  for (const std::string& path : Changed(before, TakeSnapshot(source.path()))) {
    bool covered = false;
    for (const std::string& l : listed) covered = covered || path == l || path.rfind(l + "\\", 0) == 0;
    EXPECT_TRUE(covered) << path << " changed without being listed";
  }
  const std::set<std::string> changed = Changed(before, TakeSnapshot(source.path()));
  for (const std::string& l : listed) EXPECT_EQ(changed.count(l), 1u) << l << " listed but unchanged";
}

TEST_F(BkrtoolDiffCheck, DiffRefusesWhatTheRestoreRefuses) {
  const std::string app = source / "app";
  MakeDir(app);
  WriteFile(app + "\\a.txt", std::string(5000, 'a'));
  ASSERT_EQ(Tool("backups --init").exitCode, 0u);
  ASSERT_EQ(Tool("backup RES_A 01 0001 \"" + app + "\"").exitCode, 0u);
  const std::string sums = dir("UPI_AAAA") + "\\BACKSUM";
  std::string data = ReadFile(sums);
  bk::ar::ArchiveSums decoded;
  ASSERT_EQ(bk::ar::DecodeSums(reinterpret_cast<const unsigned char*>(data.data()), data.size(), &decoded, nullptr),
            bk::ar::kArOk);
  decoded.entryCrcs.back() ^= 1;
  const auto other = bk::ar::EncodeSums(decoded);
  WriteFile(sums, std::string(other.begin(), other.end()));
  auto run = Tool("diff RES_A 01 0001");
  EXPECT_EQ(run.exitCode, 2u) << run.out;
  EXPECT_TRUE(Has(run.err, "the restore would refuse this backup")) << run.err;
  run = Tool("diff RES_X 01 0001");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_TRUE(Has(run.err, "no backup of RES_X 01 0001")) << run.err;
}

TEST_F(BkrtoolDiffCheck, CheckReportsEachFindingWithItsMend) {
  const std::string app = source / "app";
  MakeDir(app);
  WriteFile(app + "\\a.txt", std::string(3000, 'a'));
  ASSERT_EQ(Tool("backups --init").exitCode, 0u);
  ASSERT_EQ(Tool("backup RES_A 01 0001 \"" + app + "\"").exitCode, 0u);
  ASSERT_EQ(Tool("backup RES_B 01 0001 \"" + app + "\"").exitCode, 0u);
  const auto sound = Bytes(root());

  auto run = Tool("check");
  EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "#1 RES_A 01 0001 UPI_AAAA: sound")) << run.out;
  EXPECT_TRUE(Has(run.out, "#2 RES_B 01 0001 UPI_AAAB: sound")) << run.out;
  EXPECT_TRUE(Has(run.out, "; 0 finding(s)")) << run.out;

  struct Case {
    const char* what;
    std::function<void()> damage;
    const char* finding;
    const char* mend;
  };
  const std::vector<Case> cases = {
      {"orphan directory", [&] { MakeDir(dir("UPI_ZZZZ")); }, "UPI_ZZZZ is named by no record", "rmdir /s /q "},
      {"missing directory",
       [&] { WriteFile(mng(), ReadFile(mng()) + bk::test::MngRecord("RES_C", "01", "0001", "UPI_AAAC")); },
       "names a missing directory", "bkrtool delete-backup RES_C 01 0001"},
      {"two records, one directory",
       [&] { WriteFile(mng(), ReadFile(mng()) + bk::test::MngRecord("RES_D", "01", "0001", "UPI_AAAA")); },
       "records #1, #3 name one directory", "bkrtool delete-backup RES_D 01 0001"},
      {"truncated management file", [&] { WriteFile(mng(), ReadFile(mng()) + std::string(100, 'x')); },
       "is truncated: 2 complete record(s), 100 byte(s) left over", "cut it to its complete records (1792 bytes)"},
      {"damaged archive",
       [&] {
         const std::string a = dir("UPI_AAAB") + "\\BACKRSC";
         WriteFile(a, ReadFile(a).substr(0, 40));
       },
       "the archive is defective", "bkrtool verify RES_B 01 0001"},
      {"missing ADDFILE", [&] { ::DeleteFileA((dir("UPI_AAAA") + "\\ADDFILE").c_str()); },
       "ADDFILE is missing", "bkrtool delete-backup RES_A 01 0001"},
      {"missing archive", [&] { ::DeleteFileA((dir("UPI_AAAA") + "\\BACKRSC").c_str()); },
       "BACKRSC is missing, BACKSUM describes one", "bkrtool delete-backup RES_A 01 0001"},
  };
  for (const Case& c : cases) {
    c.damage();
    const auto damaged = Bytes(root());
    run = Tool("check");
    EXPECT_EQ(run.exitCode, 1u) << c.what << "\n" << run.out << run.err;
    EXPECT_TRUE(Has(run.out, c.finding)) << c.what << "\n" << run.out;
    EXPECT_TRUE(Has(run.out, c.mend)) << c.what << "\n" << run.out;
    EXPECT_TRUE(Has(run.out, "; 1 finding(s)")) << c.what << "\n" << run.out;
    run = Tool("check --json");
    EXPECT_EQ(run.exitCode, 1u) << c.what;
    EXPECT_TRUE(Has(run.out, "\"findingCount\":1")) << c.what << "\n" << run.out;
    EXPECT_TRUE(Bytes(root()) == damaged) << c.what << ": check changed the root";
    Restore(root(), sound);
  }
  EXPECT_EQ(Tool("check").exitCode, 0u);
}

}  // namespace
