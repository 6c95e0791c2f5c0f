// The file codecs code and decode batches of blocks on two threads: their
// output must be what coding block after block gives, for every size around
// block and batch bounds, and a damaged file must fail after exactly the
// bytes a block-by-block decoder writes.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "codec/ecd.h"
#include "codec/ecd_parallel.h"
#include "codec/huffman.h"
#include "common/byte_order.h"
#include "support/portable_fixtures.h"

namespace {

using bk::ecd::kBlockMax;
using bk::test::Bytes;
using bk::test::ReadBytes;
using bk::test::WriteBytes;

// Text, random and one-value stretches, so that blocks take different times.
Bytes Mixed(std::size_t n) {
  Bytes data;
  const Bytes text = bk::test::TextBytes(50000), noise = bk::test::RandomBytes(30000, 5);
  for (std::size_t part = 0; data.size() < n; ++part) {
    const Bytes& from = part % 3 == 0 ? text : noise;
    if (part % 3 == 2)
      data.insert(data.end(), 20000, static_cast<unsigned char>(part));
    else
      data.insert(data.end(), from.begin(), from.end());
  }
  data.resize(n);
  return data;
}

// The data area of an encoded file as the memory encoder codes it.
Bytes MemoryBlocks(const Bytes& plain) {
  std::uint32_t capacity = static_cast<std::uint32_t>(plain.size() * 2 + 1024);
  Bytes out(capacity);
  out.resize(vskEncodeMemory(plain.data(), static_cast<std::uint32_t>(plain.size()), out.data(), &capacity));
  return out;
}

class EcdBatch : public ::testing::Test {
 protected:
  bk::test::ScratchDir dir;
  bk::test::LogCapture log;
  std::string in = dir.File("in"), enc = dir.File("in.ecd"), out = dir.File("out");
};

TEST_F(EcdBatch, FilesAroundBlockAndBatchBoundsEncodeAsTheMemoryEncoderCodes) {
  std::vector<std::size_t> sizes = {1, 100};
  for (std::size_t blocks : {1u, 7u, 8u, 9u, 16u, 17u, 18u})
    for (int d : {-1, 0, 1}) sizes.push_back(blocks * kBlockMax + static_cast<std::size_t>(d));
  for (std::size_t size : sizes) {
    const Bytes plain = Mixed(size);
    WriteBytes(in, plain);
    for (int kind : {1, 0}) {
      ASSERT_EQ(vskEcdCtrlEncodeFile(in.c_str(), enc.c_str(), 0, kind), 0) << size;
      const Bytes image = ReadBytes(enc);
      ASSERT_GE(image.size(), kEcdHeadSize);
      EXPECT_EQ(image[17], kind);
      const Bytes data(image.begin() + kEcdHeadSize, image.end());
      EXPECT_EQ(data, kind == 1 ? MemoryBlocks(plain) : plain) << "kind " << kind << " size " << size;
    }
    ASSERT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), out.c_str()), kEcdNotCompressed) << size;
    ASSERT_EQ(vskEcdCtrlEncodeFile(in.c_str(), enc.c_str(), 0, 1), 0);
    ASSERT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), out.c_str()), 1) << size;
    EXPECT_EQ(ReadBytes(out), plain) << size;
  }
}

TEST_F(EcdBatch, DamageInAnyBlockFailsAfterTheBytesBeforeIt) {
  const std::size_t blocks = 19;
  const Bytes plain = Mixed(blocks * kBlockMax - 10);
  WriteBytes(in, plain);
  ASSERT_EQ(vskEcdCtrlEncodeFile(in.c_str(), enc.c_str(), 0, 1), 0);
  const Bytes image = ReadBytes(enc);
  std::vector<std::size_t> starts;
  for (std::size_t at = kEcdHeadSize; at < image.size(); at += 4 + bk::LoadBe16(&image[at + 2])) starts.push_back(at);
  ASSERT_EQ(starts.size(), blocks);

  enum Damage { kZeroWord, kCodesCut, kFileCut, kWordTooLarge };
  for (std::size_t k : {0u, 1u, 6u, 7u, 8u, 9u, 15u, 16u, 17u, 18u}) {
    for (Damage damage : {kZeroWord, kCodesCut, kFileCut, kWordTooLarge}) {
      Bytes bad = image;
      const std::size_t at = starts[k];
      if (damage == kZeroWord) bk::StoreBe16(&bad[at], 0);
      if (damage == kWordTooLarge) bk::StoreBe16(&bad[at], 0x8001);
      if (damage == kCodesCut) {
        // Coded bytes that end before the block's last code; the block after
        // it is read from the wrong place and never reached.
        bk::StoreBe16(&bad[at + 2], 40);
      }
      if (damage == kFileCut) bad.resize(at + 3);
      WriteBytes(enc, bad);
      std::remove(out.c_str());
      const int rc = vskEcdCtrlDecodeFile(enc.c_str(), out.c_str());
      Bytes memory;
      const int memoryRc = bk::ecd::DecodeImage(bad.data(), bad.size(), &memory, nullptr);
      const std::string what = "block " + std::to_string(k) + " damage " + std::to_string(damage);
      EXPECT_LT(rc, 0) << what;
      EXPECT_EQ(rc, memoryRc) << what;
      EXPECT_EQ(rc, damage == kFileCut ? kEcdIoError : kEcdBadBlock) << what;
      EXPECT_EQ(ReadBytes(out), memory) << what;
      EXPECT_EQ(memory, Bytes(plain.begin(), plain.begin() + static_cast<long>(k * kBlockMax))) << what;
    }
  }
  EXPECT_TRUE(log.Has("ecd|vskDecodeMemory Error on EcdCtrlDecodeFile"));
  EXPECT_TRUE(log.Has("ecd|_read4 Error on EcdCtrlDecodeFile"));
}

TEST(ParallelBlocks, EveryIndexRunsOnceInEveryBatch) {
  bk::ecd::ParallelBlocks threads;
  for (std::size_t count : {0u, 1u, 2u, 3u, 8u, 9u, 100u}) {
    for (int repeat = 0; repeat < 50; ++repeat) {
      std::vector<std::atomic<int>> calls(count);
      std::vector<std::size_t> written(count, 0);  // plain writes, each by one thread
      threads.Run(count, [&](std::size_t i) {
        calls[i].fetch_add(1);
        written[i] = i + 1;
      });
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(calls[i].load(), 1) << count << " " << i;
        ASSERT_EQ(written[i], i + 1);
      }
    }
  }
}

}  // namespace
