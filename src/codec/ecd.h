#pragma once
// Encoded files: the container that wraps a resource archive on disk, and its
// two codecs (the Huffman control codec and zlib).
//
// Layout (numbers big-endian):
//   0   16     magic number: check value, seed 1, seed 2, seed 3 (32 bits each)
//   16  2 x n  option words (group in the high byte, value in the low byte),
//              the last one of group 0xFF
//   ..         data area, as the compression kind says:
//              kind 0  the plain bytes (copied out only with pass-through on)
//              kind 1  control-codec blocks: block word (0x8000 = 32767 bytes
//                      and another block follows; else the byte count of the
//                      last block), coded length C, C coded bytes
//              kind 5  records: stream length L (0 ends the chain), one zlib
//                      stream of one chunk of at most 32767 bytes
// Option groups: 0x00 compression kind (0, 1, 5), 0x80 pass-through (0 off,
// 2 on), 0xFF end; other groups are skipped; a later word of a group wins.
//
// Results: encoders 0 for success, decoders 1; failures are negative.
// One encode or decode may run at a time in a process (shared work area and
// magic-number storage).
#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr int kEcdEncodeOk = 0;
inline constexpr int kEcdDecodeOk = 1;
inline constexpr int kEcdInvalid = -1;         // option info invalid; out of memory; compression failed
inline constexpr int kEcdNotCompressed = -2;   // kind 0 without pass-through
inline constexpr int kEcdBadMagic = -3;
inline constexpr int kEcdBadBlock = -4;        // a block or stream cannot be decoded
inline constexpr int kEcdIoError = -10;
inline constexpr int kEcdOutputOpenError = -51;  // control encoder: the output cannot be opened

inline constexpr int kEcdKindNone = 0;
inline constexpr int kEcdKindControl = 1;
inline constexpr int kEcdKindZlib = 5;

inline constexpr std::size_t kEcdMagicSize = 16;
inline constexpr std::size_t kEcdHeadSize = 28;  // magic number and the six option words encoders write

// Chooses the encoder by kind: 0 and 1 the control encoder, 5 zlib; any other
// kind writes nothing and returns 0.
int vskEcdEncodeFile(const char* inPath, const char* outPath, int flag, int kind);
// Kind 1 (Huffman blocks) or 0 (stored). 0, -10 input or write failure,
// -51 output cannot be opened, -1 out of memory. `flag` is ignored.
int vskEcdCtrlEncodeFile(const char* inPath, const char* outPath, int flag, int kind);
// Any kind. 1, or -1 (option info), -2, -3, -4, -10, or the zlib decoder's result.
int vskEcdCtrlDecodeFile(const char* encodedPath, const char* outPath);
// 0, -1 compression failure or out of memory, -10 I/O failure.
int vskEcdZLIBEncodeFile(const char* inPath, const char* outPath, int flag, int kind);
// Decodes the data area starting at dataStart. 1, -1, -4, -10. `flag` is ignored.
int vskEcdZLIBDecodeFile(const char* encodedPath, const char* outPath, int flag,
                         std::int64_t dataStart);

// 1 when the four values (host order) form a valid magic number, else 0.
int EcdCheckMagicNum(std::uint32_t check, std::uint32_t seed1, std::uint32_t seed2,
                     std::uint32_t seed3);
// A new magic number for `time` (seconds since 1970; 0 = now), 16 bytes in
// network order, valid until the next call.
const unsigned char* EcdMakeMagicNum(std::int64_t time);

// Codes srcLength bytes into control-codec blocks. *dstCapacity is the
// capacity of dst on entry; if the blocks do not all fit, the leading whole
// blocks that fit are written, *dstCapacity is set to the size needed and the
// result is 0. Otherwise the result is the number of bytes written.
std::uint32_t vskEncodeMemory(const unsigned char* src, std::uint32_t srcLength, unsigned char* dst,
                              std::uint32_t* dstCapacity);
// Decodes the block at *blockPosition into out (32767 bytes). The block must
// be readable for its 4 header bytes plus its coded length. Returns the number
// of bytes decoded, 0 for an undecodable block. *blockPosition then points to
// the next block when the block word was 0x8000, and is null otherwise.
std::uint32_t vskDecodeMemory(unsigned char* out, const unsigned char** blockPosition);

namespace bk::ecd {

// Decoding option state; before any word: kind 0, pass-through off.
struct Options {
  int kind = 0;
  bool passThrough = false;
};
enum class OptionStep { kNext, kEnd, kBadKind, kBadPassThrough };
OptionStep ApplyOptionWord(std::uint16_t word, Options& options);

// The head of a control block: its symbol count (1..32767), coded length and
// whether another block follows. False for a block word of 0 or above 0x8000,
// or when fewer than 4 + C bytes are available.
struct BlockHeader {
  std::size_t symbols = 0;
  std::size_t coded = 0;
  bool more = false;
  std::size_t Size() const { return 4 + coded; }
};
bool ReadBlockHeader(const unsigned char* block, std::size_t available, BlockHeader& header);

// One block of `available` bytes at `block`: checks its head, then decodes.
// Returns the bytes decoded (0 for a bad block); *blockSize gets 4 + C and
// *more whether another block follows.
std::size_t DecodeBlock(const unsigned char* block, std::size_t available, unsigned char* out,
                        std::size_t* blockSize, bool* more);

// A chain of control blocks in memory, two blocks at a time where it can.
// Results as the file decoder: 1, -4 for a bad block, -10 when the data ends
// before the last block. `out` receives the plain bytes; *end (may be null)
// the offset after the last block read, *blocks the blocks decoded.
int DecodeBlocks(const unsigned char* data, std::size_t size, std::vector<unsigned char>& out,
                 std::size_t* end, std::size_t* blocks);

// What a whole encoded file in memory holds.
struct ImageInfo {
  bool magicValid = false;
  std::uint32_t check = 0, seed1 = 0, seed2 = 0, seed3 = 0;
  std::vector<std::uint16_t> optionWords;
  Options options;
  std::size_t dataOffset = 0;
  std::size_t blocks = 0;           // control blocks or zlib records read
  std::uint64_t plainSize = 0;      // bytes decoded
};

// Decodes an encoded file held in memory, with the results of
// vskEcdCtrlDecodeFile (1 on success); `out` receives the plain bytes. `info`
// (may be null) is filled as far as the image could be read. With `out` null
// the plain bytes are counted (info->plainSize) without being kept.
int DecodeImage(const unsigned char* data, std::size_t size, std::vector<unsigned char>* out,
                ImageInfo* info);

// Test seam: replaces zlib's compress2 (null restores it).
using CompressFunction = int (*)(unsigned char* dest, unsigned long* destLength,
                                 const unsigned char* source, unsigned long sourceLength, int level);
void SetCompressFunctionForTest(CompressFunction fn);

}  // namespace bk::ecd
