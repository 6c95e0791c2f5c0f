// The extraction entry points (Windows): vskarMain, which decodes an
// encoded archive in place first; vskarCreateUnarcNewFile for a plain archive
// of the current layout; vskarRestoreArchive, which decodes as it extracts
// and never changes the archive.
#include <cerrno>
#include <cstring>
#include <string>

#include "archive/ar_extract.h"
#include "archive/ar_extract_internal.h"
#include "archive/ar_extract_pipeline.h"
#include "archive/ar_paths.h"
#include "logging/log.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"

namespace bk::ar::ex {

namespace {

// File-system redirection off and the client log open for one call.
class CallScope {
 public:
  CallScope() : log_(vskLogOpen("CLIENT.log")) {}
  ~CallScope() { vskLogClose(log_); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  bk::win::RedirectionOff redirection_;
  VskLogHandle log_;
};

UniqueFile OpenArchive(const char* archivePath) {
  UniqueFile file(::CreateFileA(archivePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    ApiWindows(kSourceMain, __LINE__, ::GetLastError(), "CreateFile OPEN_EXISTING error, %s", archivePath);
    Line("vskarMain Error, %s is Nothing", archivePath);
  }
  return file;
}

enum class Layout { kEncoded, kLegacy, kCurrent, kUnreadable };

// Looks at the head of the open archive (read from its start).
Layout DetectLayout(HandleReader& reader, const char* archivePath) {
  unsigned char head[kLegacyHeaderSize];
  const std::size_t got = reader.Read(head, sizeof head);
  if (reader.Failed()) {
    ApiWindows(kSourceMain, __LINE__, reader.Error(), "ReadFile, Path=%s", archivePath);
    Line("vskarMain Error, %s is Nothing", archivePath);
    return Layout::kUnreadable;
  }
  if (got < sizeof head) std::memset(head + got, 0, sizeof head - got);
  if (IsEncodedHead(head)) return Layout::kEncoded;
  return IsLegacyLayout(head, sizeof head) ? Layout::kLegacy : Layout::kCurrent;
}

}  // namespace

}  // namespace bk::ar::ex

using namespace bk::ar::ex;

int vskarCreateUnarcNewFile(const char* archivePath, const char* targetDir, int keep) {
  try {
    const bool progress = bk::ar::IsProgressName(archivePath);
    if (::GetFileAttributesA(archivePath) == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = ::GetLastError();
      ApiWindows(kSourceNew, __LINE__, error, "GetFileAttributes, Path=%s", archivePath);
      Line("GetFileAttributes:RFilePath_ERROR:ON UnarcFile %s %d", archivePath, static_cast<int>(error));
      return -1;
    }
    bk::win::unique_any<bk::win::traits::File> file(
        ::CreateFileA(archivePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
      const DWORD error = ::GetLastError();
      ApiWindows(kSourceNew, __LINE__, error, "CreateFile, Path=%s", archivePath);
      Line("CreateFile_ERROR:File = %s, ERR = %ld", archivePath, static_cast<long>(error));
      return -1;
    }
    HandleReader reader(file.get());
    if (!reader.Ok()) {
      ApiCLibrary(kSourceNew, __LINE__, ENOMEM, "malloc, Size=%d", static_cast<int>(kPiece));
      Line("malloc_ERROR:ON arCreateUnarcFile %d", static_cast<int>(kPiece));
      return -1;
    }
    PlainInput input(reader);
    const int rc = ExtractCurrent(input, archivePath, targetDir, progress);
    if (!::CloseHandle(file.release())) {
      ApiWindows(kSourceNew, __LINE__, ::GetLastError(), "CloseHandle, Path=%s", archivePath);
      Line("CloseHandle_ERROR:ON arCreateUnarcFile");
      return -1;
    }
    if (rc != 0) return rc;
    if (keep == 0 && !::DeleteFileA(archivePath)) {
      bool deleted = false;
      for (int attempt = 0; attempt < kDeleteRetries && !deleted; ++attempt) {
        RetryWait();
        deleted = ::DeleteFileA(archivePath) != FALSE;
      }
      if (!deleted) {
        const DWORD error = ::GetLastError();
        ApiWindows(kSourceNew, __LINE__, error, "DeleteFile, Path=%s", archivePath);
        Line("DeleteFile_ERROR:ON arCreateUnarcFile:File = %s, ERR = %d", archivePath, static_cast<int>(error));
        return -1;
      }
    }
    return 0;
  } catch (...) {
    Line("vskarCreateUnarcNewFile: unexpected failure %s", archivePath);
    return -1;
  }
}

int vskarMain(const char* archivePath, const char* targetDir, int keep) {
  try {
    CallScope scope;
    Layout layout;
    {
      auto file = OpenArchive(archivePath);
      if (!file) return -1;
      HandleReader reader(file.get());
      layout = DetectLayout(reader, archivePath);
    }
    if (layout == Layout::kUnreadable) return -1;
    if (layout == Layout::kLegacy) return arCreateUnarcFile(archivePath, targetDir, keep);
    if (layout == Layout::kEncoded) {
      const std::string work = std::string(archivePath) + ".dcd";
      ::DeleteFileA(work.c_str());
      if (!::MoveFileA(archivePath, work.c_str())) {
        const DWORD error = ::GetLastError();
        ApiWindows(kSourceMain, __LINE__, error, "MoveFile, From %s To %s", archivePath, work.c_str());
        Line("MoveFile Error On vskarMain %s %d", archivePath, static_cast<int>(error));
        return -1;  // nothing moved: the archive is where it was
      }
      if (vskEcdCtrlDecodeFile(work.c_str(), archivePath) != kEcdDecodeOk) {
        ::DeleteFileA(archivePath);
        Line("vskEcdCtrlDecodeFile Error %s", archivePath);
        // The work copy is the only copy of the saved files: it goes back
        // under the archive's own name.
        if (!::MoveFileA(work.c_str(), archivePath))
          ApiWindows(kSourceMain, __LINE__, ::GetLastError(), "MoveFile, From %s To %s", work.c_str(), archivePath);
        return -1;
      }
      ::DeleteFileA(work.c_str());
    }
    const int rc = vskarCreateUnarcNewFile(archivePath, targetDir, keep);
    if (rc != 0) {
      if (keep == 0) ::DeleteFileA(archivePath);
      Line("vskarCreateUnarcNewFile Error %s %d", archivePath, rc);
    }
    return rc;
  } catch (...) {
    Line("vskarMain: unexpected failure %s", archivePath);
    return -1;
  }
}

int vskarRestoreArchive(const char* archivePath, const char* targetDir) {
  try {
    CallScope scope;
    auto file = OpenArchive(archivePath);
    if (!file) return -1;
    Layout layout;
    {
      HandleReader reader(file.get());
      layout = DetectLayout(reader, archivePath);
    }
    if (layout == Layout::kUnreadable) return -1;
    if (layout != Layout::kEncoded) {
      file.reset();
      if (layout == Layout::kLegacy) return arCreateUnarcFile(archivePath, targetDir, 1);
      const int rc = vskarCreateUnarcNewFile(archivePath, targetDir, 1);
      if (rc != 0) Line("vskarCreateUnarcNewFile Error %s %d", archivePath, rc);
      return rc;
    }
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) {
      ApiWindows(kSourceMain, __LINE__, ::GetLastError(), "SetFilePointer, Path=%s", archivePath);
      Line("vskEcdCtrlDecodeFile Error %s", archivePath);
      return -1;
    }
    HandleReader reader(file.get());
    if (!reader.Ok()) {
      ApiCLibrary(kSourceMain, __LINE__, ENOMEM, "malloc, Size=%d", static_cast<int>(kPiece));
      Line("vskEcdCtrlDecodeFile Error %s", archivePath);
      return -1;
    }
    HandleByteInput bytes(reader);
    bk::ecd::StreamDecoder decoder(bytes, archivePath, reader.FileSize());
    if (decoder.Begin() != kEcdDecodeOk) {
      Line("vskEcdCtrlDecodeFile Error %s", archivePath);
      return -1;
    }
    const bool progress = bk::ar::IsProgressName(archivePath);
    int rc;
    bool aheadFailed = false;
    if (PipelinedExtraction()) {
      DecodeAhead input(decoder, reader, archivePath);
      if (!input.Ok()) {
        ApiCLibrary(kSourceMain, __LINE__, ENOMEM, "malloc, Size=%d", static_cast<int>(kPiece));
        Line("vskEcdCtrlDecodeFile Error %s", archivePath);
        return -1;
      }
      rc = ExtractCurrent(input, archivePath, targetDir, progress);
      input.Stop();
      aheadFailed = input.DecodeFailed();
    } else {
      DecodedInput input(decoder, reader, archivePath);
      rc = ExtractCurrent(input, archivePath, targetDir, progress);
    }
    // vskarMain decodes the whole file before it extracts anything: a defect
    // after the archive's end fails it all the same.
    if (rc == 0 && (aheadFailed || decoder.Finish() != kEcdDecodeOk)) {
      Line("vskEcdCtrlDecodeFile Error %s", archivePath);
      rc = -1;
    }
    if (rc != 0) Line("vskarCreateUnarcNewFile Error %s %d", archivePath, rc);
    return rc;
  } catch (...) {
    Line("vskarRestoreArchive: unexpected failure %s", archivePath);
    return -1;
  }
}
