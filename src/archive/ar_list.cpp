#include "archive/ar_list.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/ar_format.h"
#include "archive/ar_io.h"
#include "archive/ar_reader.h"
#include "codec/ecd.h"
#include "codec/ecd_stream_decode.h"
#include "common/byte_order.h"
#include "environment/command_file.h"
#include "logging/log.h"
#include "platform/file_commit.h"
#include "platform/shared_file_lock.h"
#include "platform/unique_handle.h"

namespace {

constexpr char kCategory[] = "ar";
constexpr char kModuleEx[] = "client\\ar\\arlistex";
constexpr char kModule[] = "client\\ar\\arlist";

void ApiError(DWORD error, const char* module, int line, const char* format, const char* a = nullptr,
              const char* b = nullptr) {
  char info[2 * MAX_PATH + 64];
  std::snprintf(info, sizeof info, format, a, b);
  vskLogApiError(kVskApiWindows, kCategory, info, static_cast<std::int32_t>(error), module, line);
}

// Archive bytes from a Win32 file handle. Seeks move the file position only,
// so whatever a reader skips is never read.
class HandleSource : public bk::ar::ArSource {
 public:
  explicit HandleSource(HANDLE file) : file_(file) {
    LARGE_INTEGER size;
    if (::GetFileSizeEx(file, &size) && size.QuadPart > 0) size_ = static_cast<std::uint64_t>(size.QuadPart);
  }
  std::size_t Read(void* buffer, std::size_t n) override {
    std::size_t total = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (total < n) {
      const std::size_t left = n - total;
      const DWORD piece = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
      DWORD got = 0;
      if (!::ReadFile(file_, out + total, piece, &got, nullptr)) {
        error_ = ::GetLastError();
        break;
      }
      if (got == 0) {
        error_ = ERROR_HANDLE_EOF;
        break;
      }
      total += got;
    }
    return total;
  }
  bool Seek(std::uint64_t offset) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (offset > size_) {
      error_ = ERROR_NEGATIVE_SEEK;
      return false;
    }
    if (!::SetFilePointerEx(file_, to, nullptr, FILE_BEGIN)) {
      error_ = ::GetLastError();
      return false;
    }
    return true;
  }
  std::uint64_t Size() const override { return size_; }
  DWORD LastError() const { return error_; }

 private:
  HANDLE file_;
  std::uint64_t size_ = 0;
  DWORD error_ = 0;
};

// Working state of one listing.
struct ListState {
  bk::ar::ArReader* reader = nullptr;
  HandleSource* source = nullptr;
  HANDLE list = INVALID_HANDLE_VALUE;
  std::string base;          // target base directory
  std::string previous;      // path of the previous record
  bool previousDirectory = false;
};
ListState g_state;

// "/" to "\", then runs of backslashes collapsed to one, leading and trailing
// ones dropped (separator modes 2 and 4 of the archive's path conversion).
std::string ListPath(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '/') c = '\\';
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

// Logs a reader failure of the entry loop in the words of the step it broke.
void LogLoopFailure(const bk::ar::ArReader& reader, const HandleSource& source,
                    const bk::ar::VsConFileIn* header) {
  const auto error = static_cast<int>(source.LastError());
  const int status = reader.Status();
  if (status == bk::ar::kArNoMemory) {
    vskLogTrace(kCategory, "malloc_ERROR:ON vskcarListGetMem");
    return;
  }
  if (status == bk::ar::kArReadError) {
    switch (reader.FailedPart()) {
      case bk::ar::ArPart::kAssociated:
        ApiError(source.LastError(), kModule, __LINE__, "SetFilePointer, Path=ResourcePath");
        vskLogTrace(kCategory, "SetFilePointer_ERROR:ON UnarcFile, ERR= %d, size= %ld", error,
                    static_cast<long>(header ? header->assocSize : 0));
        return;
      case bk::ar::ArPart::kContent:
        ApiError(source.LastError(), kModule, __LINE__, "SetFilePointer, Path=ResourcePath");
        vskLogTrace(kCategory, "SetFilePointer_ERROR:ON UnarlistacFile, ERR= %d, size= %ld", error,
                    static_cast<long>(header ? header->dataSize : 0));
        return;
      default:
        ApiError(source.LastError(), kModule, __LINE__, "ReadFile, Path=ResourceFilePath");
        vskLogTrace(kCategory, "ReadFile_ERROR:ON arCreateUnarcFile, ERR = %d", error);
        return;
    }
  }
  // A count, index, length or size that breaks the layout.
  vskLogTrace(kCategory, "ResourceFile_ERROR:ON vskcarListLoopProsec %s", reader.Error().c_str());
}

}  // namespace

int vskcarListLoopProsec() {
  if (g_state.reader == nullptr || g_state.list == INVALID_HANDLE_VALUE) return kArListFailed;
  bk::ar::ArReader& reader = *g_state.reader;
  bk::ar::ArEntry entry;
  bool found = false;
  for (;;) {
    if (reader.Next(entry, found) != bk::ar::kArOk) {
      LogLoopFailure(reader, *g_state.source, &entry.header);
      return kArListFailed;
    }
    if (!found) return kArListOk;
    const bk::ar::VsConFileIn& h = entry.header;

    const std::string path = ListPath(g_state.base + "\\" + entry.path);
    if (path.size() >= kListPathWidth) {
      vskLogTrace(kCategory, "PathLength_ERROR:ON vskcarListLoopProsec %s", path.c_str());
      return kArListFailed;
    }
    // A directory keeps its record only when the next entry does not lie
    // inside it: its entry precedes those of its contents.
    if (g_state.previousDirectory && path.size() > g_state.previous.size() &&
        path.compare(0, g_state.previous.size(), g_state.previous) == 0 && path[g_state.previous.size()] == '\\') {
      LARGE_INTEGER back;
      back.QuadPart = -static_cast<LONGLONG>(kListRecordSize);
      if (!::SetFilePointerEx(g_state.list, back, nullptr, FILE_CURRENT)) {
        const DWORD error = ::GetLastError();
        ApiError(error, kModule, __LINE__, "SetFilePointer, Path=ResourceListFilePath");
        vskLogTrace(kCategory, "SetFilePointer_ERROR:ON_vskcarCreateArcFile %lu", error);
        return kArListFailed;
      }
    }
    g_state.previous = path;
    g_state.previousDirectory = h.IsDirectory();

    unsigned char record[kListRecordSize] = {};
    std::memcpy(record + kListPath, path.data(), path.size());
    bk::StoreBe32(record + kListFileSize, h.fileSize);
    bk::StoreBe32(record + kListMDate, h.mDate);
    bk::StoreBe32(record + kListMTime, h.mTime);
    record[kListFileKind] = h.fileKind;
    DWORD written = 0;
    if (!::WriteFile(g_state.list, record, sizeof record, &written, nullptr) || written != sizeof record) {
      const DWORD error = written != sizeof record && written != 0 ? ERROR_DISK_FULL : ::GetLastError();
      ApiError(error, kModule, __LINE__, "WriteFile, Path=ResourceListFilePath");
      vskLogTrace(kCategory, "WriteFile_ERROR:ON_vskcarCreateArcFile %lu", error);
      ::CloseHandle(g_state.list);
      g_state.list = INVALID_HANDLE_VALUE;
      return kArListFailed;
    }
    // The content is moved over by the next Next(); a failure there is
    // reported as the content skip of this entry.
    if (reader.SkipContent() != bk::ar::kArOk) {
      LogLoopFailure(reader, *g_state.source, &h);
      return kArListFailed;
    }
  }
}

int vskarCreatearListFile(const char* archivePath, const char* targetDir, const char* listPath) {
  if (archivePath == nullptr || listPath == nullptr) return kArListFailed;
  if (::GetFileAttributesA(archivePath) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    ApiError(error, kModule, __LINE__, "GetFileAttributes, Path=%s", archivePath);
    vskLogTrace(kCategory, "GetFileAttributes:RFilePath_ERROR:ON UnarcFile %s %lu", archivePath, error);
    return kArListFailed;
  }
  bk::win::unique_hfile archive(::CreateFileA(archivePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!archive) {
    const DWORD error = ::GetLastError();
    ApiError(error, kModule, __LINE__, "CreateFile, Path=%s", archivePath);
    vskLogTrace(kCategory, "CreateFile_ERROR:ON arCreateUnarcFile %s %lu", archivePath, error);
    return kArListFailed;
  }

  HandleSource source(archive.get());
  bk::ar::ArReader reader(source);
  reader.SetSkipAssociated(true);
  const int opened = reader.Open();
  if (opened != bk::ar::kArOk) {
    if (opened == bk::ar::kArNoMemory) {
      vskLogApiError(kVskApiCLibrary, kCategory, "malloc, Size=0", ENOMEM, kModule, __LINE__);
      vskLogTrace(kCategory, "malloc_ERROR:ON arCreatearListFile");
    } else if (opened == bk::ar::kArReadError) {
      ApiError(source.LastError(), kModule, __LINE__, "SetFilePointer, Path=%s", archivePath);
      vskLogTrace(kCategory, "SetFilePointer_ERROR:ON arCreateUnarcFile ERR = %lu", source.LastError());
    } else if (opened != bk::ar::kArDefectiveHeader) {
      vskLogTrace(kCategory, "ResourceFile_ERROR:ON arCreatearListFile %s", reader.Error().c_str());
    }
    vskLogTrace(kCategory, "arGetInfmation_ERROR:File = %s, %s", archivePath, targetDir ? targetDir : "");
    return opened == bk::ar::kArDefectiveHeader ? kArListNotArchive : kArListFailed;
  }

  ListState state;
  state.reader = &reader;
  state.source = &source;
  if (targetDir != nullptr && targetDir[0] != '\0')
    state.base = targetDir;
  else
    state.base = std::string(reader.DriveName()) + ":\\" + reader.BasePathName();

  HANDLE list = ::CreateFileA(listPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (list == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    ApiError(error, kModule, __LINE__, "CreateFile, Path=%s", listPath);
    vskLogTrace(kCategory, "CreateFile_ERROR:ON_ArcList %s %lu", listPath, error);
    return kArListFailed;
  }
  state.list = list;
  g_state = state;
  const int looped = vskcarListLoopProsec();
  list = g_state.list;  // closed by the loop after a failed write
  g_state = ListState();
  if (looped != kArListOk) {
    if (list != INVALID_HANDLE_VALUE) ::CloseHandle(list);
    vskLogTrace(kCategory, "vskcarListLoopProsec_ERROR:ON arCreatearListFile");
    return kArListFailed;
  }

  bool closed = ::CloseHandle(archive.release()) != 0;
  DWORD error = closed ? 0 : ::GetLastError();
  const char* which = archivePath;
  if (!::CloseHandle(list) && closed) {
    closed = false;
    error = ::GetLastError();
    which = listPath;
  }
  if (!closed) {
    ApiError(error, kModule, __LINE__, "CloseHandle, Path=%s", which);
    vskLogTrace(kCategory, "CloseHandle_ERROR:ON arCreatearListFile");
    return kArListFailed;
  }
  return kArListOk;
}

namespace {

// Free space the unwrap leaves on the archive's volume for everything else.
constexpr std::uint64_t kFreeSpaceMargin = 16u << 20;
constexpr std::size_t kUnwrapPiece = 256u << 10;

enum class Unwrap { kDone, kNotArchive, kBadBlock, kFailed };

// True when the file begins with a valid magic number.
bool IsEncoded(const char* path) {
  bk::win::unique_hfile file(::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  unsigned char magic[kEcdMagicSize];
  DWORD got = 0;
  return file && ::ReadFile(file.get(), magic, sizeof magic, &got, nullptr) && got == sizeof magic &&
         EcdCheckMagicNum(bk::LoadBe32(magic), bk::LoadBe32(magic + 4), bk::LoadBe32(magic + 8),
                          bk::LoadBe32(magic + 12)) == 1;
}

// The lock name of one stored archive: a hash of its full path, ignoring case.
std::string ArchiveLockName(const char* archivePath) {
  char full[MAX_PATH];
  const DWORD n = ::GetFullPathNameA(archivePath, sizeof full, full, nullptr);
  const char* text = n > 0 && n < sizeof full ? full : archivePath;
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (const char* p = text; *p != '\0'; ++p) {
    char c = *p == '/' ? '\\' : *p;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  char name[32];
  std::snprintf(name, sizeof name, "ARCHIVE_%016llX", static_cast<unsigned long long>(hash));
  return name;
}

class FileByteInput : public bk::ecd::ByteInput {
 public:
  explicit FileByteInput(HANDLE file) : file_(file) {}
  long long Read(void* buffer, std::size_t n) override {
    std::size_t total = 0;
    while (total < n) {
      DWORD got = 0;
      const DWORD piece = n - total > 0x100000 ? 0x100000 : static_cast<DWORD>(n - total);
      if (!::ReadFile(file_, static_cast<unsigned char*>(buffer) + total, piece, &got, nullptr)) return -1;
      if (got == 0) break;
      total += got;
    }
    return static_cast<long long>(total);
  }

 private:
  HANDLE file_;
};

// The most plain bytes the archive's volume can take: its free space less
// the margin.
std::uint64_t VolumeRoom(const char* archivePath) {
  std::string folder(archivePath);
  const std::size_t slash = folder.find_last_of("\\/");
  folder = slash == std::string::npos ? std::string(".") : folder.substr(0, slash + 1);
  ULARGE_INTEGER free{};
  if (!::GetDiskFreeSpaceExA(folder.c_str(), &free, nullptr, nullptr)) return UINT64_MAX;
  return free.QuadPart > kFreeSpaceMargin ? free.QuadPart - kFreeSpaceMargin : 0;
}

// Decodes the encoded archive into the work copy. The plain bytes must begin
// with a resource archive's header and be as long as that header declares,
// which must fit the room of the volume: a file that decodes to anything
// else is never written out whole, and never committed.
Unwrap DecodeToWorkCopy(const char* archivePath, const char* work) {
  bk::win::unique_hfile input(::CreateFileA(archivePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!input) {
    ApiError(::GetLastError(), kModuleEx, __LINE__, "CreateFile, Path=%s", archivePath);
    return Unwrap::kFailed;
  }
  LARGE_INTEGER size{};
  ::GetFileSizeEx(input.get(), &size);
  FileByteInput bytes(input.get());
  bk::ecd::StreamDecoder decoder(bytes, archivePath, static_cast<std::uint64_t>(size.QuadPart));
  if (decoder.Begin() != kEcdDecodeOk) return Unwrap::kFailed;

  std::string piece(kUnwrapPiece, '\0');
  const std::size_t head = decoder.Read(piece.data(), bk::ar::kHeaderSize);
  if (head != bk::ar::kHeaderSize) {
    if (decoder.Status() != kEcdDecodeOk) return decoder.Status() == kEcdBadBlock ? Unwrap::kBadBlock : Unwrap::kFailed;
    vskLogTrace(kCategory, "ResourceFile_ERROR:ON vskarCreatearListFileEx %s decodes to %zu bytes", archivePath, head);
    return Unwrap::kNotArchive;
  }
  const bk::ar::VsConReIn header = bk::ar::DecodeHeader(reinterpret_cast<const unsigned char*>(piece.data()));
  if (bk::ar::CheckHeader(header) != bk::ar::kArOk) return Unwrap::kNotArchive;
  const std::uint64_t declared = header.arcSize;
  const std::uint64_t room = VolumeRoom(archivePath);
  if (declared > room) {
    vskLogTrace(kCategory, "Plain size Error On vskarCreatearListFileEx %s %llu bytes, %llu free", archivePath,
                static_cast<unsigned long long>(declared), static_cast<unsigned long long>(room));
    return Unwrap::kFailed;
  }

  bk::win::unique_hfile output(::CreateFileA(work, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!output) {
    ApiError(::GetLastError(), kModuleEx, __LINE__, "CreateFile, Path=%s", work);
    return Unwrap::kFailed;
  }
  std::uint64_t produced = 0;
  std::size_t n = head;
  do {
    produced += n;
    if (produced > declared) {
      vskLogTrace(kCategory, "Plain size Error On vskarCreatearListFileEx %s more than %llu bytes", archivePath,
                  static_cast<unsigned long long>(declared));
      return Unwrap::kFailed;
    }
    if (!bk::win::WriteAllFile(output.get(), piece.data(), static_cast<DWORD>(n))) {
      ApiError(::GetLastError(), kModuleEx, __LINE__, "WriteFile, Path=%s", work);
      return Unwrap::kFailed;
    }
    n = decoder.Read(piece.data(), piece.size());
  } while (n > 0);
  if (decoder.Finish() != kEcdDecodeOk) return decoder.Status() == kEcdBadBlock ? Unwrap::kBadBlock : Unwrap::kFailed;
  if (produced != declared) {  // cut short: no reader would take it
    vskLogTrace(kCategory, "Plain size Error On vskarCreatearListFileEx %s %llu of %llu bytes", archivePath,
                static_cast<unsigned long long>(produced), static_cast<unsigned long long>(declared));
    return Unwrap::kFailed;
  }
  if (!::CloseHandle(output.release())) {
    ApiError(::GetLastError(), kModuleEx, __LINE__, "CloseHandle, Path=%s", work);
    return Unwrap::kFailed;
  }
  return Unwrap::kDone;
}

// Unwraps the encoded archive in place: decoded into a work copy of this
// process's own, which then takes the archive's name in one step. Whenever
// the process stops or a step fails, the archive path holds either the
// encoded archive or the whole plain one, never a part of it or nothing.
Unwrap UnwrapInPlace(const char* archivePath) {
  char work[MAX_PATH + 8];
  if (std::snprintf(work, sizeof work, "%s.%lu.dcd", archivePath, ::GetCurrentProcessId()) >=
      static_cast<int>(sizeof work)) {
    vskLogTrace(kCategory, "MoveFile Error On vskarCreatearListFileEx %s %d", archivePath,
                static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
    return Unwrap::kFailed;
  }
  ::DeleteFileA(work);  // left over from an interrupted listing of this process id
  const Unwrap decoded = DecodeToWorkCopy(archivePath, work);
  if (decoded != Unwrap::kDone) {
    ::DeleteFileA(work);
    vskLogTrace(kCategory, "vskEcdCtrlDecodeFile Error %s", archivePath);
    return decoded;
  }
  bk::win::CommitFailure failure;
  if (!bk::win::CommitWorkCopy(work, archivePath, &failure, kCategory)) {
    ::DeleteFileA(work);
    // Another program of the client may have unwrapped it meanwhile.
    if (!IsEncoded(archivePath) && ::GetFileAttributesA(archivePath) != INVALID_FILE_ATTRIBUTES) return Unwrap::kDone;
    ApiError(failure.error, kModuleEx, __LINE__, "MoveFile, From %s To %s", work, archivePath);
    vskLogTrace(kCategory, "MoveFile Error On vskarCreatearListFileEx %s %lu", archivePath, failure.error);
    return Unwrap::kFailed;
  }
  return Unwrap::kDone;
}

int HostResourceList(const char* listPath) {
  return vskFarMakeHostResList(listPath) == 0 ? kArListOk : kArListDecodeOrFallbackFailed;
}

}  // namespace

int vskarCreatearListFileEx(const char* archivePath, const char* targetDir, const char* listPath) {
  if (archivePath == nullptr || listPath == nullptr) return kArListFailed;
  // Listings of one stored archive run one at a time across processes: the
  // unwrap replaces the file, and the listing holds it open without sharing.
  bk::win::SharedFileLock lock(ArchiveLockName(archivePath).c_str(), kCategory);
  if (!lock.Held()) return kArListFailed;
  if (IsEncoded(archivePath)) {
    switch (UnwrapInPlace(archivePath)) {
      case Unwrap::kDone:
        break;
      case Unwrap::kNotArchive:
        return HostResourceList(listPath);
      case Unwrap::kBadBlock:
        return kArListDecodeOrFallbackFailed;
      case Unwrap::kFailed:
        return kArListFailed;
    }
  }
  const int result = vskarCreatearListFile(archivePath, targetDir, listPath);
  return result == kArListNotArchive ? HostResourceList(listPath) : result;
}
