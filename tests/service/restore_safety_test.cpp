// A restore never loses the saved state, tried through the shipped
// bkrestore.dll as the client calls it: a restore that fails part way (a file
// held by another process, a full volume) keeps its backup and a rerun once
// the cause is gone puts the tree back exactly; what the installation put in
// the way (the other kind of entry, names the ANSI calls cannot reach, a
// directory link) is dealt with; damaged or missing saved content is refused
// before anything changes, and never restored wrong.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "backup_root.h"
#include "bkrestore/bkrestore.h"
#include "platform/unique_handle.h"
#include "tree_snapshot.h"

namespace {

using bk::test::Exists;
using bk::test::MakeDir;
using bk::test::Mng;
using bk::test::ReadFile;
using bk::test::RemoveTree;
using bk::test::Snapshot;
using bk::test::SnapshotDiff;
using bk::test::TakeSnapshot;
using bk::test::WriteFile;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Creates a file by its extended path, for names the ANSI calls cannot make.
bool MakeFileW(const std::wstring& path, const std::string& content) {
  bk::win::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  DWORD written = 0;
  return file && ::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

// The Unix path of a Windows path (Wine only; empty elsewhere).
std::string UnixPath(const std::string& path) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto call = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  char* name = call != nullptr ? call(Wide(path).c_str()) : nullptr;
  if (name == nullptr) return "";
  std::string out = name;
  ::HeapFree(::GetProcessHeap(), 0, name);
  return out;
}

// Runs a Unix program (Wine starts it, but gives no handle to wait on) and
// waits until `done` holds.
template <typename Done>
bool RunUnix(const std::string& program, std::string commandLine, Done done) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
    return false;
  if (process.hThread != nullptr) ::CloseHandle(process.hThread);
  if (process.hProcess != nullptr) ::CloseHandle(process.hProcess);
  for (int i = 0; i < 500 && !done(); ++i) ::Sleep(10);
  return done();
}

class Safety : public bk::test::BackupRootTest {
 protected:
  void SetUp() override {
    BackupRootTest::SetUp();
    WriteFile(mng(), Mng({}));
    app = source.path() + "\\app";
  }

  // A small application folder: files in two levels, an empty file and an
  // empty folder, fixed times.
  void MakeApplication(const std::string& at) {
    MakeDir(at);
    MakeDir(at + "\\bin");
    MakeDir(at + "\\data");
    MakeDir(at + "\\empty dir");
    WriteFile(at + "\\bin\\app.dll", std::string(300000, 'd'));
    WriteFile(at + "\\bin\\app.cfg", "mode=saved");
    WriteFile(at + "\\data\\table.dat", std::string(5000, 't'));
    WriteFile(at + "\\readme.txt", "read me");
    WriteFile(at + "\\empty.txt", "");
    bk::test::SetTimes(at + "\\bin\\app.dll", 2020, 1, 2);
    bk::test::SetTimes(at + "\\readme.txt", 2019, 3, 4);
    bk::test::SetTimes(at + "\\data", 2018, 5, 6);
    bk::test::SetTimes(at + "\\bin", 2017, 7, 8);
  }
  // What an installation does to it.
  void Install(const std::string& at) {
    WriteFile(at + "\\bin\\app.dll", "new dll");
    WriteFile(at + "\\bin\\app.cfg", "mode=installed, longer than before");
    ::DeleteFileA((at + "\\readme.txt").c_str());
    WriteFile(at + "\\bin\\added.dll", "added");
  }

  std::uint32_t Backup(const std::string& path) { return vskAPIBackup("RES_A", "01", "0001", path.c_str()); }
  std::uint32_t Run() { return vskAPIRestore("RES_A", "01", "0001"); }

  // The backup as it is on disk: its record and its folder's files.
  struct Kept {
    std::string records;
    Snapshot files;
    bool operator==(const Kept&) const = default;
  };
  Kept KeptBackup() const { return {ReadFile(mng()), TakeSnapshot(dir("UPI_AAAA"))}; }

  bk::test::TempDir source;
  std::string app;
};

TEST_F(Safety, AFileHeldByAnotherProcessFailsTheRestoreAndARerunFinishesIt) {
  MakeApplication(app);
  const Snapshot before = TakeSnapshot(app);
  ASSERT_EQ(Backup(app), 0u);
  Install(app);
  const Kept kept = KeptBackup();
  {
    // Held without delete or write sharing, as a running program holds its DLL.
    bk::win::unique_hfile held(::CreateFileA((app + "\\bin\\app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(Run(), 2u);
  }
  EXPECT_TRUE(Logged("Can't delete " + app + "\\bin\\app.dll FarRemoveDirectry"));
  EXPECT_EQ(LastLine(), "The backup " + dir("UPI_AAAA") + " is kept for a rerun in vskDoRestore.");
  EXPECT_EQ(KeptBackup(), kept);
  EXPECT_EQ(Run(), 0u);
  EXPECT_EQ(SnapshotDiff(before, TakeSnapshot(app)), "");
  EXPECT_EQ(Run(), 1u);
}

// The volume is a small tmpfs that the test's fixture mounts as drive M: of
// the Wine prefix.
TEST_F(Safety, AFullVolumeFailsTheRestoreWithTheDiskFullErrorAndARerunFinishesIt) {
  const std::string volume = "M:\\";
  if (::GetFileAttributesA(volume.c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::string reason = ReadFile(BK_FULL_VOLUME_REASON);
    GTEST_SKIP() << "drive M: (a small tmpfs) is not mounted: "
                 << (reason.empty() ? "the fixture ran elsewhere or not at all" : reason);
  }
  const std::string at = volume + "app";
  RemoveTree(at);
  RemoveTree(volume + "filler");
  MakeApplication(at);
  const Snapshot before = TakeSnapshot(at);
  ASSERT_EQ(Backup(at), 0u);
  Install(at);
  // The installation fills the volume: far less than the saved DLL is free.
  {
    bk::win::unique_hfile filler(::CreateFileA((volume + "filler").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(filler);
    const std::string chunk(4096, 'f');
    DWORD written = 0;
    while (::WriteFile(filler.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) &&
           written == chunk.size()) {
    }
  }
  const Kept kept = KeptBackup();
  EXPECT_EQ(Run(), 2u);
  // The write's own error, not one an earlier call left behind.
  EXPECT_TRUE(Logged("arCreateUnarcFile:" + at + "\\bin\\app.dll 112")) << LastLine();
  EXPECT_EQ(LastLine(), "The backup " + dir("UPI_AAAA") + " is kept for a rerun in vskDoRestore.");
  EXPECT_EQ(KeptBackup(), kept);
  // Space freed, the rerun puts every file back whole.
  ASSERT_TRUE(::DeleteFileA((volume + "filler").c_str()));
  EXPECT_EQ(Run(), 0u);
  EXPECT_EQ(SnapshotDiff(before, TakeSnapshot(at)), "");
  RemoveTree(at);
}

// A saved directory where the installation put a file, and a saved file
// where it put a directory with contents: each goes, and the saved entry is
// put back in its place.
TEST_F(Safety, WhatStandsWhereTheOtherKindWasSavedIsReplaced) {
  MakeApplication(app);
  const Snapshot before = TakeSnapshot(app);
  ASSERT_EQ(Backup(app), 0u);
  RemoveTree(app + "\\data");
  WriteFile(app + "\\data", "a file where a directory was");
  ASSERT_TRUE(::DeleteFileA((app + "\\bin\\app.cfg").c_str()));
  MakeDir(app + "\\bin\\app.cfg");
  WriteFile(app + "\\bin\\app.cfg\\inside.txt", "in a directory where a file was");
  EXPECT_EQ(Run(), 0u) << LastLine();
  EXPECT_EQ(SnapshotDiff(before, TakeSnapshot(app)), "");
  EXPECT_TRUE(Logged("OTHER_KIND_REMOVED path = " + app + "\\data"));
  EXPECT_TRUE(Logged("OTHER_KIND_REMOVED path = " + app + "\\bin\\app.cfg"));
}

// Added inside saved folders: a name the ANSI code page cannot spell, a name
// with a trailing dot, and a tree deeper than MAX_PATH. All go, and the step
// ends with its summary.
TEST_F(Safety, AddedNamesTheAnsiCallsCannotReachAreRemoved) {
  MakeApplication(app);
  const Snapshot before = TakeSnapshot(app);
  ASSERT_EQ(Backup(app), 0u);
  const std::wstring extended = L"\\\\?\\" + Wide(app);
  ASSERT_TRUE(MakeFileW(extended + L"\\bin\\\u4e2d\u6587.txt", "added"));
  ASSERT_TRUE(MakeFileW(extended + L"\\data\\trail.", "added"));
  std::wstring deep = extended + L"\\deep";
  ASSERT_TRUE(::CreateDirectoryW(deep.c_str(), nullptr));
  for (int level = 0; level < 6; ++level) {
    deep += L"\\" + std::wstring(50, static_cast<wchar_t>(L'a' + level));
    ASSERT_TRUE(::CreateDirectoryW(deep.c_str(), nullptr)) << level;
  }
  ASSERT_TRUE(MakeFileW(deep + L"\\deep.txt", "added"));
  EXPECT_EQ(Run(), 0u) << LastLine();
  EXPECT_EQ(SnapshotDiff(before, TakeSnapshot(app)), "");
  EXPECT_TRUE(Logged("ADDED_CONTENTS removed = 3, left = 0"));
}

// A saved directory replaced by a Unix symbolic link to a folder elsewhere,
// which Wine lists as a directory reparse point. Nothing is written through
// it: the folder it points to stays as it was. Where the link can be removed
// as a link (Windows) the restore does so; Wine follows such a link when it
// is opened, so there the restore refuses, keeps the backup, and the rerun
// after the link is gone finishes the job.
TEST_F(Safety, NothingIsWrittenThroughADirectoryLink) {
  MakeApplication(app);
  const std::string outside = source.path() + "\\outside";
  MakeDir(outside);
  WriteFile(outside + "\\table.dat", "the user's own table");
  WriteFile(outside + "\\notes.txt", "the user's notes");
  const Snapshot before = TakeSnapshot(app), outsideBefore = TakeSnapshot(outside);
  ASSERT_EQ(Backup(app), 0u);
  RemoveTree(app + "\\data");
  const std::string link = app + "\\data";
  const std::string linkUnix = UnixPath(link), outsideUnix = UnixPath(outside);
  if (linkUnix.empty()) GTEST_SKIP() << "no Unix paths here (not Wine)";
  auto isLink = [&] {
    const DWORD a = ::GetFileAttributesA(link.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  };
  ASSERT_TRUE(RunUnix("Z:\\bin\\ln", "ln -s \"" + outsideUnix + "\" \"" + linkUnix + "\"",
                      [&] { return ::GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES; }));
  if (!isLink()) GTEST_SKIP() << "this Wine does not list a Unix directory link as a reparse point";

  const Kept kept = KeptBackup();
  const std::uint32_t result = Run();
  EXPECT_EQ(SnapshotDiff(outsideBefore, TakeSnapshot(outside)), "");
  if (result == 2) {
    EXPECT_TRUE(Logged("ERROR__DelBackup_DelDirectory path = " + link));
    EXPECT_EQ(KeptBackup(), kept);
    ASSERT_TRUE(RunUnix("Z:\\bin\\rm", "rm \"" + linkUnix + "\"", [&] { return !Exists(link); }));
    EXPECT_EQ(Run(), 0u);
  } else {
    EXPECT_EQ(result, 0u);
  }
  EXPECT_EQ(SnapshotDiff(before, TakeSnapshot(app)), "");
  EXPECT_EQ(SnapshotDiff(outsideBefore, TakeSnapshot(outside)), "");
}

// A saved folder reached through a link on its way (a directory above the
// path given to the backup, which the backup read through too): the saved
// files go back where the backup read them, but nothing is searched or
// removed through the link.
TEST_F(Safety, NothingIsRemovedThroughALinkAboveTheSavedFolder) {
  const std::string real = source.path() + "\\real", above = source.path() + "\\above";
  MakeDir(real);
  MakeApplication(real + "\\app");
  const std::string realUnix = UnixPath(real), aboveUnix = UnixPath(above);
  if (aboveUnix.empty()) GTEST_SKIP() << "no Unix paths here (not Wine)";
  ASSERT_TRUE(RunUnix("Z:\\bin\\ln", "ln -s \"" + realUnix + "\" \"" + aboveUnix + "\"",
                      [&] { return Exists(above + "\\app"); }));
  const std::string linked = above + "\\app";
  const Snapshot before = TakeSnapshot(linked);
  ASSERT_EQ(Backup(linked), 0u);
  WriteFile(linked + "\\readme.txt", "changed");
  WriteFile(linked + "\\bin\\added.dll", "added through the link");
  EXPECT_EQ(Run(), 0u);
  EXPECT_TRUE(Logged("ADDED_CONTENTS_NOT_SEARCHED path = " + linked + ", below the link")) << LastLine();
  Snapshot after = TakeSnapshot(linked);
  EXPECT_EQ(after.erase("bin\\added.dll"), 1u);
  EXPECT_EQ(SnapshotDiff(before, after), "");
  RunUnix("Z:\\bin\\rm", "rm \"" + aboveUnix + "\"", [&] { return !Exists(above); });
}

TEST_F(Safety, AMissingArchiveIsAFailedStepAndTheBackupIsKept) {
  MakeApplication(app);
  ASSERT_EQ(Backup(app), 0u);
  Install(app);
  const Snapshot installed = TakeSnapshot(app);
  ASSERT_TRUE(::DeleteFileA((dir("UPI_AAAA") + "\\BACKRSC").c_str()));
  const Kept kept = KeptBackup();
  EXPECT_EQ(Run(), 2u);
  EXPECT_TRUE(Logged("ERROR_NO_ENTRY_BACKUP_RSCFILE path = " + dir("UPI_AAAA") + "\\BACKRSC"));
  EXPECT_EQ(KeptBackup(), kept);
  EXPECT_EQ(SnapshotDiff(installed, TakeSnapshot(app)), "");
}

// Every single-byte change of a small backup's BACKRSC, at offsets spread
// over the whole file: either refused before anything changed (tree and
// backup as they were) or, for a byte no reader uses, a restore of exactly
// the saved content. Never a restore of anything else.
TEST_F(Safety, AFlippedByteOfTheArchiveIsRefusedOrRestoresExactlyTheSavedContent) {
  MakeDir(app);
  MakeDir(app + "\\s");
  WriteFile(app + "\\a.txt", "alpha alpha alpha");
  WriteFile(app + "\\b.bin", std::string(100, '\x07') + "bravo");
  WriteFile(app + "\\s\\c.txt", "charlie");
  bk::test::SetTimes(app + "\\a.txt", 2021, 2, 3);
  const Snapshot before = TakeSnapshot(app);
  ASSERT_EQ(Backup(app), 0u);
  const std::string records = ReadFile(mng());
  const Snapshot backupFiles = TakeSnapshot(dir("UPI_AAAA"));
  const std::string archive = ReadFile(dir("UPI_AAAA") + "\\BACKRSC");
  ASSERT_GT(archive.size(), 64u);

  std::vector<std::size_t> offsets;
  for (std::size_t at = 0; at < 40; ++at) offsets.push_back(at);  // magic number, options, first block
  for (std::size_t at = 40; at < archive.size(); at += archive.size() / 40 + 1) offsets.push_back(at);
  if (offsets.back() != archive.size() - 1) offsets.push_back(archive.size() - 1);
  for (std::size_t at : offsets) {
    for (int flip : {0x01, 0x80}) {
      SCOPED_TRACE("offset " + std::to_string(at) + " xor " + std::to_string(flip));
      // The backup as it was made, with the one byte changed; the tree as
      // the installation left it.
      RemoveTree(dir("UPI_AAAA"));
      MakeDir(dir("UPI_AAAA"));
      for (const auto& [name, entry] : backupFiles) WriteFile(dir("UPI_AAAA") + "\\" + name, entry.content);
      std::string damaged = archive;
      damaged[at] = static_cast<char>(damaged[at] ^ flip);
      WriteFile(dir("UPI_AAAA") + "\\BACKRSC", damaged);
      WriteFile(mng(), records);
      RemoveTree(app);
      MakeDir(app);
      WriteFile(app + "\\a.txt", "installed");
      WriteFile(app + "\\added.txt", "added");
      const Snapshot installed = TakeSnapshot(app);
      const Kept kept = KeptBackup();

      const std::uint32_t result = Run();
      if (result == 0) {
        EXPECT_EQ(SnapshotDiff(before, TakeSnapshot(app)), "");
        EXPECT_FALSE(Exists(dir("UPI_AAAA")));
      } else {
        EXPECT_EQ(result, 2u);
        EXPECT_EQ(SnapshotDiff(installed, TakeSnapshot(app)), "");
        EXPECT_EQ(KeptBackup(), kept);
      }
    }
  }
}

}  // namespace
