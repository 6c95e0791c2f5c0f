// The stream decoder: the file decoders' loops turned inside out, so that the
// reader pulls plain bytes instead of the decoder pushing them into a file.
// Control blocks are decoded two at a time where a block says another
// follows, as in the file decoder; a failure found in the second block of a
// pair comes out only after the first block's bytes were handed out, so the
// bytes before a failure are the same as the file decoder writes.
#include "codec/ecd_stream_decode.h"

#include <cstring>
#include <new>
#include <zlib.h>

#include "codec/ecd_io.h"
#include "codec/huffman.h"
#include "common/byte_order.h"

namespace bk::ecd {

namespace {

constexpr const char* kSource = "client\\ecd\\EcdCtrl";
constexpr std::size_t kBlockCapacity = kBlockHeaderSize + 0xFFFF;  // head and the largest coded length
constexpr std::size_t kMaxStream = 0xFFFF;                         // a zlib record's length word

const char* UncompressError(int rc) {
  switch (rc) {
    case Z_MEM_ERROR: return "UnCompress Z_MEM_ERROR";
    case Z_BUF_ERROR: return "UnCompress Z_BUF_ERROR";
    case Z_DATA_ERROR: return "UnCompress Z_DATA_ERROR";
    default: return "UnCompress Z_SYS_ERROR";
  }
}

std::unique_ptr<unsigned char[]> New(std::size_t n) {
  return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[n]);
}

}  // namespace

StreamDecoder::StreamDecoder(ByteInput& input, const char* name, std::uint64_t inputSize)
    : input_(input), name_(name != nullptr ? name : ""), inputSize_(inputSize) {}

StreamDecoder::~StreamDecoder() = default;

bool StreamDecoder::Fail(int status) {
  status_ = status;
  finished_ = true;
  queued_ = 0;
  return false;
}

int StreamDecoder::Begin() {
  OperationLog log;
  begun_ = true;
  unsigned char magic[kEcdMagicSize] = {};
  const long long got = input_.Read(magic, sizeof magic);
  if (got <= 0) {
    log.Line("_read Error on EcdCtrlDecodeFile %s %d", name_, static_cast<int>(got));
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", -1);
    Fail(kEcdIoError);
    return status_;
  }
  if (EcdCheckMagicNum(LoadBe32(magic), LoadBe32(magic + 4), LoadBe32(magic + 8), LoadBe32(magic + 12)) != 1) {
    log.Line("EcdCheckMagicNum Error on EcdCtrlDecodeFile");
    Fail(kEcdBadMagic);
    return status_;
  }
  std::uint64_t words = 0;
  for (;;) {
    unsigned char word[2];
    if (input_.Read(word, sizeof word) != 2) {
      log.Line("_read[Opt] Error on EcdCtrlDecodeFile");
      Fail(kEcdIoError);
      return status_;
    }
    ++words;
    if (inputSize_ != 0) {
      const std::uint64_t left = inputSize_ - kEcdMagicSize - 2 * words;  // wraps when past the end
      if (left > inputSize_) {
        log.Line("w_size Invalid on EcdCtrlDecodeFile");
        Fail(kEcdInvalid);
        return status_;
      }
    }
    const OptionStep step = ApplyOptionWord(LoadBe16(word), options_);
    if (step == OptionStep::kEnd) break;
    if (step == OptionStep::kBadKind) {
      log.Line("switch[opt] default on EcdCtrlDecodeFile");
      Fail(kEcdInvalid);
      return status_;
    }
    if (step == OptionStep::kBadPassThrough) {
      log.Line("switch[opt0x80] default on EcdCtrlDecodeFile");
      Fail(kEcdInvalid);
      return status_;
    }
  }
  if (options_.kind == kEcdKindNone && !options_.passThrough) {
    Fail(kEcdNotCompressed);
    return status_;
  }
  plain_[0] = New(kBlockMax);
  plain_[1] = New(kBlockMax);
  if (options_.kind == kEcdKindControl) {
    block_[0] = New(kBlockCapacity);
    block_[1] = New(kBlockCapacity);
  } else if (options_.kind == kEcdKindZlib) {
    block_[0] = New(kMaxStream);
    block_[1] = New(1);
  } else {
    block_[0] = New(1);
    block_[1] = New(1);
  }
  if (!plain_[0] || !plain_[1] || !block_[0] || !block_[1]) {
    log.ApiError(kSource, __LINE__, "%s : size = %d", "malloc", static_cast<int>(kBlockCapacity));
    Fail(kEcdInvalid);
    return status_;
  }
  return status_;
}

std::size_t StreamDecoder::Read(void* out, std::size_t n) {
  auto* to = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  while (done < n) {
    if (queued_ == 0) {
      if (!begun_ || status_ != kEcdDecodeOk || finished_) break;
      if (!Refill()) break;
      continue;
    }
    std::size_t available = plainLength_[current_] - offset_;
    if (available == 0) {
      current_ = 1;
      offset_ = 0;
      continue;
    }
    const std::size_t take = available < n - done ? available : n - done;
    std::memcpy(to + done, plain_[current_].get() + offset_, take);
    offset_ += take;
    queued_ -= take;
    done += take;
  }
  produced_ += done;
  return done;
}

int StreamDecoder::Finish() {
  while (status_ == kEcdDecodeOk) {
    produced_ += queued_;
    queued_ = 0;
    if (finished_) break;
    Refill();
  }
  return status_;
}

bool StreamDecoder::Refill() {
  current_ = 0;
  offset_ = 0;
  plainLength_[0] = plainLength_[1] = 0;
  if (deferred_ != kEcdDecodeOk) {
    OperationLog log;
    if (deferred_ == kEcdIoError) {
      log.Line(deferredRead_ == 3 ? "_read3 Error on EcdCtrlDecodeFile" : "_read4 Error on EcdCtrlDecodeFile");
      log.ApiError(kSource, __LINE__, "%s : %d", "_read", -1);
    } else {
      log.Line("vskDecodeMemory Error on EcdCtrlDecodeFile");
    }
    return Fail(deferred_);
  }
  if (options_.kind == kEcdKindControl) return RefillControl();
  if (options_.kind == kEcdKindZlib) return RefillZlib();
  return RefillStored();
}

int StreamDecoder::ReadControlBlock(unsigned char* block) {
  if (input_.Read(block, 2) != 2) return 3;
  if (input_.Read(block + 2, 2) != 2) return 4;
  const std::size_t coded = LoadBe16(block + 2);
  if (input_.Read(block + kBlockHeaderSize, coded) != static_cast<long long>(coded)) return 4;
  return 0;
}

bool StreamDecoder::RefillControl() {
  auto readFailed = [&](int which) {
    OperationLog log;
    log.Line(which == 3 ? "_read3 Error on EcdCtrlDecodeFile" : "_read4 Error on EcdCtrlDecodeFile");
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", -1);
    return Fail(kEcdIoError);
  };
  auto badBlock = [&] {
    OperationLog log;
    log.Line("vskDecodeMemory Error on EcdCtrlDecodeFile");
    return Fail(kEcdBadBlock);
  };
  unsigned char* blockA = block_[0].get();
  unsigned char* blockB = block_[1].get();
  if (const int failed = ReadControlBlock(blockA)) return readFailed(failed);
  BlockHeader a, b;
  if (!ReadBlockHeader(blockA, kBlockCapacity, a)) return badBlock();
  int failedB = 0;
  if (a.more) {
    failedB = ReadControlBlock(blockB);
    if (failedB == 0 && ReadBlockHeader(blockB, kBlockCapacity, b)) {
      bool okA = false, okB = false;
      DecodeTwoBlocksFast(blockA + kBlockHeaderSize, a.coded, a.symbols, plain_[0].get(), &okA,
                          blockB + kBlockHeaderSize, b.coded, b.symbols, plain_[1].get(), &okB);
      if (!okA) return badBlock();
      plainLength_[0] = a.symbols;
      if (!okB) {
        deferred_ = kEcdBadBlock;
      } else {
        plainLength_[1] = b.symbols;
        if (!b.more) finished_ = true;
      }
      queued_ = plainLength_[0] + plainLength_[1];
      return true;
    }
  }
  // One block alone: the last one, or one whose successor is cut or bad.
  if (!DecodeBlockFast(blockA + kBlockHeaderSize, a.coded, a.symbols, plain_[0].get())) return badBlock();
  plainLength_[0] = a.symbols;
  queued_ = a.symbols;
  if (!a.more) {
    finished_ = true;
  } else if (failedB != 0) {
    deferred_ = kEcdIoError;
    deferredRead_ = failedB;
  } else {
    deferred_ = kEcdBadBlock;  // the next block's head is invalid
  }
  return true;
}

bool StreamDecoder::RefillZlib() {
  OperationLog log;
  unsigned char lengthWord[2];
  const long long got = input_.Read(lengthWord, sizeof lengthWord);
  if (got == 0) {  // no end record: the chain ends with the file
    finished_ = true;
    return false;
  }
  if (got != 2) {
    log.Line("_read3 Error on EcdZLIBDecodeFile");
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", -1);
    return Fail(kEcdIoError);
  }
  const std::size_t length = LoadBe16(lengthWord);
  if (length == 0) {
    finished_ = true;
    return false;
  }
  if (input_.Read(block_[0].get(), length) != static_cast<long long>(length)) {
    log.Line("_read4 Error on EcdZLIBDecodeFile");
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", -1);
    return Fail(kEcdIoError);
  }
  uLongf produced = kBlockMax;
  const int rc = ::uncompress(plain_[0].get(), &produced, block_[0].get(), static_cast<uLong>(length));
  if (rc != Z_OK) {
    log.ApiError(kSource, __LINE__, "%s : code = %d", UncompressError(rc), rc);
    log.Line("vskDecodeMemory Error on EcdZLIBDecodeFile");
    return Fail(kEcdBadBlock);
  }
  plainLength_[0] = produced;
  queued_ = produced;
  return true;
}

bool StreamDecoder::RefillStored() {
  const long long n = input_.Read(plain_[0].get(), kBlockMax);
  if (n < 0) {
    OperationLog log;
    log.Line("_read Error on EcdCtrlDecodeFile %s %d", name_, -1);
    log.ApiError(kSource, __LINE__, "%s : %d", "_read", -1);
    return Fail(kEcdIoError);
  }
  if (n == 0) {
    finished_ = true;
    return false;
  }
  plainLength_[0] = static_cast<std::size_t>(n);
  queued_ = plainLength_[0];
  return true;
}

}  // namespace bk::ecd
