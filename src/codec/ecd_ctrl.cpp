// Encoded files with the control codec (kinds 0 and 1), and the decoder for
// every kind. Inputs are read and outputs written strictly in order; the
// output is opened only after the input's head has been checked, and never
// over the input itself.
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "codec/ecd.h"
#include "codec/ecd_io.h"
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

// The data area of kind 1, block after block. Where a block says another
// follows and that one is read whole, the two are decoded together (which is
// faster); failures come out as they would one block after the other: a bad
// block before a read failure after it.
int DecodeControlBlocks(OperationLog& log, std::FILE* in, std::FILE* out, unsigned char* plainA) {
  using namespace bk::ecd;
  const int inFd = Descriptor(in), outFd = Descriptor(out);
  const std::size_t blockCapacity = kBlockHeaderSize + 0xFFFF;
  auto blockA = Allocate(blockCapacity), blockB = Allocate(blockCapacity), plainB = Allocate(kBlockMax);
  if (!blockA || !blockB || !plainB) {
    log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(blockCapacity));
    return kEcdInvalid;
  }
  auto readFailed = [&](int which) {
    log.Line(which == 3 ? "_read3 Error on EcdCtrlDecodeFile" : "_read4 Error on EcdCtrlDecodeFile");
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", inFd);
    return kEcdIoError;
  };
  auto badBlock = [&] {
    log.Line("vskDecodeMemory Error on EcdCtrlDecodeFile");
    return kEcdBadBlock;
  };
  auto write = [&](const unsigned char* data, std::size_t n) {
    if (WriteAll(out, data, n)) return true;
    log.Line("_write Error on EcdCtrlDecodeFile");
    log.ApiError(kSource, __LINE__, "%s : %d", "_write", outFd);
    return false;
  };

  if (const int failed = ReadControlBlock(in, blockA.get())) return readFailed(failed);
  for (;;) {
    BlockHeader a, b;
    if (!ReadBlockHeader(blockA.get(), blockCapacity, a)) return badBlock();
    const unsigned char* codedA = blockA.get() + kBlockHeaderSize;
    int failedB = 0;
    if (a.more) {
      failedB = ReadControlBlock(in, blockB.get());
      if (failedB == 0 && ReadBlockHeader(blockB.get(), blockCapacity, b)) {
        bool okA, okB;
        DecodeTwoBlocksFast(codedA, a.coded, a.symbols, plainA, &okA, blockB.get() + kBlockHeaderSize, b.coded,
                            b.symbols, plainB.get(), &okB);
        if (!okA) return badBlock();
        if (!write(plainA, a.symbols)) return kEcdIoError;
        if (!okB) return badBlock();
        if (!write(plainB.get(), b.symbols)) return kEcdIoError;
        if (!b.more) return kEcdDecodeOk;
        if (const int failed = ReadControlBlock(in, blockA.get())) return readFailed(failed);
        continue;
      }
    }
    // One block alone: the last one, or one whose successor is cut or bad.
    if (!DecodeBlockFast(codedA, a.coded, a.symbols, plainA)) return badBlock();
    if (!write(plainA, a.symbols)) return kEcdIoError;
    if (!a.more) return kEcdDecodeOk;
    if (failedB != 0) return readFailed(failedB);
    return badBlock();  // the next block's head is invalid
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
  const int outFd = Descriptor(output.get());
  const int inFd = Descriptor(input.get());

  if (const int failed = WriteEncodedHead(log, output.get(), kind, "EcdCtrlEncodeFiley", kSource))
    return failed;

  auto chunk = Allocate(kBlockMax);
  if (!chunk) {
    log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(kBlockMax));
    return kEcdInvalid;
  }
  long long n = ReadSome(input.get(), chunk.get(), kBlockMax);
  if (n < 0) {
    log.Line("_read Error on EcdCtrlEncodeFiley %d", -1);
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", inFd);
    return kEcdIoError;
  }
  while (n > 0) {
    const auto size = static_cast<std::uint32_t>(n);
    std::uint32_t capacity = size;
    auto block = Allocate(capacity);
    if (!block) {
      log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(capacity));
      return kEcdInvalid;
    }
    std::uint32_t blockLength = size;
    if (kind != kEcdKindNone) {
      // Data that does not shrink codes larger than the chunk: the encoder
      // tells the size it needs, and the chunk is coded again into that.
      blockLength = vskEncodeMemory(chunk.get(), size, block.get(), &capacity);
      if (blockLength == 0) {
        block = Allocate(capacity);
        if (!block) {
          log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(capacity));
          return kEcdInvalid;
        }
        blockLength = vskEncodeMemory(chunk.get(), size, block.get(), &capacity);
      }
    } else {
      std::memcpy(block.get(), chunk.get(), size);
    }

    n = ReadSome(input.get(), chunk.get(), kBlockMax);
    if (n < 0) {
      // The rest of the input is unknown: an output cut here must not pass
      // for a complete encoding.
      log.Line("_read Error on EcdCtrlEncodeFiley %d", -1);
      log.ApiError(kSource, __LINE__, "%s : %d", "_read", inFd);
      return kEcdIoError;
    }
    if (kind != kEcdKindNone && n > 0) bk::StoreBe16(block.get(), kMoreBlocksWord);
    if (!WriteAll(output.get(), block.get(), blockLength)) {
      log.Line("_write2 Error on EcdCtrlEncodeFiley wRtn %d", -1);
      log.ApiError(kSource, __LINE__, "%s : %d", "_write", outFd);
      return kEcdIoError;
    }
  }
  input.Close();
  // Buffered bytes reach the file only here; losing them is a failed write.
  if (!output.Close()) {
    log.ApiError(kSource, __LINE__, "%s : %d", "_close", outFd);
    return kEcdIoError;
  }
  return kEcdEncodeOk;
}

int vskEcdCtrlDecodeFile(const char* encodedPath, const char* outPath) {
  using namespace bk::ecd;
  OperationLog log;
  File input = OpenForReading(encodedPath);
  if (!input) {
    log.Line("_open Error on EcdCtrlDecodeFile %s", encodedPath);
    log.ApiError(kSource, __LINE__, "%s : %s", "_open", encodedPath);
    return kEcdIoError;
  }
  const int inFd = Descriptor(input.get());
  std::uint64_t fileSize = 0;
  FileSize(input.get(), fileSize);

  unsigned char magic[kEcdMagicSize] = {};
  const long long got = ReadSome(input.get(), magic, sizeof magic);
  if (got <= 0) {
    log.Line("_read Error on EcdCtrlDecodeFile %s %d", encodedPath, static_cast<int>(got));
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", inFd);
    return kEcdIoError;
  }
  if (EcdCheckMagicNum(bk::LoadBe32(magic), bk::LoadBe32(magic + 4), bk::LoadBe32(magic + 8),
                       bk::LoadBe32(magic + 12)) != 1) {
    log.Line("EcdCheckMagicNum Error on EcdCtrlDecodeFile");
    return kEcdBadMagic;
  }

  Options options;
  std::uint64_t words = 0;
  for (;;) {
    unsigned char word[2];
    if (ReadSome(input.get(), word, sizeof word) != 2) {
      log.Line("_read[Opt] Error on EcdCtrlDecodeFile");
      return kEcdIoError;
    }
    ++words;
    const std::uint64_t left = fileSize - kEcdMagicSize - 2 * words;  // wraps when past the end
    if (left > fileSize) {
      log.Line("w_size Invalid on EcdCtrlDecodeFile");
      return kEcdInvalid;
    }
    const OptionStep step = ApplyOptionWord(bk::LoadBe16(word), options);
    if (step == OptionStep::kEnd) break;
    if (step == OptionStep::kBadKind) {
      log.Line("switch[opt] default on EcdCtrlDecodeFile");
      return kEcdInvalid;
    }
    if (step == OptionStep::kBadPassThrough) {
      log.Line("switch[opt0x80] default on EcdCtrlDecodeFile");
      return kEcdInvalid;
    }
  }
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
  const int outFd = Descriptor(output.get());

  auto plain = Allocate(kBlockMax);
  if (!plain) {
    log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(kBlockMax));
    return kEcdInvalid;
  }
  if (options.kind == kEcdKindNone) {
    for (;;) {
      const long long n = ReadSome(input.get(), plain.get(), kBlockMax);
      if (n < 0) {
        log.Line("_read Error on EcdCtrlDecodeFile %s %d", encodedPath, -1);
        log.ApiError(kSource, __LINE__, "%s : %d", "_read", inFd);
        return kEcdIoError;
      }
      if (n == 0) break;
      if (!WriteAll(output.get(), plain.get(), static_cast<std::size_t>(n))) {
        log.Line("_write8 Error on EcdCtrlDecodeFile");
        log.ApiError(kSource, __LINE__, "%s : %d", "_write", outFd);
        return kEcdIoError;
      }
    }
  } else {
    const int rc = DecodeControlBlocks(log, input.get(), output.get(), plain.get());
    if (rc != kEcdDecodeOk) return rc;
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
