// Encoded files with the control codec (kinds 0 and 1), and the decoder for
// every kind. Inputs are read and outputs written strictly in order; the
// output is opened only after the input's head has been checked, and never
// over the input itself.
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "codec/ecd.h"
#include "codec/ecd_io.h"
#include "codec/ecd_parallel.h"
#include "codec/huffman.h"
#include "common/byte_order.h"

namespace {

using bk::ecd::Allocate;
using bk::ecd::File;
using bk::ecd::OperationLog;

constexpr const char* kSource = "client\\ecd\\EcdCtrl";

// Reads one control block (head and coded bytes) into `block`, which holds
// 4 + 65535 bytes. 0, or the read that failed: 3 for the block word, 4 for
// the coded length or the coded bytes.
int ReadControlBlock(std::FILE* in, unsigned char* block) {
  if (bk::ecd::ReadSome(in, block, 2) != 2) return 3;
  if (bk::ecd::ReadSome(in, block + 2, 2) != 2) return 4;
  const std::size_t coded = bk::LoadBe16(block + 2);
  if (bk::ecd::ReadSome(in, block + bk::ecd::kBlockHeaderSize, coded) != static_cast<long long>(coded)) return 4;
  return 0;
}

// The data area of kind 1, a batch of blocks at a time: read blocks until the
// batch is full, the last block is in, or a read or a block head fails; decode
// the batch on two threads (two blocks at a time on each, which is faster);
// write the plain bytes in order. What comes out, and which failure, is what
// decoding block after block gives: the blocks before a failure are written,
// then the failure is reported.
constexpr std::size_t kBatchPairs = 4;

struct DecodeBatch {
  static constexpr std::size_t kBlocks = 2 * kBatchPairs;
  static constexpr std::size_t kBlockRoom = bk::ecd::kBlockHeaderSize + 0xFFFF;
  std::unique_ptr<unsigned char[]> coded = bk::ecd::Allocate(kBlocks * kBlockRoom);
  std::unique_ptr<unsigned char[]> plain = bk::ecd::Allocate(kBlocks * bk::ecd::kBlockMax);
  bk::ecd::BlockHeader head[kBlocks];
  bool ok[kBlocks] = {};
  std::size_t count = 0;
  bool last = false;   // the batch ends with the last block
  int readFailed = 0;  // the read after the batch that failed (3 or 4)
  int readError = 0;
  bool badHead = false;  // the block after the batch has an invalid head

  unsigned char* Block(std::size_t i) { return coded.get() + i * kBlockRoom; }
  unsigned char* Plain(std::size_t i) const { return plain.get() + i * bk::ecd::kBlockMax; }

  void Fill(std::FILE* in) {
    count = 0;
    while (count < kBlocks) {
      if ((readFailed = ReadControlBlock(in, Block(count))) != 0) {
        readError = errno;
        return;
      }
      if (!bk::ecd::ReadBlockHeader(Block(count), kBlockRoom, head[count])) {
        badHead = true;
        return;
      }
      if (!head[count++].more) {
        last = true;
        return;
      }
    }
  }
  // Blocks 2p and 2p + 1 (where there is one).
  void DecodePair(std::size_t p) {
    using namespace bk::ecd;
    const std::size_t a = 2 * p, b = a + 1;
    if (b < count) {
      DecodeTwoBlocksFast(Block(a) + kBlockHeaderSize, head[a].coded, head[a].symbols, Plain(a), &ok[a],
                          Block(b) + kBlockHeaderSize, head[b].coded, head[b].symbols, Plain(b), &ok[b]);
    } else {
      ok[a] = DecodeBlockFast(Block(a) + kBlockHeaderSize, head[a].coded, head[a].symbols, Plain(a));
    }
  }
  std::size_t Pairs() const { return (count + 1) / 2; }
  // Nothing is read after this batch.
  bool Ends() const { return last || readFailed != 0 || badHead; }
};

// Writes a decoded batch, then reports what ended it: kEcdDecodeOk when the
// next batch follows, else the final result (1 after the last block).
int EmitBatch(OperationLog& log, std::FILE* in, std::FILE* out, const DecodeBatch& batch, bool& done) {
  using namespace bk::ecd;
  done = true;
  for (std::size_t i = 0; i < batch.count; ++i) {
    if (!batch.ok[i]) {
      log.Line("vskDecodeMemory Error on EcdCtrlDecodeFile");
      return kEcdBadBlock;
    }
    if (!WriteAll(out, batch.Plain(i), batch.head[i].symbols)) {
      log.Line("_write Error on EcdCtrlDecodeFile");
      log.ApiError(kSource, __LINE__, "%s : %d", "_write", Descriptor(out));
      return kEcdIoError;
    }
  }
  if (batch.readFailed != 0) {
    log.Line(batch.readFailed == 3 ? "_read3 Error on EcdCtrlDecodeFile" : "_read4 Error on EcdCtrlDecodeFile");
    errno = batch.readError;
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", Descriptor(in));
    return kEcdIoError;
  }
  if (batch.badHead) {
    log.Line("vskDecodeMemory Error on EcdCtrlDecodeFile");
    return kEcdBadBlock;
  }
  done = batch.last;
  return kEcdDecodeOk;
}

// Three batches in turn: while one is decoded (on the helper, and on this
// thread once its I/O is done), the one before it is written and the one
// after it read.
int DecodeControlBlocks(OperationLog& log, std::FILE* in, std::FILE* out) {
  using namespace bk::ecd;
  DecodeBatch batches[3];
  for (const DecodeBatch& b : batches) {
    if (!b.coded || !b.plain) {
      log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(DecodeBatch::kBlockRoom));
      return kEcdInvalid;
    }
  }
  ParallelBlocks threads;
  DecodeBatch* written = nullptr;
  DecodeBatch* decoded = &batches[0];
  decoded->Fill(in);
  for (int turn = 1;; ++turn) {
    DecodeBatch* read = &batches[turn % 3];
    const std::function<void(std::size_t)> decode = [&](std::size_t p) { decoded->DecodePair(p); };
    threads.Begin(decoded->Pairs(), decode);
    bool done = false;
    const int rc = written != nullptr ? EmitBatch(log, in, out, *written, done) : kEcdDecodeOk;
    if (rc == kEcdDecodeOk && !decoded->Ends()) read->Fill(in);
    threads.Finish();
    if (rc != kEcdDecodeOk) return rc;
    if (decoded->Ends()) return EmitBatch(log, in, out, *decoded, done);
    written = decoded;
    decoded = read;
  }
}

// The failed read of a chunk, logged after the blocks before it are written.
int ChunkReadFailed(OperationLog& log, int inFd, int error) {
  log.Line("_read Error on EcdCtrlEncodeFiley %d", -1);
  errno = error;
  log.ApiError(kSource, __LINE__, "%s : %d", "_read", inFd);
  return kEcdIoError;
}

bool WriteBlock(OperationLog& log, std::FILE* out, const unsigned char* block, std::size_t n) {
  if (bk::ecd::WriteAll(out, block, n)) return true;
  log.Line("_write2 Error on EcdCtrlEncodeFiley wRtn %d", -1);
  log.ApiError(kSource, __LINE__, "%s : %d", "_write", bk::ecd::Descriptor(out));
  return false;
}

// A batch of chunks at a time: read the batch and the chunk after it (which
// tells whether the batch's last block has a successor), code the batch's
// blocks on two threads (kind 1; kind 0 stores the chunks as they are), write
// them in order. The output is the
// block-by-block encoder's: a block is written only once the read after its
// chunk succeeded, and a failed read ends the encoding after the blocks before
// that chunk's.
constexpr std::size_t kBatchBlocks = 8;

struct EncodeBatch {
  static constexpr std::size_t kSlots = kBatchBlocks + 1;
  static constexpr std::size_t kBlockRoom = bk::ecd::kBlockHeaderSize + bk::ecd::kCodedMax;
  std::unique_ptr<unsigned char[]> plain = bk::ecd::Allocate(kSlots * bk::ecd::kBlockMax);
  std::unique_ptr<unsigned char[]> coded = bk::ecd::Allocate(kBatchBlocks * kBlockRoom);
  std::size_t length[kSlots] = {};
  std::size_t blockLength[kBatchBlocks] = {};  // bytes to write
  std::size_t have = 0;  // chunks read and not yet written
  bool end = false, readFailed = false;
  int readError = 0;

  unsigned char* Plain(std::size_t i) { return plain.get() + i * bk::ecd::kBlockMax; }
  unsigned char* Block(std::size_t i) { return coded.get() + i * kBlockRoom; }

  // Reads the chunks still missing in one read; chunk bounds are as when
  // reading chunk after chunk, and a read error fails the chunk it hit.
  void Fill(std::FILE* in) {
    if (have >= kSlots || end) return;
    const std::size_t want = (kSlots - have) * bk::ecd::kBlockMax;
    bool failed = false;
    const std::size_t got = bk::ecd::ReadUpTo(in, Plain(have), want, failed);
    for (std::size_t k = 0; k < got / bk::ecd::kBlockMax; ++k) length[have++] = bk::ecd::kBlockMax;
    if (failed) {
      readFailed = true;
      readError = errno;
      return;
    }
    if (got % bk::ecd::kBlockMax != 0) length[have++] = got % bk::ecd::kBlockMax;
    // A short last chunk in the last slot is carried into the next batch,
    // whose read then finds the end.
    end = got < want && have < kSlots;
  }
  // Blocks whose successor is known: all at the end of the input, else all
  // but the last chunk read.
  std::size_t Ready() const { return end && !readFailed ? have : (have == 0 ? 0 : have - 1); }

  void Code(int kind, std::size_t i) {
    unsigned char* block = Block(i);
    if (kind == kEcdKindNone) {
      std::memcpy(block, Plain(i), length[i]);
      blockLength[i] = length[i];
      return;
    }
    const std::size_t codedBytes = bk::ecd::EncodeBlockFast(Plain(i), length[i], block + bk::ecd::kBlockHeaderSize);
    const bool more = i + 1 < have;
    bk::StoreBe16(block, more ? bk::ecd::kMoreBlocksWord : static_cast<std::uint16_t>(length[i]));
    bk::StoreBe16(block + 2, static_cast<std::uint16_t>(codedBytes));
    blockLength[i] = bk::ecd::kBlockHeaderSize + codedBytes;
  }
  // Starts as the batch after `done`: its chunk past the batch is this
  // batch's first.
  void FollowOn(const EncodeBatch& done) {
    const std::size_t last = done.have - 1;
    std::memcpy(Plain(0), done.plain.get() + last * bk::ecd::kBlockMax, done.length[last]);
    length[0] = done.length[last];
    have = 1;
  }
  bool Finished() const { return end || readFailed; }
};

bool WriteBatch(OperationLog& log, std::FILE* out, EncodeBatch& batch) {
  for (std::size_t i = 0; i < batch.Ready(); ++i)
    if (!WriteBlock(log, out, batch.Block(i), batch.blockLength[i])) return false;
  return true;
}

// Three batches in turn: while one is coded (on the helper, and on this
// thread once its I/O is done), the one before it is written and the one
// after it read.
int EncodeChunks(OperationLog& log, std::FILE* in, std::FILE* out, int kind) {
  using namespace bk::ecd;
  EncodeBatch batches[3];
  for (const EncodeBatch& b : batches) {
    if (!b.plain || !b.coded) {
      log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(EncodeBatch::kSlots * kBlockMax));
      return kEcdInvalid;
    }
  }
  ParallelBlocks threads;
  EncodeBatch* written = nullptr;
  EncodeBatch* coded = &batches[0];
  coded->Fill(in);
  for (int turn = 1;; ++turn) {
    EncodeBatch* read = &batches[turn % 3];
    const std::function<void(std::size_t)> code = [&](std::size_t i) { coded->Code(kind, i); };
    threads.Begin(coded->Ready(), code);
    const bool writeFailed = written != nullptr && !WriteBatch(log, out, *written);
    if (!writeFailed && !coded->Finished()) {
      read->FollowOn(*coded);
      read->Fill(in);
    }
    threads.Finish();
    if (writeFailed) return kEcdIoError;
    if (coded->Finished()) {
      if (!WriteBatch(log, out, *coded)) return kEcdIoError;
      if (coded->readFailed) return ChunkReadFailed(log, Descriptor(in), coded->readError);
      return kEcdEncodeOk;
    }
    written = coded;
    coded = read;
  }
}

}  // namespace

int vskEcdEncodeFile(const char* inPath, const char* outPath, int flag, int kind) {
  if (kind == kEcdKindNone || kind == kEcdKindControl)
    return vskEcdCtrlEncodeFile(inPath, outPath, flag, kind);
  if (kind == kEcdKindZlib) return vskEcdZLIBEncodeFile(inPath, outPath, flag, kind);
  return kEcdEncodeOk;
}

int vskEcdCtrlEncodeFile(const char* inPath, const char* outPath, int /*flag*/, int kind) {
  using namespace bk::ecd;
  OperationLog log;
  // Declared before the file, so that it outlives it. The input needs none:
  // a batch's chunks come in one read straight into the batch.
  auto outBuffer = Allocate(kStreamBufferSize);
  File input = OpenForReading(inPath);
  if (!input) {
    log.Line("open error %s EcdCtrlEncodeFiley", inPath);
    log.ApiError(kSource, __LINE__, "%s : %s", "_open", inPath);
    return kEcdIoError;
  }
  File output = OpenDistinctOutput(inPath, outPath);
  if (!output) {
    log.Line("open error outh:-1 %s EcdCtrlEncodeFiley", inPath);
    log.ApiError(kSource, __LINE__, "%s : %s", "_open", outPath);
    return kEcdOutputOpenError;
  }
  UseStreamBuffer(output.get(), outBuffer.get());
  const int outFd = Descriptor(output.get());

  if (const int failed = WriteEncodedHead(log, output.get(), kind, "EcdCtrlEncodeFiley", kSource))
    return failed;

  const int rc = EncodeChunks(log, input.get(), output.get(), kind);
  if (rc != kEcdEncodeOk) return rc;
  input.Close();
  // Buffered bytes reach the file only here; losing them is a failed write.
  if (!output.Close()) {
    log.ApiError(kSource, __LINE__, "%s : %d", "_close", outFd);
    return kEcdIoError;
  }
  return kEcdEncodeOk;
}

namespace {

// The magic number and the option words; kEcdDecodeOk or the failure, after
// its log line. `words` counts the option words read.
int ReadEncodedHead(OperationLog& log, std::FILE* in, const char* path, bk::ecd::Options& options,
                    std::uint64_t& words) {
  using namespace bk::ecd;
  std::uint64_t fileSize = 0;
  FileSize(in, fileSize);
  unsigned char magic[kEcdMagicSize] = {};
  const long long got = ReadSome(in, magic, sizeof magic);
  if (got <= 0) {
    log.Line("_read Error on EcdCtrlDecodeFile %s %d", path, static_cast<int>(got));
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", Descriptor(in));
    return kEcdIoError;
  }
  if (EcdCheckMagicNum(bk::LoadBe32(magic), bk::LoadBe32(magic + 4), bk::LoadBe32(magic + 8),
                       bk::LoadBe32(magic + 12)) != 1) {
    log.Line("EcdCheckMagicNum Error on EcdCtrlDecodeFile");
    return kEcdBadMagic;
  }
  words = 0;
  for (;;) {
    unsigned char word[2];
    if (ReadSome(in, word, sizeof word) != 2) {
      log.Line("_read[Opt] Error on EcdCtrlDecodeFile");
      return kEcdIoError;
    }
    ++words;
    const std::uint64_t left = fileSize - kEcdMagicSize - 2 * words;  // wraps when past the end
    if (left > fileSize) {
      log.Line("w_size Invalid on EcdCtrlDecodeFile");
      return kEcdInvalid;
    }
    switch (ApplyOptionWord(bk::LoadBe16(word), options)) {
      case OptionStep::kEnd: return kEcdDecodeOk;
      case OptionStep::kBadKind: log.Line("switch[opt] default on EcdCtrlDecodeFile"); return kEcdInvalid;
      case OptionStep::kBadPassThrough:
        log.Line("switch[opt0x80] default on EcdCtrlDecodeFile");
        return kEcdInvalid;
      case OptionStep::kNext: break;
    }
  }
}

// Kind 0 with pass-through: the rest of the file as it is.
int CopyStored(OperationLog& log, std::FILE* in, std::FILE* out, const char* path) {
  using namespace bk::ecd;
  auto plain = Allocate(kBlockMax);
  if (!plain) {
    log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(kBlockMax));
    return kEcdInvalid;
  }
  for (;;) {
    const long long n = ReadSome(in, plain.get(), kBlockMax);
    if (n < 0) {
      log.Line("_read Error on EcdCtrlDecodeFile %s %d", path, -1);
      log.ApiError(kSource, __LINE__, "%s : %d", "_read", Descriptor(in));
      return kEcdIoError;
    }
    if (n == 0) return kEcdDecodeOk;
    if (!WriteAll(out, plain.get(), static_cast<std::size_t>(n))) {
      log.Line("_write8 Error on EcdCtrlDecodeFile");
      log.ApiError(kSource, __LINE__, "%s : %d", "_write", Descriptor(out));
      return kEcdIoError;
    }
  }
}

}  // namespace

int vskEcdCtrlDecodeFile(const char* encodedPath, const char* outPath) {
  using namespace bk::ecd;
  OperationLog log;
  // Declared before the files, so that they outlive them.
  auto inBuffer = Allocate(kStreamBufferSize), outBuffer = Allocate(kStreamBufferSize);
  File input = OpenForReading(encodedPath);
  if (!input) {
    log.Line("_open Error on EcdCtrlDecodeFile %s", encodedPath);
    log.ApiError(kSource, __LINE__, "%s : %s", "_open", encodedPath);
    return kEcdIoError;
  }
  UseStreamBuffer(input.get(), inBuffer.get());
  Options options;
  std::uint64_t words = 0;
  if (const int rc = ReadEncodedHead(log, input.get(), encodedPath, options, words); rc != kEcdDecodeOk) return rc;
  if (options.kind == kEcdKindNone && !options.passThrough) return kEcdNotCompressed;
  if (options.kind == kEcdKindZlib) {
    input.Close();
    return vskEcdZLIBDecodeFile(encodedPath, outPath, options.passThrough ? 1 : 0,
                                static_cast<std::int64_t>(kEcdMagicSize + 2 * words));
  }

  File output = OpenDistinctOutput(encodedPath, outPath);
  if (!output) {
    log.Line("outh = -1 on EcdCtrlDecodeFile");
    log.ApiError(kSource, __LINE__, "%s : %s", "_open", outPath);
    return kEcdIoError;
  }
  UseStreamBuffer(output.get(), outBuffer.get());
  const int rc = options.kind == kEcdKindNone ? CopyStored(log, input.get(), output.get(), encodedPath)
                                              : DecodeControlBlocks(log, input.get(), output.get());
  if (rc != kEcdDecodeOk) return rc;
  const int outFd = Descriptor(output.get()), inFd = Descriptor(input.get());
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
