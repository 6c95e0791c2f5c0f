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
#include "platform/unique_handle.h"

namespace {

struct Line {
  std::string path, attributes, modified, crc;  // crc empty: unread
  bool directory = false;
  unsigned long long size = 0;
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
  const bk::win::unique_hfile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return false;
  std::vector<unsigned char> buffer(1 << 18);
  crc = crc32(0L, Z_NULL, 0);
  DWORD got = 0;
  bool ok;
  while ((ok = ::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) != FALSE) &&
         got > 0)
    crc = crc32(crc, buffer.data(), got);
  return ok;
}

void Walk(const std::string& root, const std::string& relative, std::vector<Line>& out) {
  const std::string base = relative.empty() ? root : root + "\\" + relative;
  WIN32_FIND_DATAA found;
  std::vector<WIN32_FIND_DATAA> entries;
  {
    const bk::win::unique_hfind search(::FindFirstFileA((base + "\\*").c_str(), &found));
    if (!search) return;
    do {
      const std::string name = found.cFileName;
      if (name != "." && name != "..") entries.push_back(found);
    } while (::FindNextFileA(search.get(), &found));
  }
  for (const WIN32_FIND_DATAA& e : entries) {
    Line line;
    line.path = relative.empty() ? e.cFileName : relative + "\\" + e.cFileName;
    line.directory = (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    line.attributes = Attributes(e.dwFileAttributes);
    line.modified = LocalTime(e.ftLastWriteTime);
    if (!line.directory) {
      line.size = (static_cast<unsigned long long>(e.nFileSizeHigh) << 32) | e.nFileSizeLow;
      unsigned long crc = 0;
      if (Checksum(root + "\\" + line.path, crc)) {
        char sum[16];
        std::snprintf(sum, sizeof sum, "%08lx", crc);
        line.crc = sum;
      }
    }
    out.push_back(line);
    if (line.directory && !(e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) Walk(root, line.path, out);
  }
}

std::string Text(const Line& l) {
  char text[512];
  if (l.directory)
    std::snprintf(text, sizeof text, "dir  %s %s %12s %8s  %s", l.attributes.c_str(), l.modified.c_str(), "-", "-",
                  l.path.c_str());
  else
    std::snprintf(text, sizeof text, "file %s %s %12llu %8s  %s", l.attributes.c_str(), l.modified.c_str(), l.size,
                  l.crc.empty() ? "UNREAD" : l.crc.c_str(), l.path.c_str());
  return text;
}

std::string Json(const Line& l) {
  bkrtool::JsonObject o;
  o.Text("kind", l.directory ? "directory" : "file").Text("attributes", l.attributes).Text("modified", l.modified);
  if (l.directory)
    o.Null("size").Null("crc32");
  else
    o.Unsigned("size", l.size).TextOrNull("crc32", l.crc);
  return o.Text("path", l.path).Str();
}

int Tree(const bkrtool::Args& all) {
  const bkrtool::Args args = bkrtool::WithoutJson(all);
  if (args.size() != 1) return bkrtool::Fail("usage: bkrtool tree [--json] DIR");
  std::string root = args[0];
  while (root.size() > 3 && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  const DWORD attributes = ::GetFileAttributesA(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return bkrtool::Fail(root + " is not a directory");
  std::vector<Line> lines;
  Walk(root, "", lines);
  std::sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.path < b.path; });
  if (bkrtool::JsonOutput()) {
    std::string entries = "[";
    for (const Line& l : lines) entries += (entries.size() > 1 ? "," : "") + Json(l);
    return bkrtool::PrintJson(bkrtool::JsonObject().Text("root", root).Json("entries", entries + "]"), 0);
  }
  std::printf("kind attr modified (local)      size    crc32  path\n");
  for (const Line& l : lines) std::printf("%s\n", Text(l).c_str());
  return 0;
}

}  // namespace

BKR_COMMAND("tree", "[--json] DIR",
            "list every file and directory below DIR with attributes, modification time, size and checksum",
            Tree);
