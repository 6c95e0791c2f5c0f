// The control codec on memory buffers, the option words, and the decoding of
// a whole encoded file held in memory (used by tools that must not touch the
// file they inspect).
#include <cstring>
#include <zlib.h>

#include "codec/ecd.h"
#include "codec/huffman.h"
#include "common/byte_order.h"

namespace {

// Coded bytes of a block whose destination has too little room left; the
// destination gets them only if they fit.
unsigned char g_coded[bk::ecd::kCodedMax];

}  // namespace

std::uint32_t vskEncodeMemory(const unsigned char* src, std::uint32_t srcLength, unsigned char* dst,
                              std::uint32_t* dstCapacity) {
  using namespace bk::ecd;
  const std::uint64_t capacity = *dstCapacity;
  std::uint64_t total = 0;
  std::uint32_t done = 0;
  while (done < srcLength) {
    const std::uint32_t size =
        srcLength - done > kBlockMax ? static_cast<std::uint32_t>(kBlockMax) : srcLength - done;
    const bool more = done + size < srcLength;
    // Code straight into place when even the largest block would fit.
    const bool direct = total + kBlockHeaderSize + kCodedMax <= capacity;
    unsigned char* coded = direct ? dst + total + kBlockHeaderSize : g_coded;
    const std::size_t c = EncodeBlockFast(src + done, size, coded);
    if (total + c + kBlockHeaderSize <= capacity) {
      unsigned char* at = dst + total;
      bk::StoreBe16(at, more ? kMoreBlocksWord : static_cast<std::uint16_t>(size));
      bk::StoreBe16(at + 2, static_cast<std::uint16_t>(c));
      if (!direct) std::memcpy(at + kBlockHeaderSize, coded, c);
    }
    total += c + kBlockHeaderSize;
    done += size;
  }
  if (total > capacity) {
    *dstCapacity = static_cast<std::uint32_t>(total);
    return 0;
  }
  return static_cast<std::uint32_t>(total);
}

std::uint32_t vskDecodeMemory(unsigned char* out, const unsigned char** blockPosition) {
  const unsigned char* block = *blockPosition;
  *blockPosition = nullptr;
  const std::size_t available = bk::ecd::kBlockHeaderSize + bk::LoadBe16(block + 2);
  std::size_t blockSize = 0;
  bool more = false;
  const std::size_t n = bk::ecd::DecodeBlock(block, available, out, &blockSize, &more);
  if (n != 0 && more) *blockPosition = block + blockSize;
  return static_cast<std::uint32_t>(n);
}

namespace bk::ecd {

namespace {
CompressFunction g_compress = nullptr;
}

void SetCompressFunctionForTest(CompressFunction fn) { g_compress = fn; }

int CallCompress(unsigned char* dest, unsigned long* destLength, const unsigned char* source,
                 unsigned long sourceLength, int level) {
  if (g_compress != nullptr) return g_compress(dest, destLength, source, sourceLength, level);
  uLongf length = *destLength;
  const int rc = ::compress2(dest, &length, source, sourceLength, level);
  *destLength = length;
  return rc;
}

OptionStep ApplyOptionWord(std::uint16_t word, Options& options) {
  const unsigned group = word >> 8, value = word & 0xFFu;
  switch (group) {
    case 0x00:
      if (value != kEcdKindNone && value != kEcdKindControl && value != kEcdKindZlib)
        return OptionStep::kBadKind;
      options.kind = static_cast<int>(value);
      return OptionStep::kNext;
    case 0x80:
      if (value != 0 && value != 2) return OptionStep::kBadPassThrough;
      options.passThrough = value == 2;
      return OptionStep::kNext;
    case 0xFF:
      return OptionStep::kEnd;
    default:
      return OptionStep::kNext;
  }
}

bool ReadBlockHeader(const unsigned char* block, std::size_t available, BlockHeader& header) {
  if (available < kBlockHeaderSize) return false;
  const std::uint16_t word = LoadBe16(block);
  const std::size_t coded = LoadBe16(block + 2);
  if (word == 0 || word > kMoreBlocksWord) return false;
  if (coded > available - kBlockHeaderSize) return false;
  header.symbols = word == kMoreBlocksWord ? kBlockMax : word;
  header.coded = coded;
  header.more = word == kMoreBlocksWord;
  return true;
}

std::size_t DecodeBlock(const unsigned char* block, std::size_t available, unsigned char* out,
                        std::size_t* blockSize, bool* more) {
  *blockSize = 0;
  *more = false;
  BlockHeader h;
  if (!ReadBlockHeader(block, available, h)) return 0;
  if (!DecodeBlockFast(block + kBlockHeaderSize, h.coded, h.symbols, out)) return 0;
  *blockSize = h.Size();
  *more = h.more;
  return h.symbols;
}

int DecodeBlocks(const unsigned char* data, std::size_t size, std::vector<unsigned char>& out,
                 std::size_t* end, std::size_t* blocks) {
  std::size_t pos = 0, count = 0;
  int result = kEcdDecodeOk;
  for (bool more = true; more;) {
    // A block that is not all there is a read failure, as in the file decoder.
    if (size - pos < kBlockHeaderSize || size - pos - kBlockHeaderSize < LoadBe16(data + pos + 2)) {
      result = kEcdIoError;
      break;
    }
    BlockHeader a, b;
    if (!ReadBlockHeader(data + pos, size - pos, a)) {
      result = kEcdBadBlock;
      break;
    }
    const std::size_t next = pos + a.Size();
    const std::size_t at = out.size();
    if (a.more && ReadBlockHeader(data + next, size - next, b)) {
      out.resize(at + a.symbols + b.symbols);
      bool okA, okB;
      DecodeTwoBlocksFast(data + pos + kBlockHeaderSize, a.coded, a.symbols, out.data() + at, &okA,
                          data + next + kBlockHeaderSize, b.coded, b.symbols, out.data() + at + a.symbols, &okB);
      if (!okA || !okB) {
        out.resize(okA ? at + a.symbols : at);
        count += okA ? 1 : 0;
        pos = okA ? next : pos;
        result = kEcdBadBlock;
        break;
      }
      count += 2;
      pos = next + b.Size();
      more = b.more;
    } else {
      out.resize(at + a.symbols);
      if (!DecodeBlockFast(data + pos + kBlockHeaderSize, a.coded, a.symbols, out.data() + at)) {
        out.resize(at);
        result = kEcdBadBlock;
        break;
      }
      ++count;
      pos = next;
      more = a.more;
    }
  }
  if (end != nullptr) *end = pos;
  if (blocks != nullptr) *blocks = count;
  return result;
}

namespace {

// DecodeBlocks' checks and results, block by block into one buffer: the plain
// bytes are counted, never kept.
int CountBlocks(const unsigned char* data, std::size_t size, std::uint64_t& plain, std::size_t& blocks) {
  unsigned char buffer[kBlockMax];
  std::size_t pos = 0;
  for (bool more = true; more;) {
    if (size - pos < kBlockHeaderSize || size - pos - kBlockHeaderSize < LoadBe16(data + pos + 2))
      return kEcdIoError;
    std::size_t blockSize = 0;
    const std::size_t n = DecodeBlock(data + pos, size - pos, buffer, &blockSize, &more);
    if (n == 0) return kEcdBadBlock;
    plain += n;
    ++blocks;
    pos += blockSize;
  }
  return kEcdDecodeOk;
}

}  // namespace

int DecodeImage(const unsigned char* data, std::size_t size, std::vector<unsigned char>* out,
                ImageInfo* infoOut) {
  ImageInfo local;
  ImageInfo& info = infoOut != nullptr ? *infoOut : local;
  info = ImageInfo{};
  if (size == 0) return kEcdIoError;
  unsigned char magic[kEcdMagicSize] = {};
  std::memcpy(magic, data, size < kEcdMagicSize ? size : kEcdMagicSize);
  info.check = LoadBe32(magic);
  info.seed1 = LoadBe32(magic + 4);
  info.seed2 = LoadBe32(magic + 8);
  info.seed3 = LoadBe32(magic + 12);
  info.magicValid = EcdCheckMagicNum(info.check, info.seed1, info.seed2, info.seed3) == 1;
  if (!info.magicValid) return kEcdBadMagic;

  std::size_t pos = kEcdMagicSize;
  for (;;) {
    if (pos >= size || size - pos < 2) return kEcdIoError;
    const std::uint16_t word = LoadBe16(data + pos);
    pos += 2;
    info.optionWords.push_back(word);
    const OptionStep step = ApplyOptionWord(word, info.options);
    if (step == OptionStep::kEnd) break;
    if (step != OptionStep::kNext) return kEcdInvalid;
  }
  info.dataOffset = pos;
  const Options& options = info.options;
  if (options.kind == kEcdKindNone && !options.passThrough) return kEcdNotCompressed;

  // Without `out` the plain bytes are only counted: a tiny encoded file can
  // stand for gigabytes.
  if (out == nullptr) {
    if (options.kind == kEcdKindNone) {
      info.plainSize = size - pos;
      return kEcdDecodeOk;
    }
    if (options.kind == kEcdKindControl) return CountBlocks(data + pos, size - pos, info.plainSize, info.blocks);
  }
  std::vector<unsigned char> sink;
  std::vector<unsigned char>& plain = out != nullptr ? *out : sink;
  plain.clear();
  if (options.kind == kEcdKindNone) {
    plain.assign(data + pos, data + size);
    info.plainSize = plain.size();
    return kEcdDecodeOk;
  }

  if (options.kind == kEcdKindControl) {
    std::size_t end = 0;
    const int rc = DecodeBlocks(data + pos, size - pos, plain, &end, &info.blocks);
    info.plainSize = plain.size();
    return rc;
  }

  unsigned char buffer[kBlockMax];
  // Kind 5: a missing end record is taken as the end, as the file decoder does.
  for (;;) {
    if (size - pos == 0) break;
    if (size - pos < 2) return kEcdIoError;
    const std::size_t length = LoadBe16(data + pos);
    pos += 2;
    if (length == 0) break;
    if (size - pos < length) return kEcdIoError;
    uLongf produced = kBlockMax;
    if (::uncompress(buffer, &produced, data + pos, static_cast<uLong>(length)) != Z_OK) return kEcdBadBlock;
    if (out != nullptr) plain.insert(plain.end(), buffer, buffer + produced);
    pos += length;
    ++info.blocks;
    info.plainSize += produced;
  }
  return kEcdDecodeOk;
}

}  // namespace bk::ecd
