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

// A heap entry: the node's count in the high 32 bits, its number in the low
// ones, so that a step down the heap loads one value per child. Only the
// counts are ever compared.
using Entry = std::uint64_t;
inline std::uint32_t CountOf(Entry e) { return static_cast<std::uint32_t>(e >> 32); }
inline Entry MakeEntry(std::uint32_t count, std::uint16_t node) { return (Entry{count} << 32) | node; }
inline std::uint16_t NodeOf(Entry e) { return static_cast<std::uint16_t>(e); }

// Positions past the last entry hold this: a child that is not there is
// never taken (its count is not below any) and never moves up.
constexpr Entry kNone = ~Entry{0};
// heap[1..k], then kNone up to the largest grandchild position read.
constexpr int kHeapSlots = 2 * 256 + 4;

// Sift down from position 1 of heap[1..k]; counts as unsigned 32-bit numbers.
// Without data-dependent branches: the walk always follows the smaller child
// to the bottom, and the entries move up only until the moving entry's count
// is no longer above the child's (from then on `done` keeps every store a
// no-op). The comparisons are the format's: the right child only when its
// count is strictly smaller, stop when the moving count is not above it. The
// grandchildren are loaded a step ahead, so that a step waits for a compare
// and not for memory.
inline void SiftDown(Entry* heap, int k) {
  const Entry x = heap[1];
  const std::uint32_t cx = CountOf(x);
  int i = 1;
  unsigned done = 0;
  Entry l = heap[2], r = heap[3];
  for (int c = 2; c <= k;) {
    const Entry g0 = heap[2 * c], g1 = heap[2 * c + 1], g2 = heap[2 * c + 2], g3 = heap[2 * c + 3];
    const bool right = CountOf(r) < CountOf(l);
    const int take = right ? c + 1 : c;
    const Entry up = right ? r : l;
    const unsigned move = (done ^ 1u) & static_cast<unsigned>(cx > CountOf(up));
    heap[i] = move ? up : heap[i];
    i = move ? take : i;
    done |= move ^ 1u;
    l = right ? g2 : g0;
    r = right ? g3 : g1;
    c = 2 * take;
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
  Entry heap[kHeapSlots];
  for (int i = 0; i < size; ++i) heap[i + 1] = MakeEntry(counts[sorted[i]], sorted[i]);
  for (int i = size + 1; i < kHeapSlots; ++i) heap[i] = kNone;
  int k = size;
  tree.root = size > 0 ? sorted[0] : -1;
  tree.internalCount = 0;
  while (k >= 2) {
    const Entry ea = heap[1];
    heap[1] = heap[k];
    heap[k--] = kNone;
    SiftDown(heap, k);
    const Entry eb = heap[1];
    const std::uint16_t a = NodeOf(ea), b = NodeOf(eb);
    const auto p = static_cast<std::uint16_t>(kFirstInternal + tree.internalCount++);
    tree.count[p] = CountOf(ea) + CountOf(eb);
    heap[1] = MakeEntry(tree.count[p], p);
    SiftDown(heap, k);
    tree.parent[a] = static_cast<std::int16_t>(p);
    tree.parent[b] = static_cast<std::int16_t>(-p);
    tree.left[p] = a;
    tree.right[p] = b;
    tree.root = p;
  }
}

}  // namespace bk::ecd
