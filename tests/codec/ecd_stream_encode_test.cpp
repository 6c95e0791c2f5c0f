// The streaming control encoder against the file encoder: for every input the
// two encoded files agree from offset 16 on (the magic number is new at every
// encoding), however the input is cut into pieces, and a refused output piece
// stops the stream.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/ecd.h"
#include "codec/ecd_stream_encode.h"
#include "support/portable_fixtures.h"

namespace {

using bk::test::Bytes;
using bk::test::RandomBytes;
using bk::test::ReadBytes;
using bk::test::ScratchDir;
using bk::test::TextBytes;
using bk::test::WriteBytes;

constexpr std::size_t kBlock = 32767;

class MemoryOutput : public bk::ecd::EncodedOutput {
 public:
  explicit MemoryOutput(long failAt = 0) : failAt_(failAt) {}
  bool Write(const void* data, std::size_t n) override {
    if (++calls == failAt_) return false;
    pieces.push_back(n);
    const auto* p = static_cast<const unsigned char*>(data);
    bytes.insert(bytes.end(), p, p + n);
    return true;
  }
  Bytes bytes;
  std::vector<std::size_t> pieces;
  long calls = 0;

 private:
  long failAt_;
};

Bytes FileEncoded(const Bytes& plain, int kind) {
  ScratchDir dir;
  WriteBytes(dir.File("in"), plain);
  EXPECT_EQ(vskEcdCtrlEncodeFile(dir.File("in").c_str(), dir.File("out").c_str(), 0, kind), kEcdEncodeOk);
  return ReadBytes(dir.File("out"));
}

Bytes StreamEncoded(const Bytes& plain, int kind, std::size_t step, std::size_t piece = 4096) {
  MemoryOutput output;
  bk::ecd::ControlStreamEncoder encoder(output, kind, piece);
  EXPECT_TRUE(encoder.Begin());
  for (std::size_t at = 0; at < plain.size(); at += step)
    EXPECT_TRUE(encoder.Write(plain.data() + at, std::min(step, plain.size() - at)));
  EXPECT_TRUE(encoder.Finish());
  for (std::size_t i = 0; i + 1 < output.pieces.size(); ++i) EXPECT_GE(output.pieces[i], piece);
  EXPECT_EQ(encoder.EncodedBytes(), output.bytes.size());
  EXPECT_EQ(encoder.PlainBytes(), plain.size());
  return output.bytes;
}

Bytes FromOffset16(const Bytes& b) { return b.size() < 16 ? Bytes() : Bytes(b.begin() + 16, b.end()); }

Bytes Structured(std::size_t n) {
  // Runs, text and a stretch of one value: blocks of very different codes.
  Bytes data = TextBytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 5000 < 700) data[i] = 0;
    if (i % 9000 > 8000) data[i] = static_cast<unsigned char>(i / 3);
  }
  return data;
}

TEST(EcdStream, MatchesTheFileEncoderForEverySizeUpToThreeBlocksAndOne) {
  const std::vector<std::size_t> sizes = {0, 1, 2, 100, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock - 1,
                                          2 * kBlock, 2 * kBlock + 1, 3 * kBlock, 3 * kBlock + 1};
  for (int kind : {kEcdKindControl, kEcdKindNone}) {
    for (std::size_t n : sizes) {
      for (const Bytes& plain : {RandomBytes(n, static_cast<std::uint32_t>(n + 7)), Structured(n), Bytes(n, 'A')}) {
        const Bytes reference = FromOffset16(FileEncoded(plain, kind));
        ASSERT_EQ(reference.size() >= 12, true);
        for (std::size_t step : {std::size_t{1} << 20, std::size_t{kBlock}, std::size_t{4096}, std::size_t{977}}) {
          if (step < 977 && n > 2 * kBlock) continue;
          EXPECT_EQ(FromOffset16(StreamEncoded(plain, kind, step)), reference)
              << "kind " << kind << " size " << n << " step " << step;
        }
      }
    }
  }
}

TEST(EcdStream, OneByteWritesAndLargePieces) {
  const Bytes plain = Structured(2 * kBlock + 5);
  const Bytes reference = FromOffset16(FileEncoded(plain, kEcdKindControl));
  EXPECT_EQ(FromOffset16(StreamEncoded(plain, kEcdKindControl, 1)), reference);
  EXPECT_EQ(FromOffset16(StreamEncoded(plain, kEcdKindControl, 70000, 256 * 1024)), reference);
}

TEST(EcdStream, TheStreamDecodesToItsInput) {
  const Bytes plain = RandomBytes(3 * kBlock + 1, 99);
  const Bytes encoded = StreamEncoded(plain, kEcdKindControl, 5000);
  std::vector<unsigned char> out;
  ASSERT_EQ(bk::ecd::DecodeImage(encoded.data(), encoded.size(), &out, nullptr), kEcdDecodeOk);
  EXPECT_EQ(Bytes(out.begin(), out.end()), plain);
}

TEST(EcdStream, ARefusedPieceStopsTheStream) {
  const Bytes plain = RandomBytes(10 * kBlock, 5);
  for (long failAt : {1L, 2L, 5L}) {
    MemoryOutput output(failAt);
    bk::ecd::ControlStreamEncoder encoder(output, kEcdKindControl, 4096);
    bool ok = encoder.Begin();
    for (std::size_t at = 0; ok && at < plain.size(); at += 8192) ok = encoder.Write(plain.data() + at, 8192);
    if (ok) ok = encoder.Finish();
    EXPECT_FALSE(ok) << failAt;
    EXPECT_TRUE(encoder.Failed());
    EXPECT_EQ(output.calls, failAt) << "nothing is passed on after the refused piece";
    EXPECT_FALSE(encoder.Write(plain.data(), 1));
  }
}

}  // namespace

namespace {

// Pieces and bytes a stream passes on, with blocks coded one by one or a
// batch at a time.
struct Passed {
  Bytes bytes;
  std::vector<std::size_t> pieces;
  bool operator==(const Passed&) const = default;
};

Passed Stream(const Bytes& plain, bool parallel, std::size_t step, std::size_t piece) {
  MemoryOutput output;
  bk::ecd::ControlStreamEncoder encoder(output, kEcdKindControl, piece);
  encoder.SetParallel(parallel);
  EXPECT_TRUE(encoder.Begin(1000000000));
  for (std::size_t at = 0; at < plain.size(); at += step)
    EXPECT_TRUE(encoder.Write(plain.data() + at, std::min(step, plain.size() - at)));
  EXPECT_TRUE(encoder.Finish());
  return Passed{output.bytes, output.pieces};
}

TEST(EcdStream, BatchesOnTwoThreadsPassOnTheSamePiecesAroundBatchBounds) {
  constexpr std::size_t kBatch = bk::ecd::ControlStreamEncoder::kBatchBlocks;
  std::vector<std::size_t> sizes = {0, 1, 5000};
  for (std::size_t blocks : {std::size_t{1}, kBatch - 1, kBatch, kBatch + 1, 2 * kBatch, 2 * kBatch + 1})
    for (std::size_t d : {kBlock - 1, kBlock, kBlock + 1}) sizes.push_back((blocks - 1) * kBlock + d);
  for (std::size_t n : sizes) {
    const Bytes plain = n % 2 ? Structured(n) : RandomBytes(n, static_cast<std::uint32_t>(n));
    for (std::size_t step : {std::size_t{kBlock}, std::size_t{70001}, std::size_t{4093}}) {
      for (std::size_t piece : {std::size_t{4096}, std::size_t{256 * 1024}}) {
        const Passed plainWay = Stream(plain, false, step, piece);
        EXPECT_TRUE(Stream(plain, true, step, piece) == plainWay) << n << " " << step << " " << piece;
      }
    }
  }
}

}  // namespace
