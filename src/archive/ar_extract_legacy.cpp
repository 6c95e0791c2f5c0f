// Extraction of the legacy layout (Windows), with its own result codes.
// The layout is read through LegacyArReader, which checks every offset,
// length and name index against the file before it is used.
#include <direct.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "archive/ar_extract.h"
#include "archive/ar_extract_internal.h"
#include "archive/ar_paths.h"
#include "archive/ar_reader.h"
#include "common/io_faults.h"
#include "platform/unique_handle.h"

namespace bk::ar::ex {

namespace {

using UniqueFile = bk::win::unique_any<bk::win::traits::File>;
constexpr const char* kSource = kSourceLegacy;

enum : int {
  kLegacyOk = 0,
  kLegacyMissing = 1,
  kLegacyBaseMissing = 2,
  kLegacyReadOrCreate = 3,
  kLegacyEntryRead = 4,
  kLegacyDirectory = 5,
  kLegacyShort = 6,
  kLegacyMemory = 7,
};

struct LegacyExtraction {
  HandleSource* source = nullptr;
  LegacyArReader* reader = nullptr;
  const char* archivePath = "";
  std::string base;
  std::unique_ptr<unsigned char[]> buffer;
  std::vector<PendingDirectory> directories;
};

int vskuarGetInfmation(LegacyExtraction& x, const char* archivePath, const char* targetDir) {
  const int opened = x.reader->Open();
  if (opened != kArOk) {
    if (opened == kArNoMemory) {
      Line("malloc_ERROR:ON arCreateUnarcFile");
      return kLegacyMemory;
    }
    if (opened == kArReadError) ApiWindows(kSource, __LINE__, x.source->Error(), "ReadFile, Path=%s", archivePath);
    Line("ReadFile_ERROR:ON arCreateUnarcFile %s %s", archivePath, x.reader->Error().c_str());
    return kLegacyReadOrCreate;
  }
  if (targetDir != nullptr) {
    x.base = targetDir;
  } else {
    const char* drive = x.reader->Name(x.reader->Header().driveIndex);
    const char* path = x.reader->Name(x.reader->Header().pathIndex);
    x.base = std::string(drive) + ":" + path;
  }
  if (x.base.size() > kMaxPathLength) {
    Line("ReadFile_ERROR:ON arCreateUnarcFile %s %s", archivePath, "the base directory is longer than a path");
    return kLegacyReadOrCreate;
  }
  std::string failed;
  DWORD error = 0;
  const int made = MakeBaseDirectories(x.base, "\\", &failed, &error);
  if (made == 1) {
    Line("GetFileAttributes:MAKEPATH_ERROR: arCreateUnarcFile %s", failed.c_str());
    return kLegacyBaseMissing;
  }
  if (made == 2) {
    Line("CreateDirectory_ERROR:ON arCreateUnarcFile %s", failed.c_str());
    ApiWindows(kSource, __LINE__, error, "CreateDirectory, Path=%s", failed.c_str());
    return kLegacyDirectory;
  }
  return kLegacyOk;
}

bool LegacyTimes(const LegacyEntry& e, FILETIME* access, FILETIME* modification) {
  std::int64_t a = 0, m = 0;
  return LegacyCodesToTime(e.aDate, e.aTime, &a) && LegacyCodesToTime(e.mDate, e.mTime, &m) &&
         UnixToFileTime(a, access) && UnixToFileTime(m, modification);
}

int ExtractLegacyFile(LegacyExtraction& x, const LegacyEntry& e, const std::string& path) {
  const char* p = path.c_str();
  constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN;
  UniqueFile file(::CreateFileA(p, kAccess, 0, nullptr, CREATE_NEW, kFlags, nullptr));
  DWORD error = file ? 0 : ::GetLastError();
  if (!file && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED)) {
    if (RemoveForReplace(path, 0, kSource) < 0) return kLegacyShort;
    file.reset(::CreateFileA(p, kAccess, 0, nullptr, OPEN_ALWAYS, kFlags, nullptr));
    error = file ? 0 : ::GetLastError();
  }
  if (!file) {
    ApiWindows(kSource, __LINE__, error, "CreateFile, Path=%s", p);
    Line("CreateFile_ERROR:File = %s, ERR = %ld", p, static_cast<long>(error));
    return kLegacyReadOrCreate;
  }
  std::uint32_t left = e.contentLength;
  while (left > 0) {
    const std::size_t piece = left < kPiece ? left : kPiece;
    std::size_t got = 0;
    if (x.reader->ReadContent(x.buffer.get(), piece, got) != kArOk || got != piece) {
      ApiWindows(kSource, __LINE__, x.source->Error(), "ReadFile, Path=ResourceFilePath");
      Line(piece == kPiece ? "ReadFile ERROR:ON arCreateUnarcFile:%s" : "ReadFile ERROR:ON vskarCreateUnarcFile:%s", p);
      return kLegacyShort;
    }
    DWORD written = 0;
    if (!WriteContent(file.get(), x.buffer.get(), static_cast<DWORD>(piece), &written)) {
      ApiWindows(kSource, __LINE__, ::GetLastError(), "WriteFile, Path=%s", p);
      Line("WriteFile ERROR:ON arCreateUnarcFile:%s", p);
      return kLegacyReadOrCreate;
    }
    DWORD shortError = 0;
    if (written != piece &&
        !CompleteShortWrite(file.get(), x.buffer.get(), static_cast<DWORD>(piece), &written, &shortError)) {
      ApiWindows(kSource, __LINE__, shortError, "WriteFile, %ld BytesWritten, %ld BytesToWrite, Path=%s",
                 static_cast<long>(written), static_cast<long>(piece), p);
      Line("WriteFile ERROR:ON arCreateUnarcFile:%s", p);
      return kLegacyShort;
    }
    left -= static_cast<std::uint32_t>(piece);
  }
  const bool flushed = !bk::io::ShouldFail(bk::io::IoKind::kWrite) && ::FlushFileBuffers(file.get());
  if (!flushed) ApiWindows(kSource, __LINE__, ::GetLastError(), "FlushFileBuffers, Path=%s", p);
  if (!::CloseHandle(file.release()) || !flushed) {
    Line("CloseHandle_ERROR:ON arCreateUnarcFile");
    return kLegacyShort;
  }
  FILETIME access{}, modification{};
  DWORD timeError = ERROR_INVALID_PARAMETER;
  if (!LegacyTimes(e, &access, &modification) || !SetTimesByPath(path, access, modification, &timeError))
    Line("_utime_ERROR:ON arCreateUnarcFile:%s", p);
  if (!::SetFileAttributesA(p, SettableAttributes(e.attributes))) {
    ApiWindows(kSource, __LINE__, ::GetLastError(), "SetFileAttributes, Path=%s", p);
    Line("SetFileAttributes_ERROR:ON arCreateUnarcFile %s", p);
    return kLegacyShort;
  }
  return kLegacyOk;
}

int vskuarLoopProsec(LegacyExtraction& x) {
  for (;;) {
    LegacyArEntry entry;
    bool found = false;
    if (x.reader->Next(entry, found) != kArOk) {
      ApiWindows(kSource, __LINE__, x.source->Error(), "ReadFile, Path=ResourceFilePath");
      Line("ReadFile_ERROR:ON arCreateUnarcFile %s", x.reader->Error().c_str());
      return kLegacyEntryRead;
    }
    if (!found) return kLegacyOk;
    const char* name = entry.path.c_str();
    std::string why;
    std::string path = x.base + "\\" + entry.path;
    if (IsSafeEntryName(name, &why) && path.size() > kMaxPathLength) why = "the path is longer than 259 bytes";
    if (!why.empty()) {
      Event(kSource, __LINE__, "The entry is outside the target directory: %s (%s)", name, why.c_str());
      Line("Unsafe entry path(%s) in vskuarLoopProsec: %s", name, why.c_str());
      return kLegacyReadOrCreate;
    }
    const LegacyEntry& e = entry.header;
    if (e.IsDirectory()) {
      if (::_mkdir(path.c_str()) != 0) {
        const int err = errno;
        const DWORD attributes = ::GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
          Line("_mkdir_ERROR:ON arCreateUnarcFile %s", path.c_str());
          ApiCLibrary(kSource, __LINE__, err, "_mkdir, Path=%s", path.c_str());
          return kLegacyDirectory;
        }
      }
      PendingDirectory pending;
      pending.path = path;
      pending.timesOk = LegacyTimes(e, &pending.access, &pending.modification);
      pending.attributes = e.attributes;
      x.directories.push_back(std::move(pending));
      continue;
    }
    const int rc = ExtractLegacyFile(x, e, path);
    if (rc != kLegacyOk) return rc;
  }
}

}  // namespace

}  // namespace bk::ar::ex

using namespace bk::ar::ex;

int arCreateUnarcFile(const char* archivePath, const char* targetDir, int keep) {
  try {
    if (::GetFileAttributesA(archivePath) == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = ::GetLastError();
      Line("GetFileAttributes:ERROR:ON arCreateUnarcFile %s", archivePath);
      ApiWindows(kSourceLegacy, __LINE__, error, "GetFileAttributes, Path=%s", archivePath);
      return kLegacyMissing;
    }
    UniqueFile file(::CreateFileA(archivePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                  nullptr));
    if (!file) {
      const DWORD error = ::GetLastError();
      Line("GetFileAttributes:ERROR:ON arCreateUnarcFile %s", archivePath);
      ApiWindows(kSourceLegacy, __LINE__, error, "CreateFile, Path=%s", archivePath);
      return kLegacyMissing;
    }
    LegacyExtraction x;
    x.archivePath = archivePath;
    x.buffer.reset(new (std::nothrow) unsigned char[kPiece]);
    if (!x.buffer) {
      Line("malloc_ERROR:ON arCreateUnarcFile");
      ApiCLibrary(kSourceLegacy, __LINE__, ENOMEM, "malloc, size=%d", static_cast<int>(kPiece));
      return kLegacyMemory;
    }
    HandleSource source(file.get());
    bk::ar::LegacyArReader reader(source);
    x.source = &source;
    x.reader = &reader;
    int rc = vskuarGetInfmation(x, archivePath, targetDir);
    if (rc != kLegacyOk) {
      Line("vskuarGetInfmation_ERROR:ON arCreateUnarcFile %s %s", archivePath, targetDir != nullptr ? targetDir : "");
      return rc;
    }
    rc = vskuarLoopProsec(x);
    bool attributeFailed = false;
    FinishDirectories(x.directories, &attributeFailed, kSourceLegacy);
    if (rc == kLegacyOk && attributeFailed) {
      Line("SetFileAttributes_ERROR:ON arCreateUnarcFile %s", archivePath);
      rc = kLegacyShort;
    }
    if (rc != kLegacyOk) {
      Line("vskuarLoopProsec_ERROR:ON arCreateUnarcFile");
      return rc;
    }
    if (!::CloseHandle(file.release())) {
      Line("CloseHandle_ERROR:ON arCreateUnarcFile");
      return kLegacyReadOrCreate;
    }
    if (keep == 0 && !::DeleteFileA(archivePath)) {
      Line("DeleteFile_ERROR:ON arCreateUnarcFile %s", archivePath);
      return kLegacyShort;
    }
    return kLegacyOk;
  } catch (...) {
    Line("arCreateUnarcFile: unexpected failure %s", archivePath);
    return kLegacyMemory;
  }
}
