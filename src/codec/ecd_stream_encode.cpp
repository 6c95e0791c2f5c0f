#include "codec/ecd_stream_encode.h"

#include <cstring>
#include <new>

#include "codec/ecd.h"
#include "codec/ecd_io.h"
#include "codec/ecd_parallel.h"
#include "codec/huffman.h"
#include "common/byte_order.h"

namespace bk::ecd {

ControlStreamEncoder::ControlStreamEncoder(EncodedOutput& output, int kind, std::size_t piece)
    : output_(output), kind_(kind), piece_(piece == 0 ? 1 : piece) {}

ControlStreamEncoder::~ControlStreamEncoder() = default;

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
  static_assert(kBlockMaxBytes == kBlockMax);
  parallel_ = parallel_ && kind_ == kEcdKindControl;
  const std::size_t chunks = parallel_ ? kBatchBlocks : 1;
  chunk_.reset(new (std::nothrow) unsigned char[chunks * kBlockMax]);
  if (parallel_) {
    coded_.reset(new (std::nothrow) unsigned char[kBatchBlocks * kCodedMax]);
    threads_.reset(new (std::nothrow) ParallelBlocks);
  }
  if (!buffer_ || !chunk_ || (parallel_ && (!coded_ || !threads_))) {
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

bool ControlStreamEncoder::EmitBatch(bool lastMore) {
  const std::size_t count = queued_ + 1;
  threads_->Run(count, [&](std::size_t i) {
    codedLength_[i] = EncodeBlockFast(chunk_.get() + i * kBlockMax, i + 1 < count ? kBlockMax : chunkLength_,
                                      coded_.get() + i * kCodedMax);
  });
  queued_ = 0;
  // Passed on as EmitChunk passes blocks on, so that the pieces are the same.
  for (std::size_t i = 0; i < count; ++i) {
    if (bufferCapacity_ - used_ < kBlockHeaderSize + kCodedMax && !FlushOutput()) return false;
    const bool more = i + 1 < count || lastMore;
    const std::size_t length = i + 1 < count ? kBlockMax : chunkLength_;
    unsigned char* at = buffer_.get() + used_;
    StoreBe16(at, more ? kMoreBlocksWord : static_cast<std::uint16_t>(length));
    StoreBe16(at + 2, static_cast<std::uint16_t>(codedLength_[i]));
    std::memcpy(at + kBlockHeaderSize, coded_.get() + i * kCodedMax, codedLength_[i]);
    used_ += kBlockHeaderSize + codedLength_[i];
    if (used_ >= piece_ && !FlushOutput()) return false;
  }
  chunkLength_ = 0;
  return true;
}

bool ControlStreamEncoder::Write(const void* data, std::size_t n) {
  if (!begun_ || finished_ || failed_) return false;
  const auto* p = static_cast<const unsigned char*>(data);
  plain_ += n;
  while (n > 0) {
    // A full chunk is coded only when more bytes follow: the last block's
    // word is its length, every other block's word is 0x8000.
    if (chunkLength_ == kBlockMax) {
      if (!parallel_) {
        if (!EmitChunk(true)) return false;
      } else if (queued_ + 1 < kBatchBlocks) {
        ++queued_;  // a full block, coded with its batch
        chunkLength_ = 0;
      } else if (!EmitBatch(true)) {
        return false;
      }
    }
    const std::size_t room = kBlockMax - chunkLength_;
    const std::size_t take = n < room ? n : room;
    std::memcpy(Chunk() + chunkLength_, p, take);
    chunkLength_ += take;
    p += take;
    n -= take;
  }
  return true;
}

bool ControlStreamEncoder::Finish() {
  if (!begun_ || finished_ || failed_) return false;
  finished_ = true;
  if (parallel_ && (chunkLength_ > 0 || queued_ > 0)) {
    if (!EmitBatch(false)) return false;
  } else if (chunkLength_ > 0 && !EmitChunk(false)) {
    return false;
  }
  return FlushOutput();
}

}  // namespace bk::ecd
