// The control codec's block format, on memory buffers: exact bytes for small
// inputs, block boundaries, the fast coder against the reference coder, and
// malformed blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "codec/ecd.h"
#include "codec/huffman.h"
#include "common/byte_order.h"

namespace {

using Bytes = std::vector<unsigned char>;
using bk::ecd::kBlockMax;
using bk::ecd::kCodedMax;

Bytes Encode(const Bytes& plain) {
  std::uint32_t capacity = static_cast<std::uint32_t>(plain.size() * 2 + 1024);
  Bytes out(capacity);
  const std::uint32_t n = vskEncodeMemory(plain.data(), static_cast<std::uint32_t>(plain.size()),
                                          out.data(), &capacity);
  out.resize(n);
  return out;
}

// Decodes a chain of blocks with vskDecodeMemory; checks the output buffer's
// guard bytes after every block.
Bytes DecodeChain(const Bytes& coded) {
  Bytes plain;
  const unsigned char* at = coded.data();
  while (at != nullptr) {
    unsigned char out[kBlockMax + 16];
    std::memset(out, 0xA5, sizeof out);
    const std::uint32_t n = vskDecodeMemory(out, &at);
    for (std::size_t i = kBlockMax; i < sizeof out; ++i) EXPECT_EQ(out[i], 0xA5);
    if (n == 0) return {};
    plain.insert(plain.end(), out, out + n);
  }
  return plain;
}

Bytes Sample(const std::string& kind, std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes data(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (kind == "random") {
      data[i] = static_cast<unsigned char>(random());
    } else if (kind == "text") {
      static const char words[] = "the backup of a resource is restored after a failed install ";
      data[i] = static_cast<unsigned char>(words[(i + random() % 3) % (sizeof words - 1)]);
    } else if (kind == "ties") {
      // Counts of 1, 2, 4, 8 and 16 over many values: joined nodes keep
      // meeting leaves of the same count.
      static const Bytes pattern = [] {
        Bytes p;
        for (unsigned v = 0; v < 40; ++v) p.insert(p.end(), std::size_t{1} << (v % 5), static_cast<unsigned char>(v));
        return p;
      }();
      data[i] = pattern[(i + seed) % pattern.size()];
    } else if (kind == "skewed") {
      // Geometric frequencies: codes far longer than the decoder's table.
      unsigned v = 0;
      while (v < 40 && (random() & 1u)) ++v;
      data[i] = static_cast<unsigned char>(v);
    } else {
      data[i] = 'x';
    }
  }
  return data;
}

TEST(HuffmanBlock, SmallInputsGiveTheDocumentedBytes) {
  const struct {
    const char* plain;
    Bytes coded;
  } cases[] = {
      {"aaab", {0x00, 0x04, 0x00, 0x03, 0x98, 0x8C, 0x3C}},
      {"aaaa", {0x00, 0x04, 0x00, 0x02, 0x30, 0x80}},
      {"a", {0x00, 0x01, 0x00, 0x02, 0x30, 0x80}},
      // Joined nodes that tie with leaves: the heap keeps the joined node on
      // top and takes it first ("leaf first" gives other bytes).
      {"abcc", {0x00, 0x04, 0x00, 0x05, 0xCC, 0x26, 0x23, 0x18, 0xE0}},
      {"aabbccdd", {0x00, 0x08, 0x00, 0x07, 0xCC, 0x46, 0x39, 0x84, 0xC9, 0x40, 0xBE}},
      {"abcdefgh", {0x00, 0x08, 0x00, 0x0D, 0xE6, 0x43, 0x34, 0xC4, 0x67, 0xCC, 0xA6, 0x39, 0x84, 0xD1, 0x95,
                    0x10, 0xBE}},
      {"aabbbcccc", {0x00, 0x09, 0x00, 0x06, 0x98, 0xE6, 0x13, 0x15, 0x7E, 0x00}},
      {"abbcccddddeeeee", {0x00, 0x0F, 0x00, 0x0B, 0xE6, 0x13, 0x11, 0x8E, 0x64, 0x32, 0x82, 0x55, 0xAA, 0xFF,
                           0xC0}},
  };
  for (const auto& c : cases) {
    const Bytes plain(c.plain, c.plain + std::strlen(c.plain));
    EXPECT_EQ(Encode(plain), c.coded) << c.plain;
    EXPECT_EQ(DecodeChain(c.coded), plain) << c.plain;
  }
}

TEST(HuffmanBlock, BlockWordsAtTheBoundaries) {
  const struct {
    std::size_t size;
    std::vector<std::uint16_t> words;
  } cases[] = {
      {1, {0x0001}},
      {32767, {0x7FFF}},
      {32768, {0x8000, 0x0001}},
      {65534, {0x8000, 0x7FFF}},
      {65535, {0x8000, 0x8000, 0x0001}},
      {100000, {0x8000, 0x8000, 0x8000, 1699}},
  };
  for (const auto& c : cases) {
    const Bytes plain = Sample("text", c.size, 7);
    const Bytes coded = Encode(plain);
    std::vector<std::uint16_t> words;
    for (std::size_t at = 0; at + 4 <= coded.size(); at += 4 + bk::LoadBe16(&coded[at + 2]))
      words.push_back(bk::LoadBe16(&coded[at]));
    EXPECT_EQ(words, c.words) << c.size;
    EXPECT_EQ(DecodeChain(coded), plain) << c.size;
  }
}

TEST(HuffmanBlock, FastAndReferenceCodersAgree) {
  for (const char* kind : {"random", "text", "ties", "skewed", "same"}) {
    for (std::size_t n : {1u, 2u, 3u, 17u, 1000u, 32766u, 32767u}) {
      const Bytes plain = Sample(kind, n, static_cast<std::uint32_t>(n));
      std::vector<unsigned char> fast(kCodedMax), reference(kCodedMax);
      const std::size_t a = bk::ecd::EncodeBlockFast(plain.data(), n, fast.data());
      const std::size_t b = bk::ecd::EncodeBlockReference(plain.data(), n, reference.data());
      ASSERT_EQ(a, b) << kind << " " << n;
      ASSERT_EQ(0, std::memcmp(fast.data(), reference.data(), a)) << kind << " " << n;
      Bytes out1(n), out2(n);
      ASSERT_TRUE(bk::ecd::DecodeBlockFast(fast.data(), a, n, out1.data()));
      ASSERT_TRUE(bk::ecd::DecodeBlockReference(fast.data(), a, n, out2.data()));
      EXPECT_EQ(out1, plain) << kind << " " << n;
      EXPECT_EQ(out2, plain) << kind << " " << n;
    }
  }
}

TEST(HuffmanBlock, DeepestTreesRoundTrip) {
  // Fibonacci counts give the longest codes a full block allows.
  Bytes plain;
  std::uint32_t f1 = 1, f2 = 1;
  for (int v = 0; plain.size() + f1 <= kBlockMax; ++v) {
    plain.insert(plain.end(), f1, static_cast<unsigned char>(v));
    const std::uint32_t next = f1 + f2;
    f1 = f2;
    f2 = next;
  }
  std::vector<unsigned char> coded(kCodedMax);
  const std::size_t c = bk::ecd::EncodeBlockFast(plain.data(), plain.size(), coded.data());
  Bytes out(plain.size());
  ASSERT_TRUE(bk::ecd::DecodeBlockFast(coded.data(), c, plain.size(), out.data()));
  EXPECT_EQ(out, plain);
}

// Hand-made trees far deeper than any encoder makes: internal node k has the
// leaf k on its left and node k + 1 on its right, the last one two leaves.
// Leaf k's code is k ones and a zero; the deepest leaf's code is all ones.
TEST(HuffmanBlock, HandMadeDeepTreesDecodeAsTheReferenceDecodes) {
  for (const unsigned internal : {12u, 62u, 63u, 64u, 100u, 255u}) {
    SCOPED_TRACE("internal nodes: " + std::to_string(internal));
    std::string bits;
    auto value = [&bits](unsigned v) {
      for (int b = 7; b >= 0; --b) bits += ((v >> b) & 1u) ? '1' : '0';
    };
    for (unsigned k = 0; k < internal; ++k) {
      bits += "10";
      value(k);
    }
    bits += '0';
    value(internal);
    const unsigned symbols[] = {0, internal, internal / 2, internal - 1, 1, internal, 0};
    Bytes expected;
    for (const unsigned s : symbols) {
      bits += std::string(s, '1');
      if (s != internal) bits += '0';
      expected.push_back(static_cast<unsigned char>(s));
    }
    Bytes coded((bits.size() + 7) / 8);
    for (std::size_t i = 0; i < bits.size(); ++i)
      if (bits[i] == '1') coded[i / 8] = static_cast<unsigned char>(coded[i / 8] | (0x80u >> (i % 8)));
    Bytes fast(expected.size()), reference(expected.size());
    ASSERT_TRUE(bk::ecd::DecodeBlockFast(coded.data(), coded.size(), expected.size(), fast.data()));
    ASSERT_TRUE(bk::ecd::DecodeBlockReference(coded.data(), coded.size(), expected.size(), reference.data()));
    EXPECT_EQ(fast, expected);
    EXPECT_EQ(reference, expected);
    // One bit short of the last code: both refuse.
    const std::size_t shortLength = (bits.size() - 1 + 7) / 8;
    if (shortLength < coded.size()) {
      EXPECT_FALSE(bk::ecd::DecodeBlockFast(coded.data(), shortLength, expected.size(), fast.data()));
      EXPECT_FALSE(bk::ecd::DecodeBlockReference(coded.data(), shortLength, expected.size(), reference.data()));
    }
  }
}

TEST(HuffmanBlock, IncompressibleBlockCodesLargerAndTellsTheSizeNeeded) {
  Bytes plain(kBlockMax);
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<unsigned char>(i * 7);
  std::uint32_t capacity = kBlockMax;
  Bytes out(capacity);
  EXPECT_EQ(vskEncodeMemory(plain.data(), kBlockMax, out.data(), &capacity), 0u);
  EXPECT_GT(capacity, kBlockMax + 4);
  out.resize(capacity);
  std::uint32_t exact = capacity;
  EXPECT_EQ(vskEncodeMemory(plain.data(), kBlockMax, out.data(), &exact), capacity);
  EXPECT_EQ(DecodeChain(out), plain);
}

TEST(HuffmanBlock, TooSmallBufferGetsOnlyTheLeadingWholeBlocks) {
  const Bytes plain = Sample("text", 70000, 3);
  const Bytes all = Encode(plain);
  const std::size_t first = 4 + bk::LoadBe16(&all[2]);
  std::uint32_t capacity = static_cast<std::uint32_t>(first + 10);
  Bytes out(capacity + 16, 0xEE);
  EXPECT_EQ(vskEncodeMemory(plain.data(), 70000, out.data(), &capacity), 0u);
  EXPECT_EQ(capacity, all.size());
  EXPECT_TRUE(std::equal(all.begin(), all.begin() + static_cast<long>(first), out.begin()));
  for (std::size_t i = first; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << i;
}

TEST(HuffmanBlock, MalformedBlocksAreRejectedByBothDecoders) {
  auto block = [](std::uint16_t word, const Bytes& bits) {
    Bytes b(4 + bits.size());
    bk::StoreBe16(b.data(), word);
    bk::StoreBe16(b.data() + 2, static_cast<std::uint16_t>(bits.size()));
    std::copy(bits.begin(), bits.end(), b.begin() + 4);
    return b;
  };
  const Bytes aaab = {0x98, 0x8C, 0x3C};
  Bytes tooManyNodes(40, 0xFF);  // 256 internal nodes and more
  const struct {
    const char* name;
    Bytes block;
    std::size_t symbols;  // for the raw decoders
  } cases[] = {
      {"block word 0", block(0x0000, aaab), 0},
      {"block word above 0x8000", block(0x8001, aaab), 0},
      {"block word 0xFFFF", block(0xFFFF, aaab), 0},
      {"bits run out in the codes", block(0x0006, aaab), 6},  // one padding bit gives a 5th
      {"bits run out in the tree", block(0x0004, {0x98}), 4},
      {"no coded bytes", block(0x0004, {}), 4},
      {"tree past the node limit", block(0x0004, tooManyNodes), 4},
      {"full block word, short codes", block(0x8000, aaab), kBlockMax},
  };
  for (const auto& c : cases) {
    unsigned char out[kBlockMax + 8];
    const unsigned char* at = c.block.data();
    EXPECT_EQ(vskDecodeMemory(out, &at), 0u) << c.name;
    EXPECT_EQ(at, nullptr) << c.name;
    if (c.symbols != 0) {
      const std::size_t coded = c.block.size() - 4;
      EXPECT_FALSE(bk::ecd::DecodeBlockFast(c.block.data() + 4, coded, c.symbols, out)) << c.name;
      EXPECT_FALSE(bk::ecd::DecodeBlockReference(c.block.data() + 4, coded, c.symbols, out)) << c.name;
    }
  }
  // A block that claims more coded bytes than are there.
  const Bytes ok = block(0x0004, aaab);
  std::size_t size;
  bool more;
  unsigned char out[kBlockMax];
  EXPECT_EQ(bk::ecd::DecodeBlock(ok.data(), ok.size() - 1, out, &size, &more), 0u);
  EXPECT_EQ(bk::ecd::DecodeBlock(ok.data(), ok.size(), out, &size, &more), 4u);
}

TEST(HuffmanBlock, TwoBlocksAtOnceDecodeAsOneAfterTheOther) {
  auto encode = [](const Bytes& plain) {
    std::vector<unsigned char> coded(kCodedMax);
    coded.resize(bk::ecd::EncodeBlockFast(plain.data(), plain.size(), coded.data()));
    return coded;
  };
  const Bytes text = Sample("text", kBlockMax, 1), skewed = Sample("skewed", 20000, 2), same = Sample("same", 100, 3),
              noise = Sample("random", 5000, 4);
  Bytes cut = encode(text);
  cut.resize(cut.size() / 2);
  const struct {
    const char* name;
    std::vector<unsigned char> a, b;
    std::size_t symbolsA, symbolsB;
  } cases[] = {
      {"text and skewed", encode(text), encode(skewed), text.size(), skewed.size()},
      {"one value and noise", encode(same), encode(noise), same.size(), noise.size()},
      {"cut first", cut, encode(skewed), text.size(), skewed.size()},
      {"cut second", encode(noise), cut, noise.size(), text.size()},
      {"tiny", encode(Bytes{'a', 'b'}), encode(Bytes{'c'}), 2, 1},
  };
  for (const auto& c : cases) {
    Bytes singleA(c.symbolsA + 8, 0x11), singleB(c.symbolsB + 8, 0x11), pairA(c.symbolsA + 8, 0x11),
        pairB(c.symbolsB + 8, 0x11);
    const bool okA = bk::ecd::DecodeBlockFast(c.a.data(), c.a.size(), c.symbolsA, singleA.data());
    const bool okB = bk::ecd::DecodeBlockFast(c.b.data(), c.b.size(), c.symbolsB, singleB.data());
    bool pairOkA = !okA, pairOkB = !okB;
    bk::ecd::DecodeTwoBlocksFast(c.a.data(), c.a.size(), c.symbolsA, pairA.data(), &pairOkA, c.b.data(), c.b.size(),
                                 c.symbolsB, pairB.data(), &pairOkB);
    EXPECT_EQ(pairOkA, okA) << c.name;
    EXPECT_EQ(pairOkB, okB) << c.name;
    if (okA) {
      EXPECT_EQ(pairA, singleA) << c.name;
    }
    if (okB) {
      EXPECT_EQ(pairB, singleB) << c.name;
    }
    for (std::size_t i = c.symbolsA; i < pairA.size(); ++i) EXPECT_EQ(pairA[i], 0x11) << c.name;
    for (std::size_t i = c.symbolsB; i < pairB.size(); ++i) EXPECT_EQ(pairB[i], 0x11) << c.name;
  }
  // A chain in memory: a bad second block keeps the first one's bytes.
  Bytes chain = Encode(Sample("text", 3 * kBlockMax + 10, 5));
  std::vector<unsigned char> out;
  std::size_t end = 0, blocks = 0;
  EXPECT_EQ(bk::ecd::DecodeBlocks(chain.data(), chain.size(), out, &end, &blocks), 1);
  EXPECT_EQ(out, Sample("text", 3 * kBlockMax + 10, 5));
  EXPECT_EQ(blocks, 4u);
  EXPECT_EQ(end, chain.size());
  const std::size_t second = 4 + bk::LoadBe16(&chain[2]);
  chain[second + 4] ^= 0xFF;  // the second block's tree
  out.clear();
  const int rc = bk::ecd::DecodeBlocks(chain.data(), chain.size(), out, &end, &blocks);
  if (rc == 1) {
    EXPECT_NE(out, Sample("text", 3 * kBlockMax + 10, 5));
  } else {
    EXPECT_EQ(rc, -4);
    EXPECT_EQ(blocks, 1u);
    EXPECT_EQ(out.size(), kBlockMax);
  }
}

TEST(HuffmanBlock, DecodersAgreeOnDamagedBlocks) {
  std::mt19937 random(11);
  for (const char* kind : {"text", "skewed", "random"}) {
    const Bytes plain = Sample(kind, 3000, 5);
    std::vector<unsigned char> coded(kCodedMax);
    const std::size_t c = bk::ecd::EncodeBlockFast(plain.data(), plain.size(), coded.data());
    for (int round = 0; round < 300; ++round) {
      std::vector<unsigned char> damaged(coded.begin(), coded.begin() + static_cast<long>(c));
      const int flips = 1 + static_cast<int>(random() % 4);
      for (int k = 0; k < flips; ++k) damaged[random() % (round % 2 ? 40 : c)] ^= static_cast<unsigned char>(1u << (random() % 8));
      const std::size_t length = round % 3 == 0 ? damaged.size() - random() % 20 : damaged.size();
      Bytes a(plain.size() + 8, 0x5A), b(plain.size() + 8, 0x5A);
      const bool okA = bk::ecd::DecodeBlockFast(damaged.data(), length, plain.size(), a.data());
      const bool okB = bk::ecd::DecodeBlockReference(damaged.data(), length, plain.size(), b.data());
      ASSERT_EQ(okA, okB) << kind << " round " << round;
      if (okA) {
        ASSERT_EQ(a, b) << kind << " round " << round;
      }
      for (std::size_t i = plain.size(); i < a.size(); ++i) ASSERT_EQ(a[i], 0x5A);
    }
  }
}

}  // namespace
