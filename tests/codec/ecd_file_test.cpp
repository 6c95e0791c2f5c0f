// Encoded files on disk: the container head, both codecs, result codes and
// log lines, and damaged or truncated files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "codec/ecd.h"
#include "common/byte_order.h"
#include "support/portable_fixtures.h"

namespace {

using bk::test::Bytes;
using bk::test::LogCapture;
using bk::test::ReadBytes;
using bk::test::ScratchDir;
using bk::test::WriteBytes;

const Bytes kOptionWords = {0x00, 0x01, 0x02, 0x01, 0x80, 0x00, 0x81, 0x20, 0x82, 0x01, 0xFF, 0x00};

Bytes Magic() {
  const unsigned char* m = EcdMakeMagicNum(1000000000);
  return Bytes(m, m + 16);
}

// An encoded file put together by hand: magic, option words, data area.
Bytes Image(const std::vector<std::uint16_t>& words, const Bytes& data) {
  Bytes image = Magic();
  for (std::uint16_t w : words) {
    image.push_back(static_cast<unsigned char>(w >> 8));
    image.push_back(static_cast<unsigned char>(w));
  }
  image.insert(image.end(), data.begin(), data.end());
  return image;
}

class EcdFile : public ::testing::Test {
 protected:
  ScratchDir dir;
  LogCapture log;
  std::string in = dir.File("in"), enc = dir.File("in.ecd"), out = dir.File("out");

  int Decode(const Bytes& image) {
    WriteBytes(enc, image);
    std::remove(out.c_str());
    return vskEcdCtrlDecodeFile(enc.c_str(), out.c_str());
  }
};

TEST(EcdMagic, KnownTimeGivesTheKnownBytes) {
  const Bytes expected = {0x00, 0x00, 0x95, 0x3B, 0x00, 0x00, 0x18, 0xB7,
                          0x00, 0x00, 0x38, 0x70, 0x00, 0x00, 0x6A, 0x40};
  EXPECT_EQ(Magic(), expected);
  EXPECT_EQ(EcdCheckMagicNum(38203, 6327, 14448, 27200), 1);
  for (std::uint32_t check : {38202u, 38204u, 0u, 0x0100953Bu}) EXPECT_EQ(EcdCheckMagicNum(check, 6327, 14448, 27200), 0);
}

TEST(EcdMagic, ZeroSeedsAreNeverAMagicNumber) {
  for (std::uint32_t check = 0; check < 65556; ++check) ASSERT_EQ(EcdCheckMagicNum(check, 0, 0, 0), 0);
}

TEST(EcdMagic, TimesPast2038StillGiveValidNumbers) {
  // 2^31 + 5 and a date in 2100: the seconds do not fit a signed 32-bit count.
  for (std::int64_t t : {std::int64_t{2147483653}, std::int64_t{4102444800}, std::int64_t{-5}}) {
    const unsigned char* m = EcdMakeMagicNum(t);
    const std::uint32_t s1 = bk::LoadBe32(m + 4), s2 = bk::LoadBe32(m + 8), s3 = bk::LoadBe32(m + 12);
    auto residue = [](std::int64_t v, std::int64_t mod) {
      const std::int64_t r = ((v % mod) + mod) % mod;
      return static_cast<std::uint32_t>(r == 0 ? mod : r);
    };
    EXPECT_EQ(s1, residue(t, 171) * 171 % 30269) << t;
    EXPECT_EQ(s2, residue(t, 172) * 172 % 30307) << t;
    EXPECT_EQ(s3, residue(t, 170) * 170 % 30323) << t;
    EXPECT_EQ(EcdCheckMagicNum(bk::LoadBe32(m), s1, s2, s3), 1) << t;
  }
  // The current time works as well.
  const unsigned char* now = EcdMakeMagicNum(0);
  EXPECT_EQ(EcdCheckMagicNum(bk::LoadBe32(now), bk::LoadBe32(now + 4), bk::LoadBe32(now + 8), bk::LoadBe32(now + 12)), 1);
}

TEST_F(EcdFile, FourBytesEncodeToTheDocumentedFile) {
  WriteBytes(in, {'a', 'a', 'a', 'b'});
  ASSERT_EQ(vskEcdEncodeFile(in.c_str(), enc.c_str(), 0, 1), 0);
  const Bytes image = ReadBytes(enc);
  ASSERT_EQ(image.size(), 35u);
  EXPECT_EQ(EcdCheckMagicNum(bk::LoadBe32(&image[0]), bk::LoadBe32(&image[4]), bk::LoadBe32(&image[8]),
                             bk::LoadBe32(&image[12])), 1);
  EXPECT_EQ(Bytes(image.begin() + 16, image.begin() + 28), kOptionWords);
  EXPECT_EQ(Bytes(image.begin() + 28, image.end()), (Bytes{0x00, 0x04, 0x00, 0x03, 0x98, 0x8C, 0x3C}));
  ASSERT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), out.c_str()), 1);
  EXPECT_EQ(ReadBytes(out), (Bytes{'a', 'a', 'a', 'b'}));
}

TEST_F(EcdFile, RoundTripsAtBlockBoundariesWithBothCodecs) {
  for (int kind : {1, 5}) {
    for (std::size_t size : {1u, 32767u, 32768u, 65534u, 65535u, 200000u}) {
      const Bytes plain = size > 100000 ? bk::test::RandomBytes(size, 3) : bk::test::TextBytes(size);
      WriteBytes(in, plain);
      ASSERT_EQ(vskEcdEncodeFile(in.c_str(), enc.c_str(), 0, kind), 0) << kind << " " << size;
      ASSERT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), out.c_str()), 1) << kind << " " << size;
      EXPECT_EQ(ReadBytes(out), plain) << kind << " " << size;
      Bytes memory;
      const Bytes image = ReadBytes(enc);
      EXPECT_EQ(bk::ecd::DecodeImage(image.data(), image.size(), &memory, nullptr), 1);
      EXPECT_EQ(memory, plain) << kind << " " << size;
    }
  }
}

TEST_F(EcdFile, ControlBlocksOfAFileCarryTheRightBlockWords) {
  WriteBytes(in, Bytes(65535, 'q'));
  ASSERT_EQ(vskEcdCtrlEncodeFile(in.c_str(), enc.c_str(), 0, 1), 0);
  // Three one-value blocks of 2 coded bytes each.
  const Bytes image = ReadBytes(enc);
  EXPECT_EQ(Bytes(image.begin() + 28, image.end()),
            (Bytes{0x80, 0x00, 0x00, 0x02, 0x38, 0x80, 0x80, 0x00, 0x00, 0x02, 0x38, 0x80,
                   0x00, 0x01, 0x00, 0x02, 0x38, 0x80}));
}

TEST_F(EcdFile, EmptyInputGivesTheHeadOnlyAndDoesNotDecode) {
  WriteBytes(in, {});
  ASSERT_EQ(vskEcdCtrlEncodeFile(in.c_str(), enc.c_str(), 0, 1), 0);
  EXPECT_EQ(ReadBytes(enc).size(), 28u);
  EXPECT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), out.c_str()), -10);
  EXPECT_TRUE(log.Has("ecd|_read3 Error on EcdCtrlDecodeFile"));
}

TEST_F(EcdFile, StoredFilesNeedThePassThroughFlag) {
  const Bytes plain = bk::test::TextBytes(40000);
  WriteBytes(in, plain);
  ASSERT_EQ(vskEcdEncodeFile(in.c_str(), enc.c_str(), 0, 0), 0);
  Bytes image = ReadBytes(enc);
  ASSERT_EQ(image.size(), 28 + plain.size());
  EXPECT_EQ(image[17], 0x00);
  EXPECT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), out.c_str()), -2);
  EXPECT_FALSE(bk::test::Exists(out));
  image[20] = 0x80;
  image[21] = 0x02;  // third word: pass-through on
  EXPECT_EQ(Decode(image), 1);
  EXPECT_EQ(ReadBytes(out), plain);
}

TEST_F(EcdFile, OptionWordsOfOtherGroupsAreSkippedAndTheLastKindWins) {
  const Bytes block = {0x00, 0x04, 0x00, 0x03, 0x98, 0x8C, 0x3C};
  const struct {
    std::vector<std::uint16_t> words;
    int result;
  } cases[] = {
      {{0x0001, 0xFF00}, 1},
      {{0x0201, 0x8120, 0x0001, 0x8201, 0x1234, 0xFFFF}, 1},
      {{0x0000, 0x0005, 0x0001, 0xFF00}, 1},
      {{0x0001, 0x0000, 0xFF00}, -2},
      {{0x8002, 0x8000, 0xFF00}, -2},
      {{0x0003, 0xFF00}, -1},
      {{0x0001, 0x8001, 0xFF00}, -1},
      {{0x0001, 0x0201}, -10},  // no end word before the data runs out
  };
  for (const auto& c : cases) {
    Bytes image = Image(c.words, block);
    if (c.result == -10) image.resize(16 + 4);
    EXPECT_EQ(Decode(image), c.result) << c.words.size();
    if (c.result == 1) {
      EXPECT_EQ(ReadBytes(out), (Bytes{'a', 'a', 'a', 'b'}));
    }
    if (c.result != 1) {
      EXPECT_FALSE(bk::test::Exists(out));
    }
  }
  EXPECT_TRUE(log.Has("ecd|switch[opt] default on EcdCtrlDecodeFile"));
  EXPECT_TRUE(log.Has("ecd|switch[opt0x80] default on EcdCtrlDecodeFile"));
  EXPECT_TRUE(log.Has("ecd|_read[Opt] Error on EcdCtrlDecodeFile"));
}

TEST_F(EcdFile, WrongMagicNumbersAreRejected) {
  Bytes image = Image({0x0001, 0xFF00}, {0x00, 0x04, 0x00, 0x03, 0x98, 0x8C, 0x3C});
  image[3] ^= 1;
  EXPECT_EQ(Decode(image), -3);
  EXPECT_TRUE(log.Has("ecd|EcdCheckMagicNum Error on EcdCtrlDecodeFile"));
  Bytes zeros(40, 0);
  EXPECT_EQ(Decode(zeros), -3);
  EXPECT_EQ(Decode({}), -10);
  EXPECT_FALSE(bk::test::Exists(out));
}

TEST_F(EcdFile, EveryTruncationFailsCleanly) {
  // Two control blocks (32767 x 'z', then "tail") and two zlib records.
  Bytes plain(32767, 'z');
  for (char c : std::string("tail")) plain.push_back(static_cast<unsigned char>(c));
  for (int kind : {1, 5}) {
    WriteBytes(in, plain);
    ASSERT_EQ(vskEcdEncodeFile(in.c_str(), enc.c_str(), 0, kind), 0);
    const Bytes image = ReadBytes(enc);
    for (std::size_t cut = 0; cut < image.size(); ++cut) {
      const Bytes part(image.begin(), image.begin() + static_cast<long>(cut));
      const int rc = Decode(part);
      // A zlib chain cut exactly after a record reads as complete: the end
      // record is optional.
      bool complete = false;
      for (std::size_t at = 28; kind == 5 && at + 2 <= image.size(); at += 2 + bk::LoadBe16(&image[at]))
        complete = complete || cut == at;
      if (complete) {
        EXPECT_EQ(rc, 1) << kind << " cut " << cut;
      } else {
        EXPECT_LT(rc, 0) << kind << " cut " << cut;
      }
      Bytes memory;
      EXPECT_EQ(bk::ecd::DecodeImage(part.data(), part.size(), &memory, nullptr), rc) << kind << " cut " << cut;
    }
  }
}

TEST_F(EcdFile, DamagedBlocksFailWithMinusFour) {
  WriteBytes(in, bk::test::TextBytes(5000));
  ASSERT_EQ(vskEcdCtrlEncodeFile(in.c_str(), enc.c_str(), 0, 1), 0);
  Bytes image = ReadBytes(enc);
  Bytes zeroWord = image;
  zeroWord[28] = zeroWord[29] = 0;
  EXPECT_EQ(Decode(zeroWord), -4);
  EXPECT_TRUE(log.Has("ecd|vskDecodeMemory Error on EcdCtrlDecodeFile"));
  Bytes shortCodes = image;
  bk::StoreBe16(&shortCodes[30], 100);
  shortCodes.resize(28 + 4 + 100);
  EXPECT_EQ(Decode(shortCodes), -4);
}

TEST_F(EcdFile, IncompressibleInputGrowsTheBlockBuffer) {
  const Bytes plain = bk::test::RandomBytes(100000, 9);
  WriteBytes(in, plain);
  ASSERT_EQ(vskEcdCtrlEncodeFile(in.c_str(), enc.c_str(), 0, 1), 0);
  EXPECT_GT(ReadBytes(enc).size(), plain.size() + 28);
  ASSERT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), out.c_str()), 1);
  EXPECT_EQ(ReadBytes(out), plain);
}

TEST_F(EcdFile, MissingFilesAndUnknownKinds) {
  const std::string missing = dir.File("missing");
  EXPECT_EQ(vskEcdCtrlEncodeFile(missing.c_str(), enc.c_str(), 0, 1), -10);
  EXPECT_TRUE(log.Has("ecd|open error " + missing + " EcdCtrlEncodeFiley"));
  EXPECT_TRUE(log.HasPart("C library error occurred. Error 2, Info: _open : " + missing + " [client\\ecd\\EcdCtrl:"));
  EXPECT_EQ(vskEcdZLIBEncodeFile(missing.c_str(), enc.c_str(), 0, 5), -10);
  EXPECT_EQ(vskEcdCtrlDecodeFile(missing.c_str(), out.c_str()), -10);
  EXPECT_TRUE(log.Has("ecd|_open Error on EcdCtrlDecodeFile " + missing));

  WriteBytes(in, {'x'});
  const std::string noFolder = dir.File("no/such/folder");
  EXPECT_EQ(vskEcdCtrlEncodeFile(in.c_str(), noFolder.c_str(), 0, 1), -51);
  EXPECT_TRUE(log.Has("ecd|open error outh:-1 " + in + " EcdCtrlEncodeFiley"));
  EXPECT_EQ(vskEcdZLIBEncodeFile(in.c_str(), noFolder.c_str(), 0, 5), -10);
  EXPECT_TRUE(log.Has("ecd|open error outh:-1 " + in + " EcdZLIBEncodeFiley"));

  for (int kind : {-1, 2, 7}) {
    EXPECT_EQ(vskEcdEncodeFile(in.c_str(), enc.c_str(), 0, kind), 0);
  }
  EXPECT_FALSE(bk::test::Exists(enc));
}

TEST_F(EcdFile, FailuresAtTheEndOfAWriteOrInTheFirstReadAreNotSuccess) {
  // /dev/full takes the buffered bytes and fails when they are flushed at the
  // close: an encoded file that never reached the disk is no success.
  if (!bk::test::Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  WriteBytes(in, bk::test::TextBytes(100));
  EXPECT_EQ(vskEcdCtrlEncodeFile(in.c_str(), "/dev/full", 0, 1), -10);
  EXPECT_EQ(vskEcdZLIBEncodeFile(in.c_str(), "/dev/full", 0, 5), -10);
  for (int kind : {1, 5}) {
    ASSERT_EQ(vskEcdEncodeFile(in.c_str(), enc.c_str(), 0, kind), 0);
    EXPECT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), "/dev/full"), -10) << kind;
  }
  EXPECT_TRUE(log.HasPart("Info: _close : "));
  // A folder opens but cannot be read.
  const std::string folder = dir.File("");
  EXPECT_EQ(vskEcdCtrlEncodeFile(folder.c_str(), enc.c_str(), 0, 1), -10);
  EXPECT_TRUE(log.Has("ecd|_read Error on EcdCtrlEncodeFiley -1"));
}

TEST_F(EcdFile, NeverWritesOverItsOwnInput) {
  const Bytes plain = bk::test::TextBytes(1000);
  WriteBytes(in, plain);
  EXPECT_EQ(vskEcdCtrlEncodeFile(in.c_str(), in.c_str(), 0, 1), -51);
  EXPECT_EQ(vskEcdZLIBEncodeFile(in.c_str(), in.c_str(), 0, 5), -10);
  EXPECT_EQ(ReadBytes(in), plain);
  for (int kind : {1, 5}) {
    ASSERT_EQ(vskEcdEncodeFile(in.c_str(), enc.c_str(), 0, kind), 0);
    const Bytes image = ReadBytes(enc);
    const std::string sameFile = dir.File("./in.ecd");
    EXPECT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), sameFile.c_str()), -10);
    EXPECT_EQ(ReadBytes(enc), image);
  }
}

TEST_F(EcdFile, ZlibRecords) {
  WriteBytes(in, {});
  ASSERT_EQ(vskEcdZLIBEncodeFile(in.c_str(), enc.c_str(), 0, 5), 0);
  Bytes image = ReadBytes(enc);
  ASSERT_EQ(image.size(), 30u);
  EXPECT_EQ(image[17], 0x05);
  EXPECT_EQ(image[28], 0);
  EXPECT_EQ(image[29], 0);
  ASSERT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), out.c_str()), 1);
  EXPECT_TRUE(bk::test::Exists(out));
  EXPECT_TRUE(ReadBytes(out).empty());

  // 32768 bytes: a full chunk, then a record of one byte, then the end.
  const Bytes plain = bk::test::RandomBytes(32768, 4);
  WriteBytes(in, plain);
  ASSERT_EQ(vskEcdEncodeFile(in.c_str(), enc.c_str(), 0, 5), 0);
  image = ReadBytes(enc);
  const std::size_t first = bk::LoadBe16(&image[28]);
  EXPECT_GT(first, 32767u);  // random data grows, and the length still fits
  const std::size_t secondAt = 30 + first;
  const std::size_t second = bk::LoadBe16(&image[secondAt]);
  unsigned char one[4];
  uLongf produced = sizeof one;
  ASSERT_EQ(uncompress(one, &produced, &image[secondAt + 2], second), Z_OK);
  EXPECT_EQ(produced, 1u);
  EXPECT_EQ(one[0], plain.back());
  EXPECT_EQ(image.size(), secondAt + 2 + second + 2);
  // Without the end record it still decodes.
  image.resize(image.size() - 2);
  EXPECT_EQ(Decode(image), 1);
  EXPECT_EQ(ReadBytes(out), plain);
}

TEST_F(EcdFile, ZlibStreamThatInflatesPastAChunkIsRejected) {
  const Bytes big(40000, 'b');
  Bytes stream(compressBound(big.size()));
  uLongf length = stream.size();
  ASSERT_EQ(compress2(stream.data(), &length, big.data(), big.size(), 6), Z_OK);
  Bytes data(2);
  bk::StoreBe16(data.data(), static_cast<std::uint16_t>(length));
  data.insert(data.end(), stream.begin(), stream.begin() + static_cast<long>(length));
  data.push_back(0);
  data.push_back(0);
  EXPECT_EQ(Decode(Image({0x0005, 0xFF00}, data)), -4);
  EXPECT_TRUE(log.HasPart("Info: UnCompress Z_BUF_ERROR : code = -5 [client\\ecd\\EcdZlib:"));
  EXPECT_TRUE(log.Has("ecd|vskDecodeMemory Error on EcdZLIBDecodeFile"));
  Bytes garbage = {0x00, 0x03, 0x01, 0x02, 0x03};
  EXPECT_EQ(Decode(Image({0x0005, 0xFF00}, garbage)), -4);
  EXPECT_TRUE(log.HasPart("Info: UnCompress Z_DATA_ERROR : code = -3"));
}

int g_calls = 0;
int g_failWith = 0;
int g_failTimes = 0;
int FailingCompress(unsigned char* dest, unsigned long* destLength, const unsigned char* source,
                    unsigned long sourceLength, int level) {
  ++g_calls;
  if (g_failTimes-- > 0) return g_failWith;
  uLongf length = *destLength;
  const int rc = compress2(dest, &length, source, sourceLength, level);
  *destLength = length;
  return rc;
}

TEST_F(EcdFile, ZlibCompressionRetries) {
  const Bytes plain = bk::test::TextBytes(5000);
  WriteBytes(in, plain);
  const struct {
    int code, times, result, calls;
    const char* trace;
  } cases[] = {
      {Z_BUF_ERROR, 4, 0, 5, nullptr},
      {Z_MEM_ERROR, 2, 0, 3, nullptr},
      {Z_BUF_ERROR, 5, -1, 5, "Info: Compress Retry Z_BUF_ERROR : code = -5"},
      {Z_MEM_ERROR, 9, -1, 5, "Info: Compress Retry Z_MEM_ERROR : code = -4"},
      {Z_STREAM_ERROR, 1, -1, 1, "Info: Compress Z_STREAM_ERROR : code = -2"},
      {Z_VERSION_ERROR, 1, -1, 1, "Info: Compress Z_SYS_ERROR : code = -6"},
  };
  for (const auto& c : cases) {
    g_calls = 0;
    g_failWith = c.code;
    g_failTimes = c.times;
    bk::ecd::SetCompressFunctionForTest(FailingCompress);
    EXPECT_EQ(vskEcdZLIBEncodeFile(in.c_str(), enc.c_str(), 0, 5), c.result) << c.code;
    bk::ecd::SetCompressFunctionForTest(nullptr);
    EXPECT_EQ(g_calls, c.calls) << c.code;
    if (c.trace != nullptr) {
      EXPECT_TRUE(log.HasPart(c.trace)) << c.trace;
    }
    if (c.result == 0) {
      ASSERT_EQ(vskEcdCtrlDecodeFile(enc.c_str(), out.c_str()), 1);
      EXPECT_EQ(ReadBytes(out), plain);
    }
  }
}

TEST(EcdImage, InfoDescribesTheFile) {
  ScratchDir dir;
  const std::string in = dir.File("in"), enc = dir.File("enc");
  WriteBytes(in, bk::test::TextBytes(70000));
  ASSERT_EQ(vskEcdEncodeFile(in.c_str(), enc.c_str(), 0, 1), 0);
  const Bytes image = ReadBytes(enc);
  bk::ecd::ImageInfo info;
  ASSERT_EQ(bk::ecd::DecodeImage(image.data(), image.size(), nullptr, &info), 1);
  EXPECT_TRUE(info.magicValid);
  EXPECT_EQ(info.options.kind, 1);
  EXPECT_FALSE(info.options.passThrough);
  EXPECT_EQ(info.optionWords, (std::vector<std::uint16_t>{0x0001, 0x0201, 0x8000, 0x8120, 0x8201, 0xFF00}));
  EXPECT_EQ(info.dataOffset, 28u);
  EXPECT_EQ(info.blocks, 3u);
  EXPECT_EQ(info.plainSize, 70000u);
}

}  // namespace
