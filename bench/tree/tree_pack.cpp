// tree_pack SOURCE PACKFILE: the packer floor of the tree benchmark. Walks
// SOURCE (each directory listed once, its search closed before recursing) and
// copies every file in 256 KiB ReadFile/WriteFile pieces into one pack file
// (layout in tree_common.h), without compression. Prints the time taken and
// the counts; exit code 0 done, 1 failed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tree_common.h"

namespace {

using bk::tree::kPieceSize;

// The pack file with a 256 KiB staging buffer: headers are gathered in it and
// file contents are read straight into its free space.
class PackWriter {
 public:
  explicit PackWriter(HANDLE file) : file_(file), buffer_(kPieceSize) {}

  bool Append(const unsigned char* data, std::size_t size) {
    while (size > 0) {
      if (used_ == buffer_.size() && !Flush()) return false;
      const std::size_t take = std::min(size, buffer_.size() - used_);
      std::copy(data, data + take, buffer_.data() + used_);
      used_ += take;
      data += take;
      size -= take;
    }
    return true;
  }

  // Copies `size` bytes of `source`; fails when the file turns out shorter.
  bool CopyFrom(HANDLE source, std::uint64_t size, DWORD& error) {
    while (size > 0) {
      if (used_ == buffer_.size() && !Flush()) {
        error = ::GetLastError();
        return false;
      }
      const std::size_t space = buffer_.size() - used_;
      const DWORD want = static_cast<DWORD>(size < space ? size : space);
      DWORD got = 0;
      if (!::ReadFile(source, buffer_.data() + used_, want, &got, nullptr)) {
        error = ::GetLastError();
        return false;
      }
      if (got == 0) {
        error = ERROR_HANDLE_EOF;
        return false;
      }
      used_ += got;
      size -= got;
    }
    return true;
  }

  bool Flush() {
    std::size_t done = 0;
    while (done < used_) {
      DWORD wrote = 0;
      if (!::WriteFile(file_, buffer_.data() + done, static_cast<DWORD>(used_ - done), &wrote, nullptr) ||
          wrote == 0)
        return false;
      done += wrote;
    }
    used_ = 0;
    return true;
  }

 private:
  HANDLE file_;
  std::vector<unsigned char> buffer_;
  std::size_t used_ = 0;
};

struct Counts {
  unsigned long long files = 0;
  unsigned long long directories = 0;
  unsigned long long bytes = 0;
};

bool WriteEntry(PackWriter& out, std::uint32_t kind, const WIN32_FIND_DATAA* found, std::uint64_t size,
                const std::string& name) {
  unsigned char header[bk::tree::kEntryHeaderSize] = {};
  bk::StoreLe32(header + bk::tree::kEntryKind, kind);
  if (found != nullptr) {
    bk::StoreLe32(header + bk::tree::kEntryAttributes, found->dwFileAttributes);
    bk::tree::StoreLe64(header + bk::tree::kEntryCreation, bk::tree::FromFileTime(found->ftCreationTime));
    bk::tree::StoreLe64(header + bk::tree::kEntryAccess, bk::tree::FromFileTime(found->ftLastAccessTime));
    bk::tree::StoreLe64(header + bk::tree::kEntryWrite, bk::tree::FromFileTime(found->ftLastWriteTime));
  }
  bk::tree::StoreLe64(header + bk::tree::kEntrySize, size);
  bk::StoreLe32(header + bk::tree::kEntryNameLength, static_cast<std::uint32_t>(name.size()));
  return out.Append(header, sizeof header) &&
         out.Append(reinterpret_cast<const unsigned char*>(name.data()), name.size());
}

// Packs the contents of source + "\" + relative (relative empty for the root).
bool PackDirectory(PackWriter& out, const std::string& source, const std::string& relative, Counts& counts) {
  const std::string path = relative.empty() ? source : source + "\\" + relative;
  std::vector<WIN32_FIND_DATAA> entries;
  DWORD error = 0;
  if (!bk::tree::ListDirectory(path, entries, error)) {
    std::fprintf(stderr, "tree_pack: cannot list %s (error %lu)\n", path.c_str(), error);
    return false;
  }
  for (const WIN32_FIND_DATAA& found : entries) {
    const std::string name = relative.empty() ? std::string(found.cFileName) : relative + "\\" + found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!WriteEntry(out, bk::tree::kKindDirectory, &found, 0, name)) return false;
      ++counts.directories;
      if (!PackDirectory(out, source, name, counts)) return false;
      continue;
    }
    const std::uint64_t size = (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
    const std::string full = source + "\\" + name;
    bk::win::unique_hfile file(::CreateFileA(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      std::fprintf(stderr, "tree_pack: cannot open %s (error %lu)\n", full.c_str(), ::GetLastError());
      return false;
    }
    if (!WriteEntry(out, bk::tree::kKindFile, &found, size, name)) return false;
    if (!out.CopyFrom(file.get(), size, error)) {
      std::fprintf(stderr, "tree_pack: cannot copy %s (error %lu)\n", full.c_str(), error);
      return false;
    }
    ++counts.files;
    counts.bytes += size;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tree_pack SOURCE PACKFILE\n");
    return 2;
  }
  const std::string source = argv[1];
  const bk::tree::Stopwatch clock;
  bk::win::unique_hfile pack(
      ::CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!pack) {
    std::fprintf(stderr, "tree_pack: cannot create %s (error %lu)\n", argv[2], ::GetLastError());
    return 1;
  }
  PackWriter out(pack.get());
  Counts counts;
  const bool ok = out.Append(reinterpret_cast<const unsigned char*>(bk::tree::kPackMagic),
                             sizeof bk::tree::kPackMagic) &&
                  PackDirectory(out, source, "", counts) &&
                  WriteEntry(out, bk::tree::kKindEnd, nullptr, 0, "") && out.Flush();
  pack.reset();
  const double seconds = clock.Seconds();
  if (!ok) {
    std::fprintf(stderr, "tree_pack: failed after %.3f s\n", seconds);
    return 1;
  }
  std::printf("tree_pack: seconds=%.3f files=%llu directories=%llu bytes=%llu\n", seconds, counts.files,
              counts.directories, counts.bytes);
  return 0;
}
