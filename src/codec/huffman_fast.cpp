// The fast block coder. Same bit format as the reference coder.
//
// Encoding: the codes of the 256 byte values are taken from the tree once per
// block; bits gather in a 64-bit accumulator that is written out 32 bits at a
// time.
//
// Decoding: the stored tree is parsed and checked first; then a table indexed
// by the next kTableBits bits gives the byte value and code length of every
// code up to that length, or the internal node reached after kTableBits bits
// for the rare longer codes, which are finished bit by bit.
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

inline void StoreBe32(unsigned char* p, std::uint32_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  std::memcpy(p, &v, sizeof v);
}

// --- encoding ---------------------------------------------------------------

// Bits enter at the low end of `acc`; whenever 32 or more are pending the
// oldest 32 are stored. Callers keep pending + added bits below 64.
struct BitSink {
  unsigned char* out;
  std::uint64_t acc = 0;
  unsigned pending = 0;

  inline void Add(std::uint32_t code, unsigned bits) {
    acc = (acc << bits) | code;
    pending += bits;
  }
  inline void Drain() {
    if (pending >= 32) {
      pending -= 32;
      StoreBe32(out, static_cast<std::uint32_t>(acc >> pending));
      out += 4;
    }
  }
  // Writes the rest, the last byte padded with zero bits.
  void Finish() {
    while (pending >= 8) {
      pending -= 8;
      *out++ = static_cast<unsigned char>(acc >> pending);
    }
    if (pending > 0) *out++ = static_cast<unsigned char>(acc << (8 - pending));
    pending = 0;
  }
};

void CountBytes(const unsigned char* src, std::size_t n, std::uint32_t counts[256]) {
  // Four tables break the dependency between neighbouring equal bytes.
  std::uint32_t c[4][256] = {};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++c[0][src[i]];
    ++c[1][src[i + 1]];
    ++c[2][src[i + 2]];
    ++c[3][src[i + 3]];
  }
  for (; i < n; ++i) ++c[0][src[i]];
  for (int v = 0; v < 256; ++v) counts[v] = c[0][v] + c[1][v] + c[2][v] + c[3][v];
}

template <int kPerDrain>
void EncodeSymbols(const unsigned char* src, std::size_t n, const std::uint32_t* code,
                   const std::uint8_t* length, BitSink& sink) {
  std::size_t i = 0;
  for (; i + kPerDrain <= n; i += kPerDrain) {
    for (int j = 0; j < kPerDrain; ++j) sink.Add(code[src[i + j]], length[src[i + j]]);
    sink.Drain();
  }
  for (; i < n; ++i) {
    sink.Add(code[src[i]], length[src[i]]);
    sink.Drain();
  }
}

// --- decoding ---------------------------------------------------------------

constexpr int kTableBits = 11;

struct TableEntry {
  std::uint8_t symbol;
  std::uint8_t length;  // 0: longer code, continue at `node`
  std::uint16_t node;
};

struct DecodeTree {
  std::uint16_t child[kMaxNodes][2];
  int next = kFirstInternal;
};

// Reads the stored tree bit by bit (at most 2559 bits); -1 when it is cut
// short or needs more than 255 internal nodes.
int ParseNode(const unsigned char* in, std::uint64_t limit, std::uint64_t& pos, DecodeTree& t) {
  if (pos >= limit) return -1;
  const unsigned bit = (in[pos >> 3] >> (7 - (pos & 7))) & 1u;
  ++pos;
  if (bit == 0) {
    if (pos + 8 > limit) return -1;
    const unsigned at = static_cast<unsigned>(pos & 7);
    unsigned v = static_cast<unsigned>(in[pos >> 3]) << 8;
    if (at != 0) v |= in[(pos >> 3) + 1];
    pos += 8;
    return static_cast<int>((v >> (8 - at)) & 0xFFu);
  }
  if (t.next >= kMaxNodes) return -1;
  const int n = t.next++;
  const int l = ParseNode(in, limit, pos, t);
  if (l < 0) return -1;
  const int r = ParseNode(in, limit, pos, t);
  if (r < 0) return -1;
  t.child[n][0] = static_cast<std::uint16_t>(l);
  t.child[n][1] = static_cast<std::uint16_t>(r);
  return n;
}

int MaxDepth(const DecodeTree& t, int root) {
  struct Item { std::uint16_t node, depth; };
  Item stack[kMaxNodes];
  int top = 0, best = 0;
  stack[top++] = {static_cast<std::uint16_t>(root), 0};
  while (top > 0) {
    const Item it = stack[--top];
    if (it.node < kFirstInternal) {
      if (it.depth > best) best = it.depth;
      continue;
    }
    const auto d = static_cast<std::uint16_t>(it.depth + 1);
    stack[top++] = {t.child[it.node][0], d};
    stack[top++] = {t.child[it.node][1], d};
  }
  return best;
}

void BuildTable(const DecodeTree& t, int root, int bits, TableEntry* table) {
  struct Item { std::uint16_t node, depth; std::uint32_t code; };
  Item stack[kMaxNodes];
  int top = 0;
  stack[top++] = {static_cast<std::uint16_t>(root), 0, 0};
  while (top > 0) {
    const Item it = stack[--top];
    if (it.node < kFirstInternal) {
      const std::uint32_t first = it.code << (bits - it.depth);
      const std::uint32_t count = 1u << (bits - it.depth);
      const TableEntry e{static_cast<std::uint8_t>(it.node), static_cast<std::uint8_t>(it.depth), 0};
      for (std::uint32_t k = 0; k < count; ++k) table[first + k] = e;
    } else if (it.depth == bits) {
      table[it.code] = TableEntry{0, 0, it.node};
    } else {
      const auto d = static_cast<std::uint16_t>(it.depth + 1);
      stack[top++] = {t.child[it.node][0], d, it.code << 1};
      stack[top++] = {t.child[it.node][1], d, (it.code << 1) | 1u};
    }
  }
}

// The next 64 bits from bit position pos; bytes past the end read as zero.
inline std::uint64_t PeekTail(const unsigned char* in, std::size_t length, std::uint64_t pos) {
  std::uint64_t v = 0;
  const std::size_t at = static_cast<std::size_t>(pos >> 3);
  for (std::size_t k = 0; k < 8; ++k) v = (v << 8) | (at + k < length ? in[at + k] : 0u);
  return v << (pos & 7);
}

}  // namespace

std::size_t EncodeBlockFast(const unsigned char* src, std::size_t n, unsigned char* coded) {
  std::uint32_t counts[256];
  CountBytes(src, n, counts);
  HuffmanTree tree;
  BuildTree(counts, tree);

  std::uint32_t code[256] = {};
  std::uint8_t length[256] = {};
  unsigned maxLength = 0;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] == 0) continue;
    std::uint32_t c = 0;
    unsigned len = 0;
    for (int node = v; tree.parent[node] != 0; ++len) {
      const int p = tree.parent[node];
      if (p < 0) c |= 1u << len;
      node = p > 0 ? p : -p;
    }
    // A block of at most 32767 bytes cannot give codes longer than 22 bits
    // (that would take Fibonacci-sized counts summing to more than 32767).
    code[v] = c;
    length[v] = static_cast<std::uint8_t>(len);
    if (len > maxLength) maxLength = len;
  }

  BitSink sink{coded};
  // The tree in pre-order, without recursion.
  std::uint16_t stack[kMaxNodes];
  int top = 0;
  stack[top++] = static_cast<std::uint16_t>(tree.root);
  while (top > 0) {
    const int node = stack[--top];
    if (node >= kFirstInternal) {
      sink.Add(1, 1);
      stack[top++] = tree.right[node];
      stack[top++] = tree.left[node];
    } else {
      sink.Add(static_cast<std::uint32_t>(node), 9);  // bit 0, then the value
    }
    sink.Drain();
  }

  if (tree.root < kFirstInternal)
    ;  // one byte value: every code is empty
  else if (maxLength <= 8)
    EncodeSymbols<4>(src, n, code, length, sink);
  else if (maxLength <= 16)
    EncodeSymbols<2>(src, n, code, length, sink);
  else
    EncodeSymbols<1>(src, n, code, length, sink);
  sink.Finish();
  return static_cast<std::size_t>(sink.out - coded);
}

bool DecodeBlockFast(const unsigned char* in, std::size_t codedLength, std::size_t symbols,
                     unsigned char* out) {
  const std::uint64_t limit = std::uint64_t{codedLength} * 8;
  std::uint64_t pos = 0;
  DecodeTree tree;
  const int root = ParseNode(in, limit, pos, tree);
  if (root < 0) return false;
  if (root < kFirstInternal) {
    std::memset(out, root, symbols);
    return true;
  }

  int bits = MaxDepth(tree, root);
  if (bits > kTableBits) bits = kTableBits;
  TableEntry table[1u << kTableBits];
  BuildTable(tree, root, bits, table);
  const unsigned shift = 64u - static_cast<unsigned>(bits);

  // A code longer than the table: the table gave the node after `bits` bits.
  auto finishLong = [&](int node) -> int {
    pos += static_cast<unsigned>(bits);
    while (node >= kFirstInternal) {
      if (pos >= limit) return -1;
      const unsigned bit = (in[pos >> 3] >> (7 - (pos & 7))) & 1u;
      ++pos;
      node = tree.child[node][bit];
    }
    return node;
  };

  std::size_t i = 0;
  // Main loop: 8 whole bytes can be loaded at the position, which gives at
  // least 57 valid bits, enough for 4 table lookups of at most 11 bits.
  while (i + 4 <= symbols && (pos >> 3) + 8 <= codedLength) {
    std::uint64_t acc = LoadBe64(in + (pos >> 3)) << (pos & 7);
    int j = 0;
    for (; j < 4; ++j) {
      const TableEntry e = table[acc >> shift];
      if (e.length == 0) break;
      out[i++] = e.symbol;
      acc <<= e.length;
      pos += e.length;
    }
    if (j < 4) {
      const int leaf = finishLong(table[acc >> shift].node);
      if (leaf < 0) return false;
      out[i++] = static_cast<unsigned char>(leaf);
    }
  }
  // The last symbols: bits past the end read as zero, and running into them
  // makes the block invalid.
  while (i < symbols) {
    if (pos > limit) return false;
    const std::uint64_t acc = PeekTail(in, codedLength, pos);
    const TableEntry e = table[acc >> shift];
    if (e.length != 0) {
      out[i++] = e.symbol;
      pos += e.length;
    } else {
      const int leaf = finishLong(e.node);
      if (leaf < 0) return false;
      out[i++] = static_cast<unsigned char>(leaf);
    }
  }
  return pos <= limit;
}

}  // namespace bk::ecd
