#pragma once
// The control codec's block coding: one Huffman code per block of at most
// 32767 plain bytes, stored as its tree followed by the codes.
//
// Coded bits are packed most-significant bit first, the last byte padded with
// zero bits. The tree comes first, in pre-order: an internal node is the bit 1,
// its left subtree, its right subtree; a leaf is the bit 0 and the 8-bit byte
// value. Each plain byte then follows as the path from the root to its leaf
// (0 = left, 1 = right); a tree made of one leaf gives empty codes.
//
// Two coders live here: the fast one (per-symbol code table and a 64-bit
// accumulator when encoding; a lookup table built from the stored tree when
// decoding, giving up to three codes a lookup), and a bit-by-bit reference
// coder kept for cross-checking. Both build the format's heap tree, each with
// a builder of its own, so both encoders must produce the same bytes.
#include <cstddef>
#include <cstdint>

namespace bk::ecd {

inline constexpr std::size_t kBlockMax = 32767;        // plain bytes per block
inline constexpr std::uint16_t kMoreBlocksWord = 0x8000;  // block word: full block, another follows
inline constexpr std::size_t kBlockHeaderSize = 4;     // block word, coded length
inline constexpr int kMaxNodes = 511;                  // 256 leaves + 255 internal nodes
inline constexpr int kFirstInternal = 256;
// A 32767-byte block codes to at most 32767 bytes of codes (a Huffman code is
// never longer in total than 8 bits a byte) plus a 2559-bit tree.
inline constexpr std::size_t kCodedMax = 65536;

// The code tree of one block. Nodes 0-255 are the byte values, 256.. the
// internal nodes in creation order.
struct HuffmanTree {
  int root = -1;
  int internalCount = 0;                 // internal nodes 256 .. 256 + internalCount - 1
  std::uint16_t left[kMaxNodes];         // children of internal nodes
  std::uint16_t right[kMaxNodes];
  std::int16_t parent[kMaxNodes];        // 0 root, +p left child of p, -p right child of p
  std::uint32_t count[kMaxNodes];
};

// Builds the tree for the counts of the 256 byte values (at least one
// non-zero): values sorted by ascending count (ties by value) into a 1-based
// min-heap, then joined as the format's heap joins them (huffman_tree.cpp):
// the first node taken becomes the left child, and ties are settled by the
// heap's positions (not "leaf first").
void BuildTree(const std::uint32_t counts[256], HuffmanTree& tree);

// Codes `n` bytes (1..kBlockMax) into `coded` (kCodedMax bytes); returns the
// number of coded bytes (without the 4-byte block header).
std::size_t EncodeBlockFast(const unsigned char* src, std::size_t n, unsigned char* coded);
std::size_t EncodeBlockReference(const unsigned char* src, std::size_t n, unsigned char* coded);

// Decodes `symbols` (1..kBlockMax) bytes from `codedLength` coded bytes into
// out. False when the coded bits are not a valid block: the tree needs more
// than 255 internal nodes, or the bits run out before the tree or the last
// symbol is complete. Never reads past coded + codedLength nor writes past
// out + symbols.
bool DecodeBlockFast(const unsigned char* coded, std::size_t codedLength, std::size_t symbols,
                     unsigned char* out);
bool DecodeBlockReference(const unsigned char* coded, std::size_t codedLength,
                          std::size_t symbols, unsigned char* out);
// Two independent blocks at once (faster than one after the other); each
// result as DecodeBlockFast would give it.
void DecodeTwoBlocksFast(const unsigned char* coded1, std::size_t codedLength1, std::size_t symbols1,
                         unsigned char* out1, bool* ok1, const unsigned char* coded2,
                         std::size_t codedLength2, std::size_t symbols2, unsigned char* out2, bool* ok2);

}  // namespace bk::ecd
