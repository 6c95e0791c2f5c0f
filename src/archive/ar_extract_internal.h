#pragma once
// Shared parts of the extractors (Windows): the archive readers they pull
// bytes from, the steps both layouts share, their traces and the test seams.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/ar_format.h"
#include "archive/ar_io.h"
#include "archive/ar_names.h"
#include "codec/ecd_stream_decode.h"
#include "platform/unique_handle.h"

namespace bk::ar::ex {

inline constexpr const char* kCategory = "ar";
inline constexpr const char* kSourceMain = "client\\ar\\armain";
inline constexpr const char* kSourceNew = "client\\ar\\newone";
inline constexpr const char* kSourceLegacy = "client\\ar\\arOneEx";
// Content and archive reads move in pieces of this size.
inline constexpr std::size_t kPiece = 256 * 1024;
inline constexpr int kDeleteRetries = 10;
inline constexpr DWORD kRetryWaitMs = 1000;

// --- traces ---------------------------------------------------------------------
void ApiWindows(const char* source, int line, DWORD error, const char* format, ...)
    __attribute__((format(gnu_printf, 4, 5)));
void ApiCLibrary(const char* source, int line, int error, const char* format, ...)
    __attribute__((format(gnu_printf, 4, 5)));
void Line(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void Event(const char* source, int line, const char* format, ...) __attribute__((format(gnu_printf, 3, 4)));

// --- seams ------------------------------------------------------------------------
void RetryWait();
void GaugeStep(std::uint16_t position);
// SetFileInformationByHandle, looked up once; null on Windows XP (or when a
// test forces the XP calls).
using SetInfoCall = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
SetInfoCall HandleInfoCall();
// FILE_BASIC_INFO of Windows 6, for SetFileInformationByHandle (class 0);
// zero times and attributes are left as they are.
struct BasicInfo {
  LARGE_INTEGER creationTime;
  LARGE_INTEGER lastAccessTime;
  LARGE_INTEGER lastWriteTime;
  LARGE_INTEGER changeTime;
  DWORD fileAttributes;
};
inline constexpr int kFileBasicInfo = 0;
// GetFileInformationByHandleEx, looked up once; null on Windows XP (or when a
// test forces the XP calls). Its queries are answered on the handle, where
// GetFileInformationByHandle also asks the volume's serial number, which
// under Wine is a round trip through the mount manager.
using QueryInfoCall = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
QueryInfoCall HandleQueryCall();
// FILE_STANDARD_INFO and FILE_ATTRIBUTE_TAG_INFO of Windows 6.
struct StandardInfo {
  LARGE_INTEGER allocationSize;
  LARGE_INTEGER endOfFile;
  DWORD numberOfLinks;
  BOOLEAN deletePending;
  BOOLEAN directory;
};
struct AttributeTagInfo {
  DWORD fileAttributes;
  DWORD reparseTag;
};
inline constexpr int kFileStandardInfo = 1;
inline constexpr int kFileAttributeTagInfo = 9;
inline LARGE_INTEGER Ticks(const FILETIME& t) {
  LARGE_INTEGER v;
  v.LowPart = t.dwLowDateTime;
  v.HighPart = static_cast<LONG>(t.dwHighDateTime);
  return v;
}

// --- reading the archive file ---------------------------------------------------------
// Buffered front-to-back reads of a file handle; every read of the file asks
// the I/O fault seam first.
class HandleReader {
 public:
  explicit HandleReader(HANDLE file);
  bool Ok() const { return buffer_ != nullptr; }
  // Up to n bytes; fewer at the end of the file or after a failed read.
  std::size_t Read(void* out, std::size_t n);
  bool Failed() const { return failed_; }
  DWORD Error() const { return error_; }
  std::uint64_t FileSize() const { return size_; }

 private:
  bool RawRead(void* out, std::size_t n, std::size_t* got);

  HANDLE file_;
  std::unique_ptr<unsigned char[]> buffer_;
  std::size_t length_ = 0, offset_ = 0;
  std::uint64_t size_ = 0;
  bool eof_ = false, failed_ = false;
  DWORD error_ = 0;
};

// The plain archive bytes, from the file or from the stream decoder.
class ArchiveInput {
 public:
  virtual ~ArchiveInput() = default;
  // Up to n bytes; fewer at the end of the data or after a failure.
  virtual std::size_t Read(void* out, std::size_t n) = 0;
  // Windows error of the last short read (0 at the end of the data).
  virtual DWORD Error() const = 0;
  // Reads and drops n bytes; false when they are not all there.
  bool Skip(std::uint64_t n);
};

class PlainInput : public ArchiveInput {
 public:
  explicit PlainInput(HandleReader& reader) : reader_(reader) {}
  std::size_t Read(void* out, std::size_t n) override { return reader_.Read(out, n); }
  DWORD Error() const override { return reader_.Failed() ? reader_.Error() : ERROR_HANDLE_EOF; }

 private:
  HandleReader& reader_;
};

class HandleByteInput : public bk::ecd::ByteInput {
 public:
  explicit HandleByteInput(HandleReader& reader) : reader_(reader) {}
  long long Read(void* buffer, std::size_t n) override;

 private:
  HandleReader& reader_;
};

// The archive inside an encoded file, decoded as it is read. A decoding
// failure is logged once as the decoder of vskarMain logs it.
class DecodedInput : public ArchiveInput {
 public:
  DecodedInput(bk::ecd::StreamDecoder& decoder, HandleReader& reader, const char* archivePath)
      : decoder_(decoder), reader_(reader), archivePath_(archivePath) {}
  std::size_t Read(void* out, std::size_t n) override;
  DWORD Error() const override;

 private:
  bk::ecd::StreamDecoder& decoder_;
  HandleReader& reader_;
  const char* archivePath_;
  bool reported_ = false;
};

// An ArSource over an ArchiveInput that moves only forward (for the readers).
class ForwardSource : public ArSource {
 public:
  explicit ForwardSource(ArchiveInput& input, std::uint64_t size) : input_(input), size_(size) {}
  std::size_t Read(void* buffer, std::size_t n) override;
  bool Seek(std::uint64_t offset) override;
  std::uint64_t Size() const override { return size_; }

 private:
  ArchiveInput& input_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
};

// An ArSource over a file handle with seeks (the legacy layout reads its
// names table at the end first).
class HandleSource : public ArSource {
 public:
  explicit HandleSource(HANDLE file);
  std::size_t Read(void* buffer, std::size_t n) override;
  bool Seek(std::uint64_t offset) override;
  std::uint64_t Size() const override { return size_; }
  DWORD Error() const { return error_; }

 private:
  HANDLE file_;
  std::uint64_t size_ = 0;
  DWORD error_ = 0;
};

using UniqueFile = bk::win::unique_any<bk::win::traits::File>;

// --- shared steps -------------------------------------------------------------------
// One open by path that creates the entry's file or opens what is there for
// writing over in place (see ar_extract_replace.cpp). Null when something
// else is in the way: *error tells what (the caller's replace steps deal
// with it).
UniqueFile OpenForWriting(const char* path, DWORD access, DWORD flags, std::uint64_t size, DWORD* error);
// WriteFile of an entry's content; the I/O fault seam is asked first (a
// refused write fails with ERROR_WRITE_FAULT).
bool WriteContent(HANDLE file, const void* data, DWORD n, DWORD* written);
// After WriteContent wrote fewer than the `n` bytes asked (`*written`): a
// short write does not say why, so the rest is written once more. True when
// all are written then. Else false, *written the bytes written in all and
// *error that second call's error, or ERROR_DISK_FULL when it wrote nothing
// (never whatever error an earlier call left behind).
bool CompleteShortWrite(HANDLE file, const unsigned char* data, DWORD n, DWORD* written, DWORD* error);
// Seconds since 1970 (UTC) to a FILETIME; false before 1601.
bool UnixToFileTime(std::int64_t seconds, FILETIME* out);
// Attributes to pass to SetFileAttributes / FileBasicInfo for the attributes
// of an entry (the directory flag is not settable; no flag means normal).
DWORD SettableAttributes(DWORD attributes);
// Sets both times of an existing file or directory by path. False with the
// Windows error in *error.
bool SetTimesByPath(const std::string& path, const FILETIME& access, const FILETIME& modification, DWORD* error);

// Removes an existing file before it is written anew: the delete, and when it
// fails the read-only reset and the delete again, with `retries` more tries a
// second apart. 0 deleted, 1 there was nothing to delete, -1 failed (traced:
// "Can't delete %s FarRemoveDirectry" and the failed call). A directory in
// the way fails at once (no retry can delete it); a link in the way is
// removed as a link (bk::win::RemoveLink), never written through.
int RemoveForReplace(const std::string& path, int retries, const char* source);

// Creates the base directories of `base`, split at every character of
// `separators`; UNC bases ("\\" or "//") start at the server. 0, or which
// step failed: 1 the first level is missing, 2 a level cannot be created
// (already traced with `source`; the caller writes its summary).
int MakeBaseDirectories(const std::string& base, const char* separators, std::string* failedPath,
                        DWORD* error);

// A directory whose times and attributes are set after its contents.
struct PendingDirectory {
  std::string path;
  bool timesOk = false;
  FILETIME access{}, modification{};
  DWORD attributes = 0;
};
// Innermost first (reverse archive order): times (a failure is silent), then
// attributes. `attributeFailed` (may be null) tells whether any attribute
// setting failed (traced).
void FinishDirectories(std::vector<PendingDirectory>& directories, bool* attributeFailed, const char* source);

// The current layout's extraction of whatever `input` holds (steps from the
// header to the last entry; directories finished). 0, 3 or -1.
int ExtractCurrent(ArchiveInput& input, const char* archivePath, const char* targetDir, bool progress);
// Reads the first bytes of a file (for the layout detection); false when
// fewer came.
bool ReadFirst(HandleReader& reader, unsigned char* out, std::size_t n);
bool IsEncodedHead(const unsigned char head[16]);

}  // namespace bk::ar::ex
