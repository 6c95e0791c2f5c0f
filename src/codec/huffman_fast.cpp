// The fast block coder. Same bit format as the reference coder.
//
// Encoding: the codes of the 256 byte values are taken from the tree once per
// block; bits gather in a 64-bit accumulator that is written out 32 bits at a
// time.
//
// Decoding: the stored tree is parsed and checked first; then a table indexed
// by the next kTableBits bits gives the up to three whole codes those bits
// start with, or, for the rare longer codes, the internal node reached after
// kTableBits bits, from which the code is finished bit by bit. The last few
// codes of a block, where 8 bytes can no longer be loaded, go bit by bit too.
// A block's table is built anew for every block (about a fifth of the
// decoding time), so its entries are built and copied as whole 64-bit words.
#include <cstring>

#include "codec/huffman.h"

namespace bk::ecd {

namespace {

inline std::uint64_t LoadBe64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// --- encoding ---------------------------------------------------------------

inline void StoreBe64(unsigned char* p, std::uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  std::memcpy(p, &v, sizeof v);
}

// Pending bits sit at the top of `acc`. Flush() stores all 8 bytes of the
// accumulator and advances by the whole bytes among them, so the output needs
// 8 bytes of room past the coded length (kCodedMax leaves far more).
// Callers add at most 56 bits between flushes.
struct BitSink {
  unsigned char* out;
  std::uint64_t acc = 0;
  unsigned pending = 0;

  // `top` is the code in the highest `bits` bits of a 64-bit word.
  inline void Add(std::uint64_t top, unsigned bits) {
    acc |= top >> pending;
    pending += bits;
  }
  inline void Flush() {
    StoreBe64(out, acc);
    out += pending >> 3;
    acc <<= (pending & 56u);
    pending &= 7u;
  }
  // Writes the rest, the last byte padded with zero bits.
  void Finish() {
    Flush();
    if (pending > 0) *out++ = static_cast<unsigned char>(acc >> 56);
    pending = 0;
  }
};

void CountBytes(const unsigned char* src, std::size_t n, std::uint32_t counts[256]) {
  // Four tables break the dependency between neighbouring equal bytes.
  std::uint32_t c[4][256] = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, src + i, sizeof v);
    ++c[0][v & 0xFF];
    ++c[1][(v >> 8) & 0xFF];
    ++c[2][(v >> 16) & 0xFF];
    ++c[3][(v >> 24) & 0xFF];
    ++c[0][(v >> 32) & 0xFF];
    ++c[1][(v >> 40) & 0xFF];
    ++c[2][(v >> 48) & 0xFF];
    ++c[3][v >> 56];
  }
  for (; i < n; ++i) ++c[0][src[i]];
  for (int v = 0; v < 256; ++v) counts[v] = c[0][v] + c[1][v] + c[2][v] + c[3][v];
}

template <int kPerFlush>
void EncodeSymbols(const unsigned char* src, std::size_t n, const std::uint64_t* top,
                   const std::uint8_t* length, BitSink& sink) {
  std::size_t i = 0;
  for (; i + kPerFlush <= n; i += kPerFlush) {
    for (int j = 0; j < kPerFlush; ++j) sink.Add(top[src[i + j]], length[src[i + j]]);
    sink.Flush();
  }
  for (; i < n; ++i) {
    sink.Add(top[src[i]], length[src[i]]);
    sink.Flush();
  }
}

// Codes of up to 28 bits, four between flushes when they fit in 56 bits (as
// good as always: long codes are rare), else two and two.
void EncodeSymbolsUpTo28(const unsigned char* src, std::size_t n, const std::uint64_t* top,
                         const std::uint8_t* length, BitSink& sink) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const unsigned a = src[i], b = src[i + 1], c = src[i + 2], d = src[i + 3];
    sink.Add(top[a], length[a]);
    sink.Add(top[b], length[b]);
    if (length[a] + length[b] + length[c] + length[d] > 56) sink.Flush();
    sink.Add(top[c], length[c]);
    sink.Add(top[d], length[d]);
    sink.Flush();
  }
  for (; i < n; ++i) {
    sink.Add(top[src[i]], length[src[i]]);
    sink.Flush();
  }
}

// --- decoding ---------------------------------------------------------------

constexpr int kTableBits = 11;
constexpr int kLookupsPerLoad = 5;

// One lookup of the next table-width bits: up to three whole codes.
struct TableEntry {
  std::uint8_t symbol[3];  // byte values of the codes, in order
  std::uint8_t count;      // codes decoded: 1 to 3; 0 for a code longer than the table
  std::uint8_t bits;       // bits they take
  std::uint8_t unused;
  std::uint16_t node;      // count 0: the internal node reached after kTableBits bits
};
static_assert(sizeof(TableEntry) == 8);

// A table entry as one 64-bit word: byte k of the entry is bits 8k..8k+7 of
// the word, as on the little-endian machines this library is built for.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "table entries are built as little-endian words");
constexpr unsigned kCountShift = 24, kBitsShift = 32;

inline std::uint64_t LoadEntry(const TableEntry& e) {
  std::uint64_t word;
  std::memcpy(&word, &e, sizeof word);
  return word;
}
inline void StoreEntry(TableEntry& e, std::uint64_t word) { std::memcpy(&e, &word, sizeof word); }

// The one-code entries of a leaf at `depth` (1..kTableBits) with `code`: all
// those whose bits start with the code.
inline void FillLeaf(TableEntry* single, std::uint32_t code, unsigned depth, unsigned value) {
  const std::uint64_t word =
      value | (std::uint64_t{1} << kCountShift) | (static_cast<std::uint64_t>(depth) << kBitsShift);
  TableEntry* to = single + (code << (kTableBits - depth));
  const std::uint32_t count = 1u << (kTableBits - depth);
  for (std::uint32_t k = 0; k < count; ++k) StoreEntry(to[k], word);
}

struct DecodeTree {
  std::uint16_t child[kMaxNodes][2];
};

// The next `n` (<= 57) bits at bit position pos, bytes past the end as zero.
inline std::uint64_t Peek(const unsigned char* in, std::size_t length, std::uint64_t pos, unsigned n) {
  const std::size_t at = static_cast<std::size_t>(pos >> 3);
  std::uint64_t v;
  if (at + 8 <= length) {
    v = LoadBe64(in + at);
  } else {
    v = 0;
    for (std::size_t k = 0; k < 8; ++k) v = (v << 8) | (at + k < length ? in[at + k] : 0u);
  }
  return (v << (pos & 7)) >> (64 - n);
}

// Reads the stored tree (pre-order, without recursion) and fills the one-code
// table for kTableBits bits on the way: a leaf at depth d <= kTableBits fills
// the 2^(kTableBits - d) entries that start with its code; an internal node at
// depth kTableBits fills its one entry with its number. Returns the root, or
// -1 when the bits run out or the tree needs more than 255 internal nodes.
int ParseTree(const unsigned char* in, std::size_t length, std::uint64_t& pos, DecodeTree& t,
              TableEntry* single) {
  const std::uint64_t limit = std::uint64_t{length} * 8;
  struct Frame {
    std::uint16_t node;
    std::uint16_t filled;  // children read so far
    std::uint32_t code;    // path from the root
  };
  Frame stack[kMaxNodes];
  int depth = 0;  // frames on the stack = depth of the node read next
  int next = kFirstInternal;
  for (;;) {
    const std::uint32_t code =
        depth == 0 ? 0 : (stack[depth - 1].code << 1) | stack[depth - 1].filled;
    if (pos >= limit) return -1;
    const auto head = static_cast<unsigned>(Peek(in, length, pos, 9));
    int value;
    if (head & 0x100u) {
      ++pos;
      if (next >= kMaxNodes) return -1;
      const auto node = static_cast<std::uint16_t>(next++);
      if (depth == kTableBits)
        single[code] = TableEntry{{0, 0, 0}, 0, 0, 0, node};
      stack[depth++] = Frame{node, 0, code};
      continue;
    }
    if (pos + 9 > limit) return -1;
    pos += 9;
    value = static_cast<int>(head);
    if (depth <= kTableBits && depth > 0) FillLeaf(single, code, static_cast<unsigned>(depth), head);
    // Attach the finished subtree to its parent; a parent with both children
    // is finished in turn.
    for (;;) {
      if (depth == 0) return value;
      Frame& f = stack[depth - 1];
      t.child[f.node][f.filled++] = static_cast<std::uint16_t>(value);
      if (f.filled < 2) break;
      value = f.node;
      --depth;
    }
  }
}

// The same parse without a stack of frames, for trees up to 63 levels deep
// (every tree an encoder makes from a block; only a hand-made one is deeper,
// and is left to the parse above). After a leaf whose code is c, the next
// node's code is (c + 1) >> t, t levels higher, t being the trailing ones of
// c: the levels climbed back to the first node whose right child is still to
// come. Each node is attached to the internal node one level up the path.
int ParseTreeShallow(const unsigned char* in, std::size_t length, std::uint64_t& pos, DecodeTree& t,
                     TableEntry* single) {
  const std::uint64_t start = pos;
  const std::uint64_t limit = std::uint64_t{length} * 8;
  constexpr unsigned kMaxDepth = 63;
  std::uint16_t path[kMaxDepth];  // the internal node at each depth of the path
  std::uint64_t code = 0;         // of the node read next, `depth` bits
  unsigned depth = 0;
  int next = kFirstInternal;
  for (;;) {
    if (pos >= limit) return -1;
    const auto head = static_cast<unsigned>(Peek(in, length, pos, 9));
    if (head & 0x100u) {
      ++pos;
      if (next >= kMaxNodes) return -1;
      const auto node = static_cast<std::uint16_t>(next++);
      if (depth > 0) t.child[path[depth - 1]][code & 1u] = node;
      if (depth == kTableBits) single[code] = TableEntry{{0, 0, 0}, 0, 0, 0, node};
      if (depth == kMaxDepth) {
        pos = start;
        return ParseTree(in, length, pos, t, single);
      }
      path[depth++] = node;
      code <<= 1;
      continue;
    }
    if (pos + 9 > limit) return -1;
    pos += 9;
    if (depth == 0) return static_cast<int>(head);  // a tree of one leaf
    t.child[path[depth - 1]][code & 1u] = static_cast<std::uint16_t>(head);
    if (depth <= kTableBits) FillLeaf(single, static_cast<std::uint32_t>(code), depth, head);
    const std::uint64_t following = code + 1;
    const auto climbed = static_cast<unsigned>(__builtin_ctzll(following));
    if (climbed >= depth) return kFirstInternal;  // past the root's right subtree: done
    code = following >> climbed;
    depth -= climbed;
  }
}

// Every entry whose remaining bits hold a whole second code takes it as well,
// and then a third. Without branches: whether a code fits is close to random
// from entry to entry. On whole words: an entry assembled byte by byte and
// then read back as a word stalls the processor.
void CombineCodes(const TableEntry* single, TableEntry* table) {
  constexpr std::uint32_t kSize = 1u << kTableBits, kMask = kSize - 1;
  // 1 when bits <= kTableBits, in arithmetic: compilers turn comparisons into
  // branches here, and these are close to random.
  auto fits = [](std::uint64_t bits) { return std::uint64_t{1} - ((kTableBits - bits) >> 63); };
  auto count = [](std::uint64_t word) { return (word >> kCountShift) & 0xFFu; };  // 0 or 1 here
  auto bits = [](std::uint64_t word) { return (word >> kBitsShift) & 0xFFu; };
  for (std::uint32_t i = 0; i < kSize; ++i) {
    const std::uint64_t e = LoadEntry(single[i]);
    const std::uint64_t second = LoadEntry(single[(i << bits(e)) & kMask]);
    const std::uint64_t bits2 = bits(e) + bits(second);
    const std::uint64_t two = count(e) & count(second) & fits(bits2);
    const std::uint64_t third = LoadEntry(single[(i << bits2) & kMask]);
    const std::uint64_t three = two & count(third) & fits(bits2 + bits(third));
    const std::uint64_t m2 = 0 - two, m3 = 0 - three;  // all ones when the code is taken
    const std::uint64_t combined = e + (((second & 0xFFu) << 8) & m2) + (((third & 0xFFu) << 16) & m3) +
                                   ((two + three) << kCountShift) +
                                   (((bits(second) & m2) + (bits(third) & m3)) << kBitsShift);
    StoreEntry(table[i], combined);
  }
}

}  // namespace

std::size_t EncodeBlockFast(const unsigned char* src, std::size_t n, unsigned char* coded) {
  std::uint32_t counts[256];
  CountBytes(src, n, counts);
  HuffmanTree tree;
  BuildTree(counts, tree);

  // Codes from the root down: the children of an internal node are numbered
  // below it, so every node is reached after its parent.
  std::uint32_t code[kMaxNodes];
  std::uint8_t length[kMaxNodes];
  code[tree.root] = 0;
  length[tree.root] = 0;
  for (int p = tree.root; p >= kFirstInternal; --p) {
    const std::uint32_t c = code[p] << 1;
    const auto len = static_cast<std::uint8_t>(length[p] + 1);
    code[tree.left[p]] = c;
    length[tree.left[p]] = len;
    code[tree.right[p]] = c | 1u;
    length[tree.right[p]] = len;
  }
  // A block of at most 32767 bytes cannot give codes longer than 22 bits
  // (that would take Fibonacci-sized counts summing to more than 32767).
  std::uint64_t top[256];
  unsigned maxLength = 0;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] == 0) {
      top[v] = 0;
      length[v] = 0;
      continue;
    }
    top[v] = length[v] == 0 ? 0 : std::uint64_t{code[v]} << (64 - length[v]);
    if (length[v] > maxLength) maxLength = length[v];
  }

  BitSink sink{coded};
  // The tree in pre-order, without recursion.
  std::uint16_t stack[kMaxNodes];
  int depth = 0;
  stack[depth++] = static_cast<std::uint16_t>(tree.root);
  while (depth > 0) {
    const int node = stack[--depth];
    if (node >= kFirstInternal) {
      sink.Add(std::uint64_t{1} << 63, 1);
      stack[depth++] = tree.right[node];
      stack[depth++] = tree.left[node];
    } else {
      sink.Add(static_cast<std::uint64_t>(node) << 55, 9);  // bit 0, then the value
    }
    sink.Flush();
  }

  // As many codes between flushes as surely fit in 56 bits.
  if (tree.root < kFirstInternal)
    ;  // one byte value: every code is empty
  else if (maxLength <= 14)
    EncodeSymbols<4>(src, n, top, length, sink);
  else if (maxLength <= 28)
    EncodeSymbolsUpTo28(src, n, top, length, sink);
  else
    EncodeSymbols<1>(src, n, top, length, sink);
  sink.Finish();
  return static_cast<std::size_t>(sink.out - coded);
}

namespace {

// The decoding state of one block. Blocks are independent, so two of them can
// be decoded in one loop: each lookup waits for the one before it in the same
// block, and two blocks give the processor two such chains to overlap.
struct BlockDecoder {
  const unsigned char* in;
  std::size_t codedLength;
  std::uint64_t limit;
  std::size_t symbols;
  unsigned char* out;
  std::uint64_t pos = 0;
  std::size_t i = 0;
  int root = -1;
  DecodeTree tree;
  TableEntry table[1u << kTableBits];

  BlockDecoder(const unsigned char* coded, std::size_t length, std::size_t count, unsigned char* output)
      : in(coded), codedLength(length), limit(std::uint64_t{length} * 8), symbols(count), out(output) {}

  // Reads the tree and builds the table; false for an invalid tree. A tree
  // of one leaf decodes the whole block here.
  bool Prepare() {
    TableEntry single[1u << kTableBits];
    root = ParseTreeShallow(in, codedLength, pos, tree, single);
    if (root < 0) return false;
    if (root < kFirstInternal) {
      std::memset(out, root, symbols);
      i = symbols;
      return true;
    }
    CombineCodes(single, table);
    return true;
  }

  // Finishes a code bit by bit from `node`; -1 when the bits run out.
  int Walk(int node) {
    while (node >= kFirstInternal) {
      if (pos >= limit) return -1;
      const unsigned bit = (in[pos >> 3] >> (7 - (pos & 7))) & 1u;
      ++pos;
      node = tree.child[node][bit];
    }
    return node;
  }

  // Entry condition of Step: 8 whole bytes can be loaded at the position,
  // which gives at least 57 valid bits, enough for 5 lookups of at most 11
  // bits; at least 16 output bytes remain, enough for 5 lookups of 3 codes
  // (each lookup stores 4 bytes, the ones past its codes overwritten later).
  bool CanStep() const { return i + 3 * kLookupsPerLoad + 1 <= symbols && (pos >> 3) + 8 <= codedLength; }

  // Up to kLookupsPerLoad lookups from one load; false when a long code runs
  // out of bits.
  inline bool Step() {
    static_assert(kLookupsPerLoad * kTableBits <= 57);
    constexpr unsigned shift = 64u - kTableBits;
    std::uint64_t acc = LoadBe64(in + (pos >> 3)) << (pos & 7);
    unsigned used = 0;
    for (int j = 0; j < kLookupsPerLoad; ++j) {
      const TableEntry& e = table[acc >> shift];
      if (e.count == 0) {
        // A code longer than the table: the table gave the node after its bits.
        pos += used + kTableBits;
        const int leaf = Walk(e.node);
        if (leaf < 0) return false;
        out[i++] = static_cast<unsigned char>(leaf);
        return true;
      }
      std::memcpy(out + i, &e, 4);  // the three byte values and one spare byte
      i += e.count;
      acc <<= e.bits;
      used += e.bits;
    }
    pos += used;
    return true;
  }

  // The last codes, bit by bit.
  bool Finish() {
    while (i < symbols) {
      const int leaf = Walk(root);
      if (leaf < 0) return false;
      out[i++] = static_cast<unsigned char>(leaf);
    }
    return true;
  }

  bool Run() {
    while (CanStep())
      if (!Step()) return false;
    return Finish();
  }
};

}  // namespace

bool DecodeBlockFast(const unsigned char* in, std::size_t codedLength, std::size_t symbols,
                     unsigned char* out) {
  BlockDecoder d(in, codedLength, symbols, out);
  return d.Prepare() && d.Run();
}

void DecodeTwoBlocksFast(const unsigned char* in1, std::size_t length1, std::size_t symbols1,
                         unsigned char* out1, bool* ok1, const unsigned char* in2, std::size_t length2,
                         std::size_t symbols2, unsigned char* out2, bool* ok2) {
  BlockDecoder a(in1, length1, symbols1, out1), b(in2, length2, symbols2, out2);
  bool goodA = a.Prepare(), goodB = b.Prepare();
  while (goodA && goodB && a.CanStep() && b.CanStep()) {
    goodA = a.Step();
    goodB = b.Step();
  }
  *ok1 = goodA && a.Run();
  *ok2 = goodB && b.Run();
}

}  // namespace bk::ecd
