// The bit-by-bit block coder: a direct, slow rendering of the format, kept to
// cross-check the fast coder in tests and in the fuzzer.
#include <cstring>

#include "codec/huffman.h"

namespace bk::ecd {

namespace {

// Appends values of up to 8 bits, most-significant bit first.
struct BitWriter {
  unsigned char* out;
  std::size_t length = 0;
  unsigned pending = 0;
  int freeBits = 8;

  void Put(unsigned value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      pending = (pending << 1) | ((value >> i) & 1u);
      if (--freeBits == 0) {
        out[length++] = static_cast<unsigned char>(pending);
        pending = 0;
        freeBits = 8;
      }
    }
  }
  void Flush() {
    if (freeBits < 8) out[length++] = static_cast<unsigned char>(pending << freeBits);
    pending = 0;
    freeBits = 8;
  }
};

// The code tree built step by step as the format describes it, with nothing
// shared with the fast encoder's builder: counts, a parent table (0 root, +p
// left child of p, -p right child of p), child tables, and a 1-based min-heap
// of node numbers.
struct PlainTree {
  std::uint32_t count[kMaxNodes] = {};
  int parent[kMaxNodes] = {};
  int left[kMaxNodes] = {};
  int right[kMaxNodes] = {};
  int heap[kMaxNodes + 1] = {};
  int k = 0;
  int root = -1;

  void SiftDown() {
    const int x = heap[1];
    int i = 1;
    for (;;) {
      int c = 2 * i;
      if (c > k) break;
      if (c < k && count[heap[c]] > count[heap[c + 1]]) c = c + 1;  // equal: the left child
      if (count[x] <= count[heap[c]]) break;
      heap[i] = heap[c];
      i = c;
    }
    heap[i] = x;
  }

  void Build(const unsigned char* src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) ++count[src[i]];
    // Byte values present, by ascending count; equal counts in value order
    // (an insertion sort that moves an entry only past larger counts).
    for (int v = 0; v < 256; ++v) {
      if (count[v] == 0) continue;
      int at = ++k;
      while (at > 1 && count[heap[at - 1]] > count[v]) {
        heap[at] = heap[at - 1];
        --at;
      }
      heap[at] = v;
    }
    root = heap[1];
    int next = kFirstInternal;
    while (k >= 2) {
      const int a = heap[1];
      heap[1] = heap[k];
      --k;
      SiftDown();
      const int b = heap[1];
      const int p = next++;
      count[p] = count[a] + count[b];
      heap[1] = p;
      SiftDown();
      parent[a] = p;
      parent[b] = -p;
      left[p] = a;
      right[p] = b;
      root = p;
    }
  }
};

void WriteTree(const PlainTree& tree, int node, BitWriter& w) {
  if (node >= kFirstInternal) {
    w.Put(1, 1);
    WriteTree(tree, tree.left[node], w);
    WriteTree(tree, tree.right[node], w);
  } else {
    w.Put(0, 1);
    w.Put(static_cast<unsigned>(node), 8);
  }
}

// Reads values of up to 8 bits; fails instead of reading past the end.
struct BitReader {
  const unsigned char* in;
  std::size_t length;
  std::size_t position = 0;
  unsigned current = 0;
  int bitsLeft = 0;

  bool Get(int bits, unsigned& value) {
    value = 0;
    for (int i = 0; i < bits; ++i) {
      if (bitsLeft == 0) {
        if (position >= length) return false;
        current = in[position++];
        bitsLeft = 8;
      }
      --bitsLeft;
      value = (value << 1) | ((current >> bitsLeft) & 1u);
    }
    return true;
  }
};

struct TreeReader {
  BitReader& bits;
  std::uint16_t left[kMaxNodes];
  std::uint16_t right[kMaxNodes];
  int next = kFirstInternal;

  // A node number, or -1 for a tree that is cut short or too large.
  int Node() {
    unsigned bit;
    if (!bits.Get(1, bit)) return -1;
    if (bit == 0) {
      unsigned value;
      return bits.Get(8, value) ? static_cast<int>(value) : -1;
    }
    if (next >= kMaxNodes) return -1;
    const int n = next++;
    const int l = Node();
    if (l < 0) return -1;
    const int r = Node();
    if (r < 0) return -1;
    left[n] = static_cast<std::uint16_t>(l);
    right[n] = static_cast<std::uint16_t>(r);
    return n;
  }
};

}  // namespace

std::size_t EncodeBlockReference(const unsigned char* src, std::size_t n, unsigned char* coded) {
  PlainTree tree;
  tree.Build(src, n);

  BitWriter w{coded};
  WriteTree(tree, tree.root, w);
  for (std::size_t i = 0; i < n; ++i) {
    // Leaf to root gives the code backwards; written root first.
    int path[kMaxNodes];
    int depth = 0;
    for (int node = src[i]; tree.parent[node] != 0;) {
      const int p = tree.parent[node];
      path[depth++] = p > 0 ? 0 : 1;
      node = p > 0 ? p : -p;
    }
    while (depth > 0) w.Put(static_cast<unsigned>(path[--depth]), 1);
  }
  w.Flush();
  return w.length;
}

bool DecodeBlockReference(const unsigned char* coded, std::size_t codedLength,
                          std::size_t symbols, unsigned char* out) {
  BitReader bits{coded, codedLength};
  TreeReader tree{bits, {}, {}};
  const int root = tree.Node();
  if (root < 0) return false;
  for (std::size_t i = 0; i < symbols; ++i) {
    int node = root;
    while (node >= kFirstInternal) {
      unsigned bit;
      if (!bits.Get(1, bit)) return false;
      node = bit ? tree.right[node] : tree.left[node];
    }
    out[i] = static_cast<unsigned char>(node);
  }
  return true;
}

}  // namespace bk::ecd
