// Tree construction shared by both block encoders, so that they agree bit for
// bit. Decoders depend only on the stored tree, never on how it was built.
//
// The byte values are sorted by count (a stable radix sort, so equal counts
// stay in byte-value order), then the two nodes of smallest count are joined
// until one is left. Joined nodes arise in non-decreasing count order, so two
// queues (sorted leaves, joined nodes) replace a heap: same tree shape, in
// linear time and nearly without unpredictable branches. On equal counts the
// leaf is taken first.
#include <cstring>

#include "codec/huffman.h"

namespace bk::ecd {

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

  std::uint16_t joined[256];
  int leaf = 0, first = 0, last = 0;
  auto takeSmallest = [&]() -> std::uint16_t {
    if (leaf < size && (first == last || tree.count[sorted[leaf]] <= tree.count[joined[first]]))
      return sorted[leaf++];
    return joined[first++];
  };

  tree.root = size > 0 ? sorted[0] : -1;
  tree.internalCount = 0;
  for (int m = 1; m < size; ++m) {
    const std::uint16_t a = takeSmallest();
    const std::uint16_t b = takeSmallest();
    const auto p = static_cast<std::uint16_t>(kFirstInternal + tree.internalCount++);
    tree.count[p] = tree.count[a] + tree.count[b];
    tree.parent[a] = static_cast<std::int16_t>(p);
    tree.parent[b] = static_cast<std::int16_t>(-p);
    tree.left[p] = a;
    tree.right[p] = b;
    joined[last++] = p;
    tree.root = p;
  }
}

}  // namespace bk::ecd
