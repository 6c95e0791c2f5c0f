// Encoded files with the zlib codec (kind 5): each chunk of at most 32767
// bytes is one complete zlib stream behind a 16-bit length; a zero length
// ends the chain.
#include <cerrno>
#include <memory>
#include <new>
#include <zlib.h>

#include "codec/ecd.h"
#include "codec/ecd_io.h"
#include "codec/huffman.h"
#include "common/byte_order.h"

namespace bk::ecd {
int CallCompress(unsigned char* dest, unsigned long* destLength, const unsigned char* source,
                 unsigned long sourceLength, int level);
}

namespace {

using bk::ecd::Allocate;
using bk::ecd::File;
using bk::ecd::OperationLog;

constexpr const char* kSource = "client\\ecd\\EcdZlib";
constexpr int kLevel = 6;
constexpr int kAttempts = 5;
constexpr unsigned long kMaxStream = 0xFFFF;  // what the 16-bit length word can say

// Compresses one chunk into `buffer` (replaced as the retries need); the
// stream length ends in `length`. False (after the trace) when it fails.
bool CompressChunk(OperationLog& log, const unsigned char* chunk, unsigned long n,
                   std::unique_ptr<unsigned char[]>& buffer, unsigned long& length) {
  length = n;
  for (int attempt = 1;; ++attempt) {
    const int rc = bk::ecd::CallCompress(buffer.get(), &length, chunk, n, kLevel);
    if (rc == Z_OK) return true;
    if (rc == Z_MEM_ERROR) {
      buffer = Allocate(length);
      if (!buffer) {
        log.ApiError(kSource, __LINE__, "%s : code = %d", "Compress Z_MEM_ERROR", rc);
        return false;
      }
      if (attempt == kAttempts) {
        log.ApiError(kSource, __LINE__, "%s : code = %d", "Compress Retry Z_MEM_ERROR", rc);
        return false;
      }
    } else if (rc == Z_BUF_ERROR) {
      // A chunk that does not shrink needs more than its own size.
      length = kMaxStream;
      buffer = Allocate(length);
      if (!buffer) {
        log.ApiError(kSource, __LINE__, "%s : code = %d", "Compress Z_BUF_ERROR", rc);
        return false;
      }
      if (attempt == kAttempts) {
        log.ApiError(kSource, __LINE__, "%s : code = %d", "Compress Retry Z_BUF_ERROR", rc);
        return false;
      }
    } else {
      log.ApiError(kSource, __LINE__, "%s : code = %d",
                   rc == Z_STREAM_ERROR ? "Compress Z_STREAM_ERROR" : "Compress Z_SYS_ERROR", rc);
      return false;
    }
  }
}

const char* UncompressError(int rc) {
  switch (rc) {
    case Z_MEM_ERROR: return "UnCompress Z_MEM_ERROR";
    case Z_BUF_ERROR: return "UnCompress Z_BUF_ERROR";
    case Z_DATA_ERROR: return "UnCompress Z_DATA_ERROR";
    default: return "UnCompress Z_SYS_ERROR";
  }
}

}  // namespace

int vskEcdZLIBEncodeFile(const char* inPath, const char* outPath, int /*flag*/, int kind) {
  using namespace bk::ecd;
  OperationLog log;
  File input = OpenForReading(inPath);
  if (!input) {
    log.Line("open error %s EcdCtrlEncodeFiley", inPath);
    log.ApiError(kSource, __LINE__, "%s : %s", "_open", inPath);
    return kEcdIoError;
  }
  File output = OpenDistinctOutput(inPath, outPath);
  if (!output) {
    log.Line("open error outh:-1 %s EcdZLIBEncodeFiley", inPath);
    log.ApiError(kSource, __LINE__, "%s : %s", "_open", outPath);
    return kEcdIoError;
  }
  const int inFd = Descriptor(input.get());
  const int outFd = Descriptor(output.get());

  if (const int failed = WriteEncodedHead(log, output.get(), kind, "EcdZLIBEncodeFiley", kSource))
    return failed;

  auto chunk = Allocate(kBlockMax);
  if (!chunk) {
    log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(kBlockMax));
    return kEcdInvalid;
  }
  long long n = ReadSome(input.get(), chunk.get(), kBlockMax);
  if (n < 0) {
    log.Line("_read Error on EcdZLIBEncodeFiley %d", -1);
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", inFd);
    return kEcdIoError;
  }
  while (n > 0) {
    auto buffer = Allocate(static_cast<std::size_t>(n));
    if (!buffer) {
      log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(n));
      return kEcdInvalid;
    }
    unsigned long length = 0;
    if (!CompressChunk(log, chunk.get(), static_cast<unsigned long>(n), buffer, length))
      return kEcdInvalid;
    unsigned char lengthWord[2];
    bk::StoreBe16(lengthWord, static_cast<std::uint16_t>(length));
    if (!WriteAll(output.get(), lengthWord, sizeof lengthWord)) {
      log.Line("_write2 Error on EcdZLIBEncodeFiley wRtn %d", -1);
      log.ApiError(kSource, __LINE__, "%s : %d", "_write", outFd);
      return kEcdIoError;
    }
    n = ReadSome(input.get(), chunk.get(), kBlockMax);
    if (n < 0) {
      log.Line("_read Error on EcdZLIBEncodeFiley %d", -1);
      log.ApiError(kSource, __LINE__, "%s : %d", "_read", inFd);
      return kEcdIoError;
    }
    if (!WriteAll(output.get(), buffer.get(), length)) {
      log.Line("_write2 Error on EcdZLIBEncodeFiley wRtn %d", -1);
      log.ApiError(kSource, __LINE__, "%s : %d", "_write", outFd);
      return kEcdIoError;
    }
  }
  const unsigned char end[2] = {0, 0};
  if (!WriteAll(output.get(), end, sizeof end)) {
    log.Line("_write2 Error on EcdZLIBEncodeFiley wRtn %d", -1);
    log.ApiError(kSource, __LINE__, "%s : %d", "_write", outFd);
    return kEcdIoError;
  }
  input.Close();
  if (!output.Close()) {
    log.ApiError(kSource, __LINE__, "%s : %d", "_close", outFd);
    return kEcdIoError;
  }
  return kEcdEncodeOk;
}

int vskEcdZLIBDecodeFile(const char* encodedPath, const char* outPath, int /*flag*/,
                         std::int64_t dataStart) {
  using namespace bk::ecd;
  OperationLog log;
  File input = OpenForReading(encodedPath);
  if (!input) {
    log.Line("_open Error on EcdCtrlDecodeFile %s", encodedPath);
    log.ApiError(kSource, __LINE__, "%s : %s", "_open", encodedPath);
    return kEcdIoError;
  }
  File output = OpenDistinctOutput(encodedPath, outPath);
  if (!output) {
    log.Line("outh = -1 on EcdCtrlDecodeFile");
    log.ApiError(kSource, __LINE__, "%s : %s", "_open", outPath);
    return kEcdIoError;
  }
  const int inFd = Descriptor(input.get());
  const int outFd = Descriptor(output.get());
  if (dataStart < 0 || !SeekTo(input.get(), static_cast<std::uint64_t>(dataStart)))
    log.ApiError(kSource, __LINE__, "%s : %d", "_lseek", inFd);

  auto stream = Allocate(kMaxStream);
  auto plain = Allocate(kBlockMax);
  if (!stream || !plain) {
    log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc",
                 static_cast<int>(!stream ? kMaxStream : kBlockMax));
    return kEcdInvalid;
  }
  for (;;) {
    unsigned char lengthWord[2];
    const long long got = ReadSome(input.get(), lengthWord, sizeof lengthWord);
    if (got == 0) break;  // no end record: the chain ends with the file
    if (got != 2) {
      log.Line("_read3 Error on EcdZLIBDecodeFile");
      log.ApiError(kSource, __LINE__, "%s : %d", "_read", inFd);
      return kEcdIoError;
    }
    const std::size_t length = bk::LoadBe16(lengthWord);
    if (length == 0) break;
    if (ReadSome(input.get(), stream.get(), length) != static_cast<long long>(length)) {
      log.Line("_read4 Error on EcdZLIBDecodeFile");
      log.ApiError(kSource, __LINE__, "%s : %d", "_read", inFd);
      return kEcdIoError;
    }
    uLongf produced = kBlockMax;
    const int rc = ::uncompress(plain.get(), &produced, stream.get(), static_cast<uLong>(length));
    if (rc != Z_OK) {
      log.ApiError(kSource, __LINE__, "%s : code = %d", UncompressError(rc), rc);
      log.Line("vskDecodeMemory Error on EcdZLIBDecodeFile");
      return kEcdBadBlock;
    }
    if (!WriteAll(output.get(), plain.get(), produced)) {
      log.Line("_write Error on EcdZLIBDecodeFile");
      log.ApiError(kSource, __LINE__, "%s : %d", "_write", outFd);
      return kEcdIoError;
    }
  }
  if (!output.Close()) {
    log.ApiError(kSource, __LINE__, "%s : %d", "_close", outFd);
    return kEcdIoError;
  }
  if (!input.Close()) {
    log.ApiError(kSource, __LINE__, "%s : %d", "_close", inFd);
    return kEcdIoError;
  }
  return kEcdDecodeOk;
}
