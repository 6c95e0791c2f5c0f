// The control codec's block coding: the fast and the reference decoder must
// agree on every block (valid or not), and both encoders must produce the same
// bytes, which decode back to the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/ecd.h"
#include "codec/huffman.h"

using namespace bk::ecd;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // As a block: the block word and coded length from the input, bounded by it.
  {
    std::vector<unsigned char> block(data, data + size);  // exact size: ASan sees any overrun
    std::vector<unsigned char> fast(kBlockMax + 1, 0xA5), reference(kBlockMax + 1, 0xA5);
    std::size_t blockSize = 0;
    bool more = false;
    const std::size_t n = DecodeBlock(block.data(), block.size(), fast.data(), &blockSize, &more);
    if (size >= kBlockHeaderSize) {
      const std::size_t word = (std::size_t{data[0]} << 8) | data[1];
      const std::size_t coded = (std::size_t{data[2]} << 8) | data[3];
      if (word != 0 && word <= kMoreBlocksWord && coded <= size - kBlockHeaderSize) {
        const std::size_t symbols = word == kMoreBlocksWord ? kBlockMax : word;
        const bool ok = DecodeBlockReference(block.data() + 4, coded, symbols, reference.data());
        if (ok != (n != 0)) std::abort();
        if (ok && (n != symbols || std::memcmp(fast.data(), reference.data(), symbols) != 0)) std::abort();
      } else if (n != 0) {
        std::abort();
      }
    }
    if (fast[kBlockMax] != 0xA5) std::abort();
  }
  // As plain bytes: both encoders agree and the result decodes back.
  if (size > 0) {
    const std::size_t n = size < kBlockMax ? size : kBlockMax;
    std::vector<unsigned char> a(kCodedMax), b(kCodedMax);
    const std::size_t ca = EncodeBlockFast(data, n, a.data());
    const std::size_t cb = EncodeBlockReference(data, n, b.data());
    if (ca != cb || std::memcmp(a.data(), b.data(), ca) != 0) std::abort();
    std::vector<unsigned char> coded(a.begin(), a.begin() + static_cast<long>(ca));
    std::vector<unsigned char> out(n);
    if (!DecodeBlockFast(coded.data(), coded.size(), n, out.data())) std::abort();
    if (std::memcmp(out.data(), data, n) != 0) std::abort();
    // Two blocks at once, the raw input taken as coded bits of the same symbol
    // count beside the valid block: each as when decoded alone.
    std::vector<unsigned char> raw(data, data + size), alone(n), first(n), second(n);
    const bool rawOk = DecodeBlockFast(raw.data(), raw.size(), n, alone.data());
    bool okFirst, okSecond;
    DecodeTwoBlocksFast(raw.data(), raw.size(), n, first.data(), &okFirst, coded.data(), coded.size(), n,
                        second.data(), &okSecond);
    if (okFirst != rawOk || !okSecond || std::memcmp(second.data(), data, n) != 0) std::abort();
    if (rawOk && first != alone) std::abort();
  }
  return 0;
}
