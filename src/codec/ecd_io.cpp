#include "codec/ecd_io.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/stat.h>

#include "codec/ecd.h"
#include "common/byte_order.h"
#include "common/io_faults.h"
#include "common/text.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace bk::ecd {

namespace {
constexpr const char* kCategory = "ecd";
constexpr std::size_t kMessageSize = 1024;
}  // namespace

File OpenForReading(const char* path) { return File(std::fopen(path, "rb")); }
File OpenForWriting(const char* path) { return File(std::fopen(path, "wb")); }

File OpenDistinctOutput(const char* inPath, const char* outPath) {
  if (SameFile(inPath, outPath)) {
    errno = EEXIST;
    return File();
  }
  return OpenForWriting(outPath);
}

bool WriteAll(std::FILE* f, const void* data, std::size_t n) {
  // Encoded archives and decoded images are file contents that backups and
  // restores write: the fault seam reaches them here.
  if (bk::io::ShouldFail(bk::io::IoKind::kWrite)) {
    errno = EIO;
    return false;
  }
  return std::fwrite(data, 1, n, f) == n;
}

std::unique_ptr<unsigned char[]> Allocate(std::size_t size) {
  return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]);
}

void EncodedHeadBytes(int kind, std::int64_t time, unsigned char out[kEcdHeadSize]) {
  std::memcpy(out, EcdMakeMagicNum(time), kEcdMagicSize);
  const std::uint16_t words[6] = {static_cast<std::uint16_t>(kind & 0xFF), 0x0201, 0x8000, 0x8120,
                                  0x8201, 0xFF00};
  for (int i = 0; i < 6; ++i) bk::StoreBe16(out + kEcdMagicSize + 2 * i, words[i]);
}

int WriteEncodedHead(OperationLog& log, std::FILE* output, int kind, const char* function,
                     const char* sourceFile) {
  unsigned char head[kEcdHeadSize];
  EncodedHeadBytes(kind, 0, head);
  if (!WriteAll(output, head, kEcdMagicSize)) {
    log.Line("_write Error on %s %d", function, -1);
    log.ApiError(sourceFile, __LINE__, "%s : %d", "_write", Descriptor(output));
    return kEcdIoError;
  }
  const unsigned char* options = head + kEcdMagicSize;
  if (!WriteAll(output, options, kEcdHeadSize - kEcdMagicSize)) {
    log.Line("_write[optiomdata] Error on %s %d", function, -1);
    log.ApiError(sourceFile, __LINE__, "%s : %d", "_write", Descriptor(output));
    return kEcdIoError;
  }
  return 0;
}

int Descriptor(std::FILE* f) {
  if (f == nullptr) return -1;
#if defined(_WIN32)
  return _fileno(f);
#else
  return fileno(f);
#endif
}

bool FileSize(std::FILE* f, std::uint64_t& size) {
#if defined(_WIN32)
  struct _stati64 st;
  if (_fstati64(_fileno(f), &st) != 0) return false;
#else
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return false;
#endif
  if (st.st_size < 0) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool SeekTo(std::FILE* f, std::uint64_t offset) {
#if defined(_WIN32)
  return _fseeki64(f, static_cast<long long>(offset), SEEK_SET) == 0;
#else
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool SameFile(const char* a, const char* b) {
#if defined(_WIN32)
  // The C runtime reports no file identity here; compare the full paths.
  char fullA[_MAX_PATH], fullB[_MAX_PATH];
  if (_fullpath(fullA, a, sizeof fullA) == nullptr || _fullpath(fullB, b, sizeof fullB) == nullptr)
    return EqualsIgnoreCase(a, b);
  return EqualsIgnoreCase(fullA, fullB);
#else
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#endif
}

long long ReadSome(std::FILE* f, void* buffer, std::size_t n) {
  const std::size_t got = std::fread(buffer, 1, n, f);
  if (got < n && std::ferror(f)) return -1;
  return static_cast<long long>(got);
}

std::size_t ReadUpTo(std::FILE* f, void* buffer, std::size_t n, bool& failed) {
  const std::size_t got = std::fread(buffer, 1, n, f);
  failed = got < n && std::ferror(f);
  return got;
}

void UseStreamBuffer(std::FILE* f, unsigned char* buffer) {
  if (f != nullptr && buffer != nullptr)
    std::setvbuf(f, reinterpret_cast<char*>(buffer), _IOFBF, kStreamBufferSize);
}

void OperationLog::Line(const char* format, ...) {
  char message[kMessageSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  vskLogWrite(handle_, message, kCategory);
}

void OperationLog::ApiError(const char* sourceFile, int line, const char* format, ...) {
  const int error = errno;
  char info[kMessageSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(info, sizeof info, format, args);
  va_end(args);
  vskLogApiError(kVskApiCLibrary, kCategory, info, error, sourceFile, line);
}

}  // namespace bk::ecd
