#pragma once
// Decoding an encoded file as a stream: the plain bytes come out piece by
// piece as the reader asks for them, so an encoded archive can be read
// straight into its extraction without a decoded copy on disk. Results, log
// lines and the bytes produced before a failure are those of
// vskEcdCtrlDecodeFile on the same input.
//
//   StreamDecoder d(input, "archive path", fileSize);
//   if (d.Begin() != kEcdDecodeOk) ...;      // magic number and option words
//   while ((n = d.Read(buffer, sizeof buffer)) > 0) ...;
//   if (d.Finish() != kEcdDecodeOk) ...;     // the rest decodes too
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/ecd.h"

namespace bk::ecd {

// Where the encoded bytes come from.
class ByteInput {
 public:
  virtual ~ByteInput() = default;
  // Up to n bytes; fewer only at the end of the input; -1 on a read failure.
  virtual long long Read(void* buffer, std::size_t n) = 0;
};

class StreamDecoder {
 public:
  // `name` is used in log lines; `inputSize` is the encoded file's length
  // (0 when unknown: the option words are then not checked against it).
  StreamDecoder(ByteInput& input, const char* name, std::uint64_t inputSize);
  ~StreamDecoder();
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  // Reads and checks the magic number and the option words: kEcdDecodeOk, or
  // the file decoder's result for that head (-1, -2, -3, -10).
  int Begin();
  // Up to n plain bytes; fewer only at the end of the data or after a
  // failure (Status() tells which).
  std::size_t Read(void* out, std::size_t n);
  // Decodes and drops whatever is left; the final status.
  int Finish();

  int Status() const { return status_; }
  bool AtEnd() const { return queued_ == 0 && finished_; }
  std::uint64_t Produced() const { return produced_; }
  int Kind() const { return options_.kind; }

 private:
  bool Refill();
  bool RefillControl();
  bool RefillZlib();
  bool RefillStored();
  int ReadControlBlock(unsigned char* block);
  bool Fail(int status);

  ByteInput& input_;
  const char* name_;
  std::uint64_t inputSize_;
  Options options_;
  int status_ = kEcdDecodeOk;
  int deferred_ = kEcdDecodeOk;     // a failure that follows the bytes queued
  int deferredRead_ = 0;            // which read failed (3 or 4) for the deferred line
  bool begun_ = false, finished_ = false;
  std::uint64_t produced_ = 0;

  // Plain bytes ready to hand out: queue_[0..1] with their lengths.
  std::unique_ptr<unsigned char[]> plain_[2];
  std::size_t plainLength_[2] = {0, 0};
  int current_ = 0;                 // which plain buffer is being handed out
  std::size_t offset_ = 0;          // within it
  std::size_t queued_ = 0;          // bytes left in both
  std::unique_ptr<unsigned char[]> block_[2];  // coded control blocks, or a zlib stream
};

}  // namespace bk::ecd
