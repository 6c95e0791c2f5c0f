#pragma once
// An archive file read once, front to back, as the restore reads it: an
// encoded file is decoded as a stream (nothing is written beside it), a plain
// one is read as it stands. Every plain byte is tallied for the content
// checksums, and the encoded bytes taken from the file are counted for
// progress. Seeks go forward only (by reading), so the readers of the current
// layout work over it unchanged.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "archive/ar_io.h"
#include "archive/ar_sums.h"
#include "codec/ecd_stream_decode.h"
#include "platform/unique_handle.h"

namespace bkrtool {

class ArchiveStream : public bk::ar::ArSource {
 public:
  ArchiveStream() = default;
  ArchiveStream(const ArchiveStream&) = delete;
  ArchiveStream& operator=(const ArchiveStream&) = delete;

  // Opens the file and, for an encoded one, checks its head. False with
  // `why` set when it cannot be read or decoded.
  bool Open(const std::string& path, std::string& why);

  std::size_t Read(void* buffer, std::size_t n) override;
  bool Seek(std::uint64_t offset) override;
  std::uint64_t Size() const override;

  // Reads what is left (for the checksums of the whole file); false when the
  // file cannot be read or decoded to its end (`why` says so).
  bool Drain(std::string& why);

  bk::ar::SumTally& Tally() { return tally_; }
  bool Encoded() const { return decoder_ != nullptr; }
  bool Legacy() const { return legacy_; }
  // Bytes taken from the file so far, and its length.
  std::uint64_t FileDone() const { return fileDone_; }
  std::uint64_t FileSize() const { return fileSize_; }
  // The decoder's or the file's failure, empty while there is none.
  std::string Failure() const;

 private:
  // The encoded bytes, for the decoder.
  class FileInput : public bk::ecd::ByteInput {
   public:
    explicit FileInput(ArchiveStream& stream) : stream_(stream) {}
    long long Read(void* buffer, std::size_t n) override { return stream_.ReadFile(buffer, n); }

   private:
    ArchiveStream& stream_;
  };
  long long ReadFile(void* buffer, std::size_t n);

  FileInput input_{*this};
  bk::win::unique_hfile file_;
  std::unique_ptr<bk::ecd::StreamDecoder> decoder_;
  std::string path_;
  bk::ar::SumTally tally_;
  unsigned char head_[16] = {};
  std::size_t headLeft_ = 0, headAt_ = 0;  // plain head bytes read ahead, not yet handed out
  std::uint64_t position_ = 0, fileDone_ = 0, fileSize_ = 0;
  DWORD error_ = 0;
  bool legacy_ = false;
};

}  // namespace bkrtool
