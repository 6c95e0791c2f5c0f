#include "codec/ecd_stream_encode.h"

#include <cstring>
#include <new>

#include "codec/ecd.h"
#include "codec/ecd_io.h"
#include "codec/huffman.h"
#include "common/byte_order.h"

namespace bk::ecd {

ControlStreamEncoder::ControlStreamEncoder(EncodedOutput& output, int kind, std::size_t piece)
    : output_(output), kind_(kind), piece_(piece == 0 ? 1 : piece) {}

bool ControlStreamEncoder::FlushOutput() {
  if (used_ == 0) return true;
  if (!output_.Write(buffer_.get(), used_)) {
    failed_ = true;
    return false;
  }
  encoded_ += used_;
  used_ = 0;
  return true;
}

bool ControlStreamEncoder::Put(const void* data, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    const std::size_t room = bufferCapacity_ - used_;
    const std::size_t take = n < room ? n : room;
    std::memcpy(buffer_.get() + used_, p, take);
    used_ += take;
    p += take;
    n -= take;
    if (used_ >= piece_ && !FlushOutput()) return false;
  }
  return true;
}

bool ControlStreamEncoder::Begin(std::int64_t magicTime) {
  if (begun_ || failed_) return false;
  begun_ = true;
  // Room for a whole piece plus the largest block, so that a block is always
  // coded straight into place.
  bufferCapacity_ = piece_ + kBlockHeaderSize + kCodedMax;
  buffer_.reset(new (std::nothrow) unsigned char[bufferCapacity_]);
  chunk_.reset(new (std::nothrow) unsigned char[kBlockMax]);
  if (!buffer_ || !chunk_) {
    failed_ = true;
    return false;
  }
  unsigned char head[kEcdHeadSize];
  EncodedHeadBytes(kind_, magicTime, head);
  return Put(head, sizeof head);
}

bool ControlStreamEncoder::EmitChunk(bool more) {
  if (kind_ == kEcdKindNone) {
    const bool ok = Put(chunk_.get(), chunkLength_);
    chunkLength_ = 0;
    return ok;
  }
  if (bufferCapacity_ - used_ < kBlockHeaderSize + kCodedMax && !FlushOutput()) return false;
  unsigned char* at = buffer_.get() + used_;
  const std::size_t coded = EncodeBlockFast(chunk_.get(), chunkLength_, at + kBlockHeaderSize);
  StoreBe16(at, more ? kMoreBlocksWord : static_cast<std::uint16_t>(chunkLength_));
  StoreBe16(at + 2, static_cast<std::uint16_t>(coded));
  used_ += kBlockHeaderSize + coded;
  chunkLength_ = 0;
  if (used_ >= piece_) return FlushOutput();
  return true;
}

bool ControlStreamEncoder::Write(const void* data, std::size_t n) {
  if (!begun_ || finished_ || failed_) return false;
  const auto* p = static_cast<const unsigned char*>(data);
  plain_ += n;
  while (n > 0) {
    // A full chunk is coded only when more bytes follow: the last block's
    // word is its length, every other block's word is 0x8000.
    if (chunkLength_ == kBlockMax && !EmitChunk(true)) return false;
    const std::size_t room = kBlockMax - chunkLength_;
    const std::size_t take = n < room ? n : room;
    std::memcpy(chunk_.get() + chunkLength_, p, take);
    chunkLength_ += take;
    p += take;
    n -= take;
  }
  return true;
}

bool ControlStreamEncoder::Finish() {
  if (!begun_ || finished_ || failed_) return false;
  finished_ = true;
  if (chunkLength_ > 0 && !EmitChunk(false)) return false;
  return FlushOutput();
}

}  // namespace bk::ecd
