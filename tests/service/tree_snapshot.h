#pragma once
// What a folder holds, for comparing a tree before a backup with the tree
// after its restore: each path below the root with its kind, attributes,
// content and times (directories included).
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

#include "support/win_fixtures.h"

namespace bk::test {

struct SnapshotEntry {
  DWORD attributes = 0;
  std::string content;         // files only
  std::uint64_t modified = 0;  // FILETIME ticks
  bool operator==(const SnapshotEntry&) const = default;
};
using Snapshot = std::map<std::string, SnapshotEntry>;

inline std::uint64_t Ticks(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

inline void SnapshotInto(const std::string& root, const std::string& relative, Snapshot& out) {
  WIN32_FIND_DATAA found;
  const std::string base = relative.empty() ? root : root + "\\" + relative;
  HANDLE search = ::FindFirstFileA((base + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    const std::string rel = relative.empty() ? name : relative + "\\" + name;
    SnapshotEntry e;
    // The archive attribute is not compared: writing a file sets it.
    e.attributes = found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY |
                                             FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    // Times are kept to the second: the archive stores no finer.
    e.modified = Ticks(found.ftLastWriteTime) / 10000000u;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[rel] = e;
      SnapshotInto(root, rel, out);
    } else {
      e.content = ReadFile(root + "\\" + rel);
      out[rel] = e;
    }
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
}

inline Snapshot TakeSnapshot(const std::string& root) {
  Snapshot s;
  SnapshotInto(root, "", s);
  return s;
}

// What differs between two snapshots, one line per path; empty when equal.
inline std::string SnapshotDiff(const Snapshot& expected, const Snapshot& actual) {
  std::string out;
  auto describe = [](const SnapshotEntry& e) {
    return "attributes " + std::to_string(e.attributes) + ", " + std::to_string(e.content.size()) +
           " bytes, modified " + std::to_string(e.modified);
  };
  for (const auto& [path, e] : expected) {
    auto it = actual.find(path);
    if (it == actual.end())
      out += "missing: " + path + "\n";
    else if (!(it->second == e))
      out += "differs: " + path + " (" + describe(e) + " / " + describe(it->second) +
             (it->second.content == e.content ? "" : ", content differs") + ")\n";
  }
  for (const auto& [path, e] : actual)
    if (expected.count(path) == 0) out += "extra: " + path + "\n";
  return out;
}

// Sets a file's or directory's modification and access times (local seconds).
inline void SetTimes(const std::string& path, int year, int month, int day, int hour = 12) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wHour = static_cast<WORD>(hour);
  FILETIME local, utc;
  ::SystemTimeToFileTime(&st, &local);
  ::LocalFileTimeToFileTime(&local, &utc);
  HANDLE h = ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  ::SetFileTime(h, nullptr, &utc, &utc);
  ::CloseHandle(h);
}

}  // namespace bk::test
