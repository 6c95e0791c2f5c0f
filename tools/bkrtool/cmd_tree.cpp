// tree: one line per file and directory below a folder with what a restore
// must put back (kind, attributes, modification time, size, content
// checksum), sorted by path, so that two listings compare with diff.
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"

namespace {

struct Line {
  std::string path, text;
};

std::string Attributes(DWORD a) {
  std::string s;
  s += (a & FILE_ATTRIBUTE_READONLY) ? 'R' : '-';
  s += (a & FILE_ATTRIBUTE_HIDDEN) ? 'H' : '-';
  s += (a & FILE_ATTRIBUTE_SYSTEM) ? 'S' : '-';
  s += (a & FILE_ATTRIBUTE_ARCHIVE) ? 'A' : '-';
  return s;
}

std::string LocalTime(const FILETIME& utc) {
  FILETIME local;
  SYSTEMTIME t;
  ::FileTimeToLocalFileTime(&utc, &local);
  ::FileTimeToSystemTime(&local, &t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return text;
}

// CRC-32 of a file's content; false when it cannot be read.
bool Checksum(const std::string& path, unsigned long& crc) {
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::vector<unsigned char> buffer(1 << 18);
  crc = crc32(0L, Z_NULL, 0);
  DWORD got = 0;
  bool ok;
  while ((ok = ::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) != FALSE) && got > 0)
    crc = crc32(crc, buffer.data(), got);
  ::CloseHandle(file);
  return ok;
}

void Walk(const std::string& root, const std::string& relative, std::vector<Line>& out) {
  const std::string base = relative.empty() ? root : root + "\\" + relative;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA((base + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<WIN32_FIND_DATAA> entries;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") entries.push_back(found);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  for (const WIN32_FIND_DATAA& e : entries) {
    const std::string rel = relative.empty() ? e.cFileName : relative + "\\" + e.cFileName;
    const bool directory = (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    char text[512];
    if (directory) {
      std::snprintf(text, sizeof text, "dir  %s %s %12s %8s  %s", Attributes(e.dwFileAttributes).c_str(),
                    LocalTime(e.ftLastWriteTime).c_str(), "-", "-", rel.c_str());
    } else {
      unsigned long crc = 0;
      const unsigned long long size = (static_cast<unsigned long long>(e.nFileSizeHigh) << 32) | e.nFileSizeLow;
      const bool read = Checksum(root + "\\" + rel, crc);
      char sum[16];
      std::snprintf(sum, sizeof sum, "%08lx", crc);
      std::snprintf(text, sizeof text, "file %s %s %12llu %8s  %s", Attributes(e.dwFileAttributes).c_str(),
                    LocalTime(e.ftLastWriteTime).c_str(), size, read ? sum : "UNREAD", rel.c_str());
    }
    out.push_back({rel, text});
    if (directory && !(e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) Walk(root, rel, out);
  }
}

int Tree(const bkrtool::Args& args) {
  if (args.size() != 1) return bkrtool::Fail("usage: bkrtool tree DIR");
  std::string root = args[0];
  while (root.size() > 3 && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  const DWORD attributes = ::GetFileAttributesA(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return bkrtool::Fail(root + " is not a directory");
  std::vector<Line> lines;
  Walk(root, "", lines);
  std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.path < b.path; });
  std::printf("kind attr modified (local)      size    crc32  path\n");
  for (const Line& l : lines) std::printf("%s\n", l.text.c_str());
  return 0;
}

}  // namespace

BKR_COMMAND("tree", "DIR",
            "list every file and directory below DIR with attributes, modification time, size and checksum",
            Tree);
