// The stream decoder against the file decoder: on sound and damaged encoded
// files of every kind, read in pieces of every size, it gives the same result,
// the same bytes before a failure and the same log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "codec/ecd.h"
#include "codec/ecd_stream_decode.h"
#include "support/portable_fixtures.h"

namespace {

using bk::test::Bytes;
using bk::test::LogCapture;
using bk::test::ReadBytes;
using bk::test::ScratchDir;
using bk::test::WriteBytes;

// Encoded bytes from memory, handed out in pieces of at most `piece` bytes
// (a short read only at the end), or failing from byte `failAt` on.
class MemoryInput : public bk::ecd::ByteInput {
 public:
  MemoryInput(const Bytes& data, std::size_t piece, std::size_t failAt = SIZE_MAX)
      : data_(data), piece_(piece), failAt_(failAt) {}
  long long Read(void* buffer, std::size_t n) override {
    auto* to = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < n && at_ < data_.size()) {
      if (at_ >= failAt_) return -1;
      const std::size_t take = std::min({n - done, piece_, data_.size() - at_, failAt_ - at_});
      std::copy(data_.begin() + at_, data_.begin() + at_ + take, to + done);
      at_ += take;
      done += take;
    }
    return static_cast<long long>(done);
  }

 private:
  const Bytes& data_;
  std::size_t piece_, failAt_, at_ = 0;
};

struct Outcome {
  int result;
  Bytes plain;
  std::vector<std::string> lines;  // without the failed-call records (their line numbers differ)
};

std::vector<std::string> SummaryLines(const LogCapture& log) {
  std::vector<std::string> lines;
  for (const std::string& line : log.lines)
    if (line.find("client\\ecd\\") == std::string::npos) lines.push_back(line);
  return lines;
}

Outcome ByFile(const ScratchDir& dir, const Bytes& image) {
  const std::string in = dir.File("enc"), out = dir.File("out");
  WriteBytes(in, image);
  std::remove(out.c_str());
  LogCapture log;
  Outcome o;
  o.result = vskEcdCtrlDecodeFile(in.c_str(), out.c_str());
  o.plain = ReadBytes(out);
  o.lines = SummaryLines(log);
  return o;
}

Outcome ByStream(const Bytes& image, std::size_t inputPiece, std::size_t readPiece, const std::string& name) {
  LogCapture log;
  MemoryInput input(image, inputPiece);
  bk::ecd::StreamDecoder d(input, name.c_str(), image.size());
  Outcome o;
  o.result = d.Begin();
  if (o.result == kEcdDecodeOk) {
    Bytes buffer(readPiece);
    std::size_t n;
    while ((n = d.Read(buffer.data(), buffer.size())) > 0) o.plain.insert(o.plain.end(), buffer.begin(), buffer.begin() + n);
    o.result = d.Status();
    EXPECT_EQ(d.Finish(), o.result);
    EXPECT_EQ(d.Produced(), o.plain.size());
  }
  o.lines = SummaryLines(log);
  return o;
}

Bytes EncodeWith(const ScratchDir& dir, const Bytes& plain, int kind) {
  const std::string in = dir.File("plain"), out = dir.File("encoded");
  WriteBytes(in, plain);
  EXPECT_EQ(vskEcdEncodeFile(in.c_str(), out.c_str(), 0, kind), kEcdEncodeOk);
  return ReadBytes(out);
}

// Kind 0 with pass-through on, by hand: magic, option words, the bytes.
Bytes PassThrough(const Bytes& plain) {
  const unsigned char* m = EcdMakeMagicNum(1000000000);
  Bytes image(m, m + 16);
  for (std::uint16_t w : {std::uint16_t{0x0000}, std::uint16_t{0x8002}, std::uint16_t{0xFF00}}) {
    image.push_back(static_cast<unsigned char>(w >> 8));
    image.push_back(static_cast<unsigned char>(w));
  }
  image.insert(image.end(), plain.begin(), plain.end());
  return image;
}

void ExpectSame(const ScratchDir& dir, const Bytes& image, const std::string& what) {
  const Outcome f = ByFile(dir, image);
  const std::string name = dir.File("enc");
  for (auto [inputPiece, readPiece] : {std::pair<std::size_t, std::size_t>{1 << 20, 1 << 18}, {7, 1}, {4096, 40000},
                                       {65536, 32767}}) {
    SCOPED_TRACE(what + " pieces " + std::to_string(inputPiece) + "/" + std::to_string(readPiece));
    const Outcome s = ByStream(image, inputPiece, readPiece, name);
    ASSERT_EQ(s.result, f.result);
    ASSERT_EQ(s.plain.size(), f.plain.size());
    EXPECT_TRUE(s.plain == f.plain);
    EXPECT_EQ(s.lines, f.lines);
  }
}

TEST(EcdStream, SoundFilesOfEveryKindDecodeAsTheFileDecoderDoes) {
  ScratchDir dir;
  Bytes mixed = bk::test::TextBytes(150000);
  const Bytes random = bk::test::RandomBytes(70000, 3);
  mixed.insert(mixed.end(), random.begin(), random.end());
  for (const Bytes& plain : {Bytes{}, Bytes{42}, bk::test::TextBytes(32767), bk::test::TextBytes(32768),
                             bk::test::TextBytes(65534), mixed}) {
    for (int kind : {kEcdKindControl, kEcdKindZlib, kEcdKindNone}) {
      const Bytes image = EncodeWith(dir, plain, kind);
      ExpectSame(dir, image, "kind " + std::to_string(kind) + " size " + std::to_string(plain.size()));
      if (kind != kEcdKindNone) {
        EXPECT_EQ(ByStream(image, 1 << 20, 1 << 18, "x").plain, plain);
      }
    }
    ExpectSame(dir, PassThrough(plain), "pass-through size " + std::to_string(plain.size()));
    EXPECT_EQ(ByStream(PassThrough(plain), 1 << 20, 1 << 18, "x").plain, plain);
  }
}

TEST(EcdStream, DamagedFilesFailAsTheFileDecoderDoesAfterTheSameBytes) {
  ScratchDir dir;
  Bytes plain = bk::test::TextBytes(120000);
  const Bytes random = bk::test::RandomBytes(50000, 9);
  plain.insert(plain.end(), random.begin(), random.end());
  for (int kind : {kEcdKindControl, kEcdKindZlib}) {
    const Bytes good = EncodeWith(dir, plain, kind);
    std::mt19937 g(kind);
    // Cut at the head, inside blocks and between them.
    for (std::size_t cut : {std::size_t{0}, std::size_t{10}, std::size_t{17}, std::size_t{28}, std::size_t{30},
                            good.size() / 3, good.size() / 2, good.size() - 1}) {
      ExpectSame(dir, Bytes(good.begin(), good.begin() + static_cast<long>(cut)),
                 "kind " + std::to_string(kind) + " cut at " + std::to_string(cut));
    }
    for (int i = 0; i < 12; ++i) {
      Bytes bad = good;
      const std::size_t at = 28 + g() % (bad.size() - 28);
      bad[at] ^= static_cast<unsigned char>(1 + g() % 255);
      ExpectSame(dir, bad, "kind " + std::to_string(kind) + " flipped at " + std::to_string(at));
    }
  }
}

TEST(EcdStream, AFailedReadEndsWithAnIoError) {
  ScratchDir dir;
  const Bytes image = EncodeWith(dir, bk::test::TextBytes(100000), kEcdKindControl);
  for (std::size_t failAt : {std::size_t{5}, std::size_t{20}, std::size_t{40}, image.size() / 2}) {
    LogCapture log;
    MemoryInput input(image, 4096, failAt);
    bk::ecd::StreamDecoder d(input, "x", image.size());
    int rc = d.Begin();
    if (rc == kEcdDecodeOk) rc = d.Finish();
    EXPECT_EQ(rc, kEcdIoError) << failAt;
  }
}

}  // namespace
