// Tree construction of the fast block encoder. Decoders depend only on the
// stored tree, but the encoded bytes depend on how it was built: this is the
// format's own construction, a binary min-heap of node numbers ordered by
// count, with its tie rules kept exactly.
//
// The byte values present are put at heap positions 1..k in ascending order of
// count (a stable radix sort, so equal counts stay in byte-value order; any
// order among equal counts gives a valid tree, and this one is ours). Then,
// while two or more entries remain: a = the top; the last entry moves to the
// top and is sifted down; b = the top; the new internal node p (count a + b)
// replaces the top and is sifted down; a becomes p's left child, b its right.
// Sifting takes the right child only when its count is strictly smaller than
// the left one's, and stops as soon as the moving entry's count is not above
// the child's: an internal node that ties with a leaf stays above it and is
// taken first. At most 256 leaves: a few microseconds a block.
#include <cstring>

#include "codec/huffman.h"

namespace bk::ecd {

namespace {

// Sift down from position 1 of heap[1..k]; counts as unsigned 32-bit numbers.
inline void SiftDown(std::uint16_t* heap, int k, const std::uint32_t* count) {
  const std::uint16_t x = heap[1];
  const std::uint32_t cx = count[x];
  int i = 1;
  for (int c = 2; c <= k; c = 2 * i) {
    std::uint32_t cc = count[heap[c]];
    if (c < k) {
      const std::uint32_t cr = count[heap[c + 1]];
      if (cc > cr) {
        ++c;
        cc = cr;
      }
    }
    if (cx <= cc) break;
    heap[i] = heap[c];
    i = c;
  }
  heap[i] = x;
}

}  // namespace

void BuildTree(const std::uint32_t counts[256], HuffmanTree& tree) {
  std::memcpy(tree.count, counts, 256 * sizeof(std::uint32_t));
  std::memset(tree.parent, 0, sizeof tree.parent);

  std::uint16_t sorted[256], scratch[256];
  int size = 0;
  std::uint32_t largest = 0;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] == 0) continue;
    scratch[size++] = static_cast<std::uint16_t>(v);
    if (counts[v] > largest) largest = counts[v];
  }
  std::memcpy(sorted, scratch, static_cast<std::size_t>(size) * sizeof sorted[0]);
  for (unsigned shift = 0; shift < 32 && (largest >> shift) != 0; shift += 8) {
    unsigned start[256] = {};
    for (int i = 0; i < size; ++i) ++start[(counts[sorted[i]] >> shift) & 0xFFu];
    unsigned sum = 0;
    for (unsigned& s : start) {
      const unsigned n = s;
      s = sum;
      sum += n;
    }
    for (int i = 0; i < size; ++i) scratch[start[(counts[sorted[i]] >> shift) & 0xFFu]++] = sorted[i];
    std::memcpy(sorted, scratch, static_cast<std::size_t>(size) * sizeof sorted[0]);
  }

  // heap[1..k]; a sorted array is a valid min-heap.
  std::uint16_t heap[257];
  std::memcpy(heap + 1, sorted, static_cast<std::size_t>(size) * sizeof heap[0]);
  int k = size;
  tree.root = size > 0 ? heap[1] : -1;
  tree.internalCount = 0;
  while (k >= 2) {
    const std::uint16_t a = heap[1];
    heap[1] = heap[k--];
    SiftDown(heap, k, tree.count);
    const std::uint16_t b = heap[1];
    const auto p = static_cast<std::uint16_t>(kFirstInternal + tree.internalCount++);
    tree.count[p] = tree.count[a] + tree.count[b];
    heap[1] = p;
    SiftDown(heap, k, tree.count);
    tree.parent[a] = static_cast<std::int16_t>(p);
    tree.parent[b] = static_cast<std::int16_t>(-p);
    tree.left[p] = a;
    tree.right[p] = b;
    tree.root = p;
  }
}

}  // namespace bk::ecd
