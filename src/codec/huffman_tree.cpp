// Tree construction shared by both block encoders, so that they agree bit for
// bit. Decoders depend only on the stored tree, never on how it was built.
#include <algorithm>
#include <cstring>

#include "codec/huffman.h"

namespace bk::ecd {

namespace {

// Moves the entry at position 1 down to its place. On equal counts the left
// child is taken; counts compare as unsigned 32-bit numbers.
void SiftDown(std::uint16_t* heap, int size, const std::uint32_t* count) {
  const std::uint16_t x = heap[1];
  int i = 1;
  for (;;) {
    int c = 2 * i;
    if (c > size) break;
    if (c < size && count[heap[c]] > count[heap[c + 1]]) ++c;
    if (count[x] <= count[heap[c]]) break;
    heap[i] = heap[c];
    i = c;
  }
  heap[i] = x;
}

}  // namespace

void BuildTree(const std::uint32_t counts[256], HuffmanTree& tree) {
  std::memset(tree.count, 0, sizeof tree.count);
  std::memset(tree.parent, 0, sizeof tree.parent);
  std::memcpy(tree.count, counts, 256 * sizeof(std::uint32_t));

  // A sorted array is already a valid min-heap (positions 1..size).
  std::uint16_t heap[kMaxNodes + 1];
  int size = 0;
  for (int v = 0; v < 256; ++v)
    if (counts[v] != 0) heap[++size] = static_cast<std::uint16_t>(v);
  std::stable_sort(heap + 1, heap + size + 1,
                   [&](std::uint16_t a, std::uint16_t b) { return counts[a] < counts[b]; });

  tree.root = heap[1];
  tree.internalCount = 0;
  while (size >= 2) {
    const std::uint16_t a = heap[1];
    heap[1] = heap[size--];
    SiftDown(heap, size, tree.count);
    const std::uint16_t b = heap[1];
    const auto p = static_cast<std::uint16_t>(kFirstInternal + tree.internalCount++);
    tree.count[p] = tree.count[a] + tree.count[b];
    heap[1] = p;
    SiftDown(heap, size, tree.count);
    tree.parent[a] = static_cast<std::int16_t>(p);
    tree.parent[b] = static_cast<std::int16_t>(-p);
    tree.left[p] = a;
    tree.right[p] = b;
    tree.root = p;
  }
}

}  // namespace bk::ecd
