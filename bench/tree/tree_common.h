#pragma once
// Shared by the tree benchmark's Win32 programs: the pack file layout of the
// packer and unpacker floors, a directory listing that reads each directory
// once, a monotonic timer and times plus attributes set on an open handle.
//
// Pack file: the 8-byte magic "BKTPACK1", then one entry per directory or
// file in walk order (a directory before its contents), then an end entry.
// Entry, little-endian: kind (4: 0 end, 1 directory, 2 file), attributes (4),
// size (8; 0 for directories), creation, last access and last write time (8
// each, FILETIME), name length (4), then the relative name (backslashes, no
// terminator) and, for files, the content.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "platform/unique_handle.h"

namespace bk::tree {

inline constexpr char kPackMagic[8] = {'B', 'K', 'T', 'P', 'A', 'C', 'K', '1'};
inline constexpr std::size_t kEntryKind = 0;
inline constexpr std::size_t kEntryAttributes = 4;
inline constexpr std::size_t kEntrySize = 8;
inline constexpr std::size_t kEntryCreation = 16;
inline constexpr std::size_t kEntryAccess = 24;
inline constexpr std::size_t kEntryWrite = 32;
inline constexpr std::size_t kEntryNameLength = 40;
inline constexpr std::size_t kEntryHeaderSize = 44;
static_assert(kEntryNameLength + 4 == kEntryHeaderSize);

inline constexpr std::uint32_t kKindEnd = 0;
inline constexpr std::uint32_t kKindDirectory = 1;
inline constexpr std::uint32_t kKindFile = 2;

// The piece size of every read and write of the floors.
inline constexpr std::size_t kPieceSize = 256 * 1024;

inline std::uint64_t LoadLe64(const unsigned char* p) {
  return std::uint64_t{bk::LoadLe32(p)} | (std::uint64_t{bk::LoadLe32(p + 4)} << 32);
}
inline void StoreLe64(unsigned char* p, std::uint64_t v) {
  bk::StoreLe32(p, static_cast<std::uint32_t>(v));
  bk::StoreLe32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
inline std::uint64_t FromFileTime(const FILETIME& t) {
  return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}
inline FILETIME ToFileTime(std::uint64_t v) {
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(v);
  t.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return t;
}

// The entries of one directory (without "." and ".."), read with one search
// that is closed before the caller goes on. False when the search failed for
// another reason than an empty directory; error holds GetLastError().
inline bool ListDirectory(const std::string& path, std::vector<WIN32_FIND_DATAA>& out, DWORD& error) {
  out.clear();
  WIN32_FIND_DATAA found;
  bk::win::unique_hfind search(::FindFirstFileA((path + "\\*").c_str(), &found));
  if (!search) {
    error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND;
  }
  do {
    const char* name = found.cFileName;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    out.push_back(found);
  } while (::FindNextFileA(search.get(), &found));
  error = ::GetLastError();
  return error == ERROR_NO_MORE_FILES;
}

// Seconds since construction.
class Stopwatch {
 public:
  Stopwatch() {
    ::QueryPerformanceFrequency(&frequency_);
    ::QueryPerformanceCounter(&start_);
  }
  double Seconds() const {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency_.QuadPart);
  }

 private:
  LARGE_INTEGER frequency_;
  LARGE_INTEGER start_;
};

// Times and attributes in one call on the open handle (FileBasicInfo of
// SetFileInformationByHandle, looked up at run time: Windows 6 and later).
// Attributes 0 leave them unchanged. False with GetLastError() set.
class BasicInfoSetter {
 public:
  BasicInfoSetter() {
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (kernel != nullptr)
      set_ = reinterpret_cast<SetInfo>(
          reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "SetFileInformationByHandle")));
  }
  bool available() const { return set_ != nullptr; }
  bool Set(HANDLE file, std::uint64_t creation, std::uint64_t access, std::uint64_t write,
           DWORD attributes) const {
    if (set_ == nullptr) {
      ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
      return false;
    }
    BasicInfo info{};
    info.creation.QuadPart = static_cast<LONGLONG>(creation);
    info.access.QuadPart = static_cast<LONGLONG>(access);
    info.write.QuadPart = static_cast<LONGLONG>(write);
    info.attributes = attributes;
    return set_(file, kFileBasicInfo, &info, sizeof info) != FALSE;
  }

 private:
  // FILE_BASIC_INFO: the system header declares it for Windows 6 builds only.
  struct BasicInfo {
    LARGE_INTEGER creation;
    LARGE_INTEGER access;
    LARGE_INTEGER write;
    LARGE_INTEGER change;  // 0: left to the system
    DWORD attributes;
  };
  static constexpr int kFileBasicInfo = 0;
  using SetInfo = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
  SetInfo set_ = nullptr;
};

}  // namespace bk::tree
