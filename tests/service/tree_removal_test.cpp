// Directory tree removal: whole trees, contents only, read-only entries,
// links, and the "far" log lines of its failures.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "backup_root.h"
#include "platform/unique_handle.h"
#include "service/tree_removal.h"

namespace {

using bk::test::Exists;
using bk::test::MakeDir;
using bk::test::ReadFile;
using bk::test::WriteFile;

class TreeRemoval : public bk::test::BackupRootTest {
 protected:
  std::string t(const std::string& sub = "") const { return sub.empty() ? dir("T") : dir("T") + "\\" + sub; }
};

void MakeReadOnly(const std::string& path) {
  ::SetFileAttributesA(path.c_str(), ::GetFileAttributesA(path.c_str()) | FILE_ATTRIBUTE_READONLY);
}

TEST_F(TreeRemoval, RemovesATreeWithReadOnlyEntries) {
  MakeDir(t());
  WriteFile(t("ro.txt"), "1");
  MakeReadOnly(t("ro.txt"));
  MakeDir(t("sub"));
  WriteFile(t("sub\\a.txt"), "2");
  MakeDir(t("sub\\deeper"));
  WriteFile(t("sub\\deeper\\b.txt"), "3");
  MakeReadOnly(t("sub\\deeper\\b.txt"));
  MakeDir(t("rodir"));
  WriteFile(t("rodir\\c.txt"), "4");
  MakeReadOnly(t("rodir"));
  ASSERT_FALSE(::DeleteFileA(t("ro.txt").c_str()));  // what the reset of the attributes is for

  EXPECT_EQ(DelBackup_DelDirectory(t().c_str()), 1);
  EXPECT_FALSE(Exists(t()));
  EXPECT_TRUE(Exists(root()));
  EXPECT_TRUE(Lines().empty());
}

TEST_F(TreeRemoval, TrailingBackslashRemovesTheContentsOnly) {
  MakeDir(t());
  WriteFile(t("a.txt"), "1");
  MakeDir(t("sub"));
  WriteFile(t("sub\\b.txt"), "2");
  EXPECT_EQ(DelBackup_DelDirectory((t() + "\\").c_str()), 1);
  EXPECT_TRUE(Exists(t()));
  EXPECT_FALSE(Exists(t("a.txt")));
  EXPECT_FALSE(Exists(t("sub")));

  // An empty directory: only "." and ".." are found.
  EXPECT_EQ(DelBackup_DelDirectory((t() + "\\").c_str()), 1);
  EXPECT_TRUE(Exists(t()));
}

TEST_F(TreeRemoval, RemovesASingleFile) {
  WriteFile(dir("single.txt"), "x");
  MakeReadOnly(dir("single.txt"));
  EXPECT_EQ(DelBackup_DelDirectory(dir("single.txt").c_str()), 1);
  EXPECT_FALSE(Exists(dir("single.txt")));
}

TEST_F(TreeRemoval, MissingPathFailsWithTheSearchError) {
  EXPECT_EQ(DelBackup_DelDirectory(dir("absent").c_str()), 0);
  EXPECT_EQ(LastLine(), "FindFirstFile Error: Path=" + dir("absent") + ", GetLastError=2, func=DelBackup_DelDirectory.");
  EXPECT_EQ(DelBackup_DelDirectory((dir("absent") + "\\").c_str()), 0);
  EXPECT_EQ(LastLine().find("FindFirstFile Error: Path=" + dir("absent") + "\\*.*, GetLastError="), 0u);
}

TEST_F(TreeRemoval, DotEntriesAreSkipped) {
  WIN32_FIND_DATAA entry{};
  entry.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  lstrcpyA(entry.cFileName, "..");
  EXPECT_EQ(DelBackup_DelFile((root() + "\\").c_str(), entry), 0u);
  lstrcpyA(entry.cFileName, ".");
  EXPECT_EQ(DelBackup_DelFile((root() + "\\").c_str(), entry), 0u);
  EXPECT_TRUE(Exists(root()));
}

// Wine cannot make junctions or directory links, so the search reports the
// entries named "link..." as reparse points; they are empty stand-ins on disk.
std::vector<std::wstring> g_patterns;
void MarkLinks(WIN32_FIND_DATAW* found) {
  if (std::wcsncmp(found->cFileName, L"link", 4) == 0) found->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
}
HANDLE WINAPI WatchingFindFirst(LPCWSTR pattern, LPWIN32_FIND_DATAW found) {
  g_patterns.push_back(pattern);
  const HANDLE search = ::FindFirstFileW(pattern, found);
  if (search != INVALID_HANDLE_VALUE) MarkLinks(found);
  return search;
}
BOOL WINAPI WatchingFindNext(HANDLE search, LPWIN32_FIND_DATAW found) {
  const BOOL more = ::FindNextFileW(search, found);
  if (more) MarkLinks(found);
  return more;
}

// A stand-in link is an empty directory or file: removed as it is.
std::vector<std::wstring> g_links;
bool RemoveStandIn(const wchar_t* path, DWORD* error) {
  g_links.push_back(path);
  const DWORD attributes = ::GetFileAttributesW(path);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(path) : ::DeleteFileW(path)) return true;
  *error = ::GetLastError();
  return false;
}

// The search sees a path in its extended form.
std::wstring Searched(const std::string& path) { return L"\\\\?\\" + std::wstring(path.begin(), path.end()); }

TEST_F(TreeRemoval, LinksAreRemovedWithoutEnteringThem) {
  MakeDir(dir("TARGET"));
  WriteFile(dir("TARGET") + "\\keep.txt", "kept");
  MakeDir(t());
  MakeDir(t("linkdir"));    // a directory link to TARGET
  WriteFile(t("linkfile"), "");  // a file link
  MakeDir(t("real"));
  WriteFile(t("real\\x.txt"), "x");
  MakeDir(dir("linktop"));  // a link given as the path itself
  g_patterns.clear();
  g_links.clear();
  vskFarSearch() = {WatchingFindFirst, WatchingFindNext, RemoveStandIn};

  EXPECT_EQ(DelBackup_DelDirectory(t().c_str()), 1);
  EXPECT_EQ(DelBackup_DelDirectory(dir("linktop").c_str()), 1);
  EXPECT_FALSE(Exists(t()));
  EXPECT_FALSE(Exists(dir("linktop")));
  EXPECT_EQ(ReadFile(dir("TARGET") + "\\keep.txt"), "kept");
  const std::vector<std::wstring> expected = {Searched(t()), Searched(t() + "\\*.*"), Searched(t("real\\*.*")),
                                              Searched(dir("linktop"))};
  EXPECT_EQ(g_patterns, expected);
  std::vector<std::wstring> links = {Searched(dir("linktop")), Searched(t("linkdir")), Searched(t("linkfile"))};
  std::sort(links.begin(), links.end());
  std::sort(g_links.begin(), g_links.end());
  EXPECT_EQ(g_links, links);
}

// Names as the file system has them: one the ANSI code page cannot spell,
// trailing dots and blanks (which the ANSI calls drop), and a tree deeper
// than MAX_PATH. Each goes like any other.
TEST_F(TreeRemoval, NamesTheAnsiCallsCannotReachAreRemovedToo) {
  MakeDir(t());
  const std::wstring top = Searched(t());
  std::wstring deep = top;
  for (int level = 0; level < 6; ++level) {
    deep += L"\\" + std::wstring(50, static_cast<wchar_t>(L'a' + level));
    ASSERT_TRUE(::CreateDirectoryW(deep.c_str(), nullptr)) << level;
  }
  const std::vector<std::wstring> names = {top + L"\\\u4e2d\u6587.txt", top + L"\\trail.", top + L"\\blank ",
                                           deep + L"\\deep.txt"};
  for (const std::wstring& name : names) {
    bk::win::unique_hfile file(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(file) << ::GetLastError();
  }
  EXPECT_EQ(DelBackup_DelDirectory(t().c_str()), 1) << LastLine();
  EXPECT_FALSE(Exists(t()));
}

TEST_F(TreeRemoval, FirstFailureStopsTheLevelAndIsLogged) {
  MakeDir(t());
  WriteFile(t("locked.txt"), "1");
  // Held open without delete sharing: it cannot be deleted, read-only or not.
  const HANDLE held = ::CreateFileA(t("locked.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(DelBackup_DelDirectory(t().c_str()), 0);
  ::CloseHandle(held);
  EXPECT_TRUE(Exists(t("locked.txt")));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].find("DeleteFile Error: Path=" + t("locked.txt") + ", GetLastError="), 0u) << lines[0];
  EXPECT_NE(lines[0].find(", func=DelBackup_DelFile."), std::string::npos);
  EXPECT_EQ(lines[1], "RemoveDirectory Error: Path=" + t() + ", GetLastError=145, func=DelBackup_DelFile.");

  WIN32_FIND_DATAA entry{};
  lstrcpyA(entry.cFileName, "locked.txt");
  const HANDLE again = ::CreateFileA(t("locked.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     0, nullptr);
  EXPECT_NE(DelBackup_DelFile((t() + "\\").c_str(), entry), 0u);  // the system error, never 0
  ::CloseHandle(again);
  EXPECT_EQ(DelBackup_DelFile((t() + "\\").c_str(), entry), 0u);
  EXPECT_FALSE(Exists(t("locked.txt")));
}

}  // namespace
