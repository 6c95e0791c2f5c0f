// tree_unpack PACKFILE TARGET: the unpacker floor of the tree benchmark.
// Reads a pack of tree_pack in 256 KiB pieces and puts every entry below
// TARGET: per file create (replacing what is there), write in pieces of at
// most 256 KiB, FlushFileBuffers, times and attributes on the open handle,
// close; directories are created on the way and get their times and
// attributes after their contents. Prints the time taken and the counts;
// exit code 0 done, 1 failed (also for a damaged pack).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tree_common.h"

namespace {

using bk::tree::kPieceSize;

// Longest relative name taken from a pack: every path stays below MAX_PATH.
constexpr std::uint32_t kMaxName = MAX_PATH;

// The pack file read in 256 KiB pieces; `left` counts the bytes of the file
// not yet consumed, so that no size from the file is trusted beyond it.
class PackReader {
 public:
  PackReader(HANDLE file, std::uint64_t size) : file_(file), buffer_(kPieceSize), left_(size) {}

  std::uint64_t left() const { return left_; }

  // Up to `want` bytes at *data; 0 at the end of the file or on failure.
  std::size_t Take(std::size_t want, const unsigned char** data) {
    if (position_ == filled_ && !Refill()) return 0;
    const std::size_t take = std::min(want, filled_ - position_);
    *data = buffer_.data() + position_;
    position_ += take;
    left_ -= take;
    return take;
  }

  bool ReadExact(unsigned char* out, std::size_t size) {
    while (size > 0) {
      const unsigned char* data = nullptr;
      const std::size_t got = Take(size, &data);
      if (got == 0) return false;
      std::memcpy(out, data, got);
      out += got;
      size -= got;
    }
    return true;
  }

 private:
  bool Refill() {
    DWORD got = 0;
    if (!::ReadFile(file_, buffer_.data(), static_cast<DWORD>(buffer_.size()), &got, nullptr)) return false;
    position_ = 0;
    filled_ = got;
    return got > 0;
  }

  HANDLE file_;
  std::vector<unsigned char> buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  std::uint64_t left_;
};

struct Entry {
  std::uint32_t kind = 0;
  DWORD attributes = 0;
  std::uint64_t size = 0;
  std::uint64_t creation = 0;
  std::uint64_t access = 0;
  std::uint64_t write = 0;
  std::string name;
};

// A relative name that stays below the target: no empty, "." or ".."
// element, no drive colon, no leading or doubled separator, no forward slash.
bool IsPlainRelativeName(const std::string& name) {
  if (name.empty() || name.find_first_of(":/") != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('\\', start);
    if (end == std::string::npos) end = name.size();
    const std::string element = name.substr(start, end - start);
    if (element.empty() || element == "." || element == "..") return false;
    start = end + 1;
  }
  return true;
}

// False with a message for a damaged entry.
bool ReadEntry(PackReader& in, Entry& entry) {
  unsigned char header[bk::tree::kEntryHeaderSize];
  if (!in.ReadExact(header, sizeof header)) {
    std::fprintf(stderr, "tree_unpack: truncated pack (entry header)\n");
    return false;
  }
  entry.kind = bk::LoadLe32(header + bk::tree::kEntryKind);
  entry.attributes = bk::LoadLe32(header + bk::tree::kEntryAttributes);
  entry.size = bk::tree::LoadLe64(header + bk::tree::kEntrySize);
  entry.creation = bk::tree::LoadLe64(header + bk::tree::kEntryCreation);
  entry.access = bk::tree::LoadLe64(header + bk::tree::kEntryAccess);
  entry.write = bk::tree::LoadLe64(header + bk::tree::kEntryWrite);
  const std::uint32_t nameLength = bk::LoadLe32(header + bk::tree::kEntryNameLength);
  if (entry.kind > bk::tree::kKindFile) {
    std::fprintf(stderr, "tree_unpack: unknown entry kind %u\n", entry.kind);
    return false;
  }
  if (entry.kind == bk::tree::kKindEnd) return nameLength == 0 && entry.size == 0;
  if (nameLength == 0 || nameLength > kMaxName || nameLength > in.left()) {
    std::fprintf(stderr, "tree_unpack: bad name length %u\n", nameLength);
    return false;
  }
  entry.name.resize(nameLength);
  if (!in.ReadExact(reinterpret_cast<unsigned char*>(entry.name.data()), nameLength)) return false;
  if (!IsPlainRelativeName(entry.name) || entry.name.find('\0') != std::string::npos) {
    std::fprintf(stderr, "tree_unpack: refused entry name %s\n", entry.name.c_str());
    return false;
  }
  if ((entry.kind == bk::tree::kKindDirectory && entry.size != 0) || entry.size > in.left()) {
    std::fprintf(stderr, "tree_unpack: bad size of %s\n", entry.name.c_str());
    return false;
  }
  return true;
}

struct Counts {
  unsigned long long files = 0;
  unsigned long long directories = 0;
  unsigned long long bytes = 0;
};

bool WriteFileEntry(PackReader& in, const Entry& entry, const std::string& path,
                    const bk::tree::BasicInfoSetter& basic) {
  // Hidden and system must be passed when replacing such a file.
  const DWORD createAttributes =
      (entry.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) | FILE_ATTRIBUTE_NORMAL;
  bk::win::unique_hfile file(
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, createAttributes, nullptr));
  if (!file) {
    std::fprintf(stderr, "tree_unpack: cannot create %s (error %lu)\n", path.c_str(), ::GetLastError());
    return false;
  }
  std::uint64_t left = entry.size;
  while (left > 0) {
    const unsigned char* data = nullptr;
    const std::size_t got = in.Take(left < kPieceSize ? static_cast<std::size_t>(left) : kPieceSize, &data);
    if (got == 0) {
      std::fprintf(stderr, "tree_unpack: truncated pack in %s\n", entry.name.c_str());
      return false;
    }
    DWORD wrote = 0;
    if (!::WriteFile(file.get(), data, static_cast<DWORD>(got), &wrote, nullptr) || wrote != got) {
      std::fprintf(stderr, "tree_unpack: cannot write %s (error %lu)\n", path.c_str(), ::GetLastError());
      return false;
    }
    left -= got;
  }
  if (!::FlushFileBuffers(file.get())) {
    std::fprintf(stderr, "tree_unpack: cannot flush %s (error %lu)\n", path.c_str(), ::GetLastError());
    return false;
  }
  const DWORD attributes = entry.attributes & ~FILE_ATTRIBUTE_DIRECTORY;
  if (!basic.Set(file.get(), entry.creation, entry.access, entry.write,
                 attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL)) {
    std::fprintf(stderr, "tree_unpack: cannot set times of %s (error %lu)\n", path.c_str(), ::GetLastError());
    return false;
  }
  return true;
}

bool FinishDirectory(const Entry& entry, const std::string& path, const bk::tree::BasicInfoSetter& basic) {
  bk::win::unique_hfile directory(::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!directory || !basic.Set(directory.get(), entry.creation, entry.access, entry.write,
                               entry.attributes | FILE_ATTRIBUTE_DIRECTORY)) {
    std::fprintf(stderr, "tree_unpack: cannot set times of %s (error %lu)\n", path.c_str(), ::GetLastError());
    return false;
  }
  return true;
}

bool Unpack(PackReader& in, const std::string& target, Counts& counts) {
  const bk::tree::BasicInfoSetter basic;
  if (!basic.available()) {
    std::fprintf(stderr, "tree_unpack: SetFileInformationByHandle is missing\n");
    return false;
  }
  unsigned char magic[sizeof bk::tree::kPackMagic];
  if (!in.ReadExact(magic, sizeof magic) || std::memcmp(magic, bk::tree::kPackMagic, sizeof magic) != 0) {
    std::fprintf(stderr, "tree_unpack: not a pack file\n");
    return false;
  }
  if (!::CreateDirectoryA(target.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    std::fprintf(stderr, "tree_unpack: cannot create %s (error %lu)\n", target.c_str(), ::GetLastError());
    return false;
  }
  std::vector<Entry> directories;
  for (;;) {
    Entry entry;
    if (!ReadEntry(in, entry)) return false;
    if (entry.kind == bk::tree::kKindEnd) break;
    const std::string path = target + "\\" + entry.name;
    if (path.size() >= MAX_PATH) {
      std::fprintf(stderr, "tree_unpack: path too long: %s\n", path.c_str());
      return false;
    }
    if (entry.kind == bk::tree::kKindDirectory) {
      if (!::CreateDirectoryA(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "tree_unpack: cannot create %s (error %lu)\n", path.c_str(), ::GetLastError());
        return false;
      }
      ++counts.directories;
      directories.push_back(std::move(entry));
      continue;
    }
    if (!WriteFileEntry(in, entry, path, basic)) return false;
    ++counts.files;
    counts.bytes += entry.size;
  }
  // Deepest first is not needed: setting a directory's times moves no other.
  for (const Entry& directory : directories)
    if (!FinishDirectory(directory, target + "\\" + directory.name, basic)) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tree_unpack PACKFILE TARGET\n");
    return 2;
  }
  const bk::tree::Stopwatch clock;
  bk::win::unique_hfile pack(::CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!pack || !::GetFileSizeEx(pack.get(), &size)) {
    std::fprintf(stderr, "tree_unpack: cannot open %s (error %lu)\n", argv[1], ::GetLastError());
    return 1;
  }
  PackReader in(pack.get(), static_cast<std::uint64_t>(size.QuadPart));
  Counts counts;
  const bool ok = Unpack(in, argv[2], counts);
  const double seconds = clock.Seconds();
  if (!ok) {
    std::fprintf(stderr, "tree_unpack: failed after %.3f s\n", seconds);
    return 1;
  }
  std::printf("tree_unpack: seconds=%.3f files=%llu directories=%llu bytes=%llu\n", seconds, counts.files,
              counts.directories, counts.bytes);
  return 0;
}
