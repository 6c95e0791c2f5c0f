#pragma once
// The control encoder (kinds 0 and 1) fed piece by piece: plain bytes go in
// as they come, and the encoded file comes out through an EncodedOutput in
// large pieces. For the same plain input it produces the bytes that
// vskEcdCtrlEncodeFile writes (after the magic number, which is new at every
// encoding): the same head, one block per 32767 plain bytes, the block word
// 0x8000 on every block but the last.
//
//   ControlStreamEncoder encoder(output, kEcdKindControl);
//   encoder.Begin();
//   encoder.Write(data, n);  // any number of times
//   encoder.Finish();        // the last block and the rest of the output
//
// SetParallel(true) before Begin codes blocks a batch at a time on this
// thread and a helper thread (the output, piece for piece, is the same).
#include <cstddef>
#include <cstdint>
#include <memory>

namespace bk::ecd {

class ParallelBlocks;

// Where the encoded bytes go.
class EncodedOutput {
 public:
  virtual ~EncodedOutput() = default;
  // Takes all n bytes or fails.
  virtual bool Write(const void* data, std::size_t n) = 0;
};

class ControlStreamEncoder {
 public:
  // kind 0 (stored) or 1 (control blocks). The output gets pieces of at least
  // `piece` bytes, only the last one shorter.
  ControlStreamEncoder(EncodedOutput& output, int kind, std::size_t piece = kDefaultPiece);
  ~ControlStreamEncoder();
  ControlStreamEncoder(const ControlStreamEncoder&) = delete;
  ControlStreamEncoder& operator=(const ControlStreamEncoder&) = delete;

  static constexpr std::size_t kDefaultPiece = 256 * 1024;

  // Each returns false once the output has refused a piece (or the memory is
  // not there); nothing more is passed on after that.
  bool Begin(std::int64_t magicTime = 0);
  // Kind 1 only; before Begin. Full blocks wait until a batch is complete
  // (or Finish), so that up to kBatchBlocks of them are coded at once.
  void SetParallel(bool parallel) { parallel_ = parallel; }
  static constexpr std::size_t kBatchBlocks = 8;
  bool Write(const void* data, std::size_t n);
  bool Finish();

  bool Failed() const { return failed_; }
  // Plain bytes taken and encoded bytes produced so far.
  std::uint64_t PlainBytes() const { return plain_; }
  std::uint64_t EncodedBytes() const { return encoded_; }

 private:
  bool EmitChunk(bool more);
  // Parallel mode: codes the queued chunks (the last one with `lastMore`)
  // and passes the blocks on in order.
  bool EmitBatch(bool lastMore);
  unsigned char* Chunk() { return chunk_.get() + queued_ * kBlockMaxBytes; }
  static constexpr std::size_t kBlockMaxBytes = 32767;
  bool Put(const void* data, std::size_t n);
  bool FlushOutput();

  EncodedOutput& output_;
  int kind_;
  std::size_t piece_;
  std::unique_ptr<unsigned char[]> chunk_;   // plain bytes of the block being filled
  std::size_t chunkLength_ = 0;
  std::unique_ptr<unsigned char[]> buffer_;  // encoded bytes not yet passed on
  std::size_t bufferCapacity_ = 0;
  std::size_t used_ = 0;
  std::uint64_t plain_ = 0, encoded_ = 0;
  bool begun_ = false, finished_ = false, failed_ = false, parallel_ = false;
  // Parallel mode: chunk_ holds kBatchBlocks chunks, the full ones before
  // the one being filled; coded_ their blocks.
  std::size_t queued_ = 0;
  std::unique_ptr<unsigned char[]> coded_;
  std::size_t codedLength_[kBatchBlocks] = {};
  std::unique_ptr<ParallelBlocks> threads_;
};

}  // namespace bk::ecd
