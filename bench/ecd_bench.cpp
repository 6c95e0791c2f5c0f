// Speed of the encoded-file codecs against memcpy and zlib, measured in one
// run on the same data. Build it without sanitizers (scripts/bench.sh).
//
//   ecd_bench [--quick]
//   ecd_bench --write-corpus FILE MB   (the mixed corpus of MB megabytes as a
//                                       file, for the whole-process runs)
//
// Data sets: a mixed corpus of Windows program files (the mingw runtime DLLs)
// and text (license and copyright files), as found on a Debian machine with
// the build's packages, with a generated stand-in for what is missing; plus
// random bytes and one repeated byte value.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

#include "archive/ar_sums.h"
#include "codec/ecd.h"
#include "codec/huffman.h"
#include "common/byte_order.h"

namespace {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;
constexpr std::size_t kChunk = 32767;

// Appends files under `root` whose names end with one of `suffixes` (sorted,
// so the corpus is the same on every run) until `limit` bytes are taken.
std::size_t Gather(const std::string& root, const std::vector<std::string>& suffixes,
                   std::size_t limit, Bytes& out) {
  std::vector<fs::path> files;
  std::error_code ec;
  if (!fs::exists(root, ec)) return 0;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    const std::string name = it->path().filename().string();
    for (const auto& s : suffixes)
      if (name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
        files.push_back(it->path());
        break;
      }
  }
  std::sort(files.begin(), files.end());
  std::size_t taken = 0;
  for (const auto& f : files) {
    if (taken >= limit) break;
    std::FILE* in = std::fopen(f.string().c_str(), "rb");
    if (in == nullptr) continue;
    unsigned char buffer[65536];
    std::size_t n;
    while (taken < limit && (n = std::fread(buffer, 1, std::min(sizeof buffer, limit - taken), in)) > 0) {
      out.insert(out.end(), buffer, buffer + n);
      taken += n;
    }
    std::fclose(in);
  }
  return taken;
}

// Stand-ins when the machine lacks the files: program-like (small opcodes,
// zero runs, addresses) and text-like (words from a small vocabulary).
void FillProgramLike(std::size_t n, Bytes& out) {
  std::mt19937 random(1);
  while (n > 0) {
    const unsigned kind = random() % 4;
    std::size_t run = std::min<std::size_t>(n, 8 + random() % 64);
    for (std::size_t i = 0; i < run; ++i) {
      unsigned char b = 0;
      if (kind == 1) b = static_cast<unsigned char>(0x40 + random() % 16);
      if (kind == 2) b = static_cast<unsigned char>(random() % 256 < 64 ? 0xFF : random() % 256);
      if (kind == 3) b = static_cast<unsigned char>(random() % 8 == 0 ? 0x48 : random() % 64);
      out.push_back(b);
    }
    n -= run;
  }
}

void FillTextLike(std::size_t n, Bytes& out) {
  static const char* words[] = {"the", "software", "is", "provided", "as", "without", "warranty",
                                "of", "any", "kind", "license", "copyright", "and", "to", "for",
                                "permission", "granted", "use", "copy", "modify", "this", "in"};
  std::mt19937 random(2);
  std::size_t column = 0;
  while (n > 0) {
    const char* w = words[random() % (sizeof words / sizeof *words)];
    for (const char* p = w; *p && n > 0; ++p, --n) out.push_back(static_cast<unsigned char>(*p));
    if (n == 0) break;
    column += std::strlen(w) + 1;
    out.push_back(column > 72 ? '\n' : ' ');
    if (column > 72) column = 0;
    --n;
  }
}

Bytes MixedCorpus(std::size_t half) {
  Bytes data;
  std::size_t programs = Gather("/usr/lib/gcc/x86_64-w64-mingw32", {".dll"}, half, data);
  programs += Gather("/usr/x86_64-w64-mingw32/lib", {".dll", ".o"}, half - programs, data);
  if (programs < half) FillProgramLike(half - programs, data);
  std::size_t text = Gather("/usr/share/common-licenses", {""}, half, data);
  text += Gather("/usr/share/doc", {"copyright", ".txt", "README"}, half - text, data);
  if (text < half) FillTextLike(half - text, data);
  std::printf("mixed corpus: %zu bytes of program files, %zu of text (generated stand-ins: %zu)\n",
              programs, text, (half - std::min(half, programs)) + (half - std::min(half, text)));
  return data;
}

// Runs every task in turn, round after round, and keeps each task's best
// time: on a shared machine the tasks meet the same conditions, so their
// ratios hold even when the absolute figures move.
std::vector<double> BestSeconds(const std::vector<std::function<void()>>& tasks, int rounds, double perRound) {
  std::vector<double> best(tasks.size(), 1e30);
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t t = 0; t < tasks.size(); ++t) {
      double spent = 0;
      do {
        const auto start = std::chrono::steady_clock::now();
        tasks[t]();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best[t] = std::min(best[t], s);
        spent += s;
      } while (spent < perRound);
    }
  }
  return best;
}

struct Result {
  double memcpyMBs, zlibC, zlibD, ctrlE, ctrlD, ctrlD1, sums, refE, refD;
  double zlibRatio, ctrlRatio;
};

volatile unsigned char g_sink;

Result Measure(const Bytes& plain, int rounds, double perRound, bool reference) {
  const std::size_t n = plain.size();
  const double mb = static_cast<double>(n) / 1e6;
  Result r{};

  Bytes copy(n);
  auto copyAll = [&] { std::memcpy(copy.data(), plain.data(), n); g_sink = copy[n / 2]; };

  // zlib level 6, one stream per 32767-byte chunk, as the kind-5 codec does.
  Bytes zbuf(n + n / 8 + 65536);
  std::vector<std::pair<std::size_t, std::size_t>> streams;  // offset, length
  auto zlibCompress = [&] {
    streams.clear();
    std::size_t out = 0;
    for (std::size_t at = 0; at < n; at += kChunk) {
      const std::size_t size = std::min(kChunk, n - at);
      uLongf length = static_cast<uLongf>(zbuf.size() - out);
      compress2(zbuf.data() + out, &length, plain.data() + at, size, 6);
      streams.emplace_back(out, length);
      out += length;
    }
  };
  Bytes zout(n);
  auto zlibUncompress = [&] {
    std::size_t at = 0;
    for (auto& s : streams) {
      uLongf length = kChunk;
      uncompress(zout.data() + at, &length, zbuf.data() + s.first, s.second);
      at += length;
    }
  };

  // The control codec, blocks of 32767 bytes.
  std::uint32_t capacity = static_cast<std::uint32_t>(n + n / 16 + 65536 + 4);
  Bytes coded(capacity);
  std::uint32_t codedSize = 0;
  auto ctrlEncode = [&] {
    std::uint32_t cap = capacity;
    codedSize = vskEncodeMemory(plain.data(), static_cast<std::uint32_t>(n), coded.data(), &cap);
  };
  Bytes out(n + kChunk);
  // Block by block through vskDecodeMemory, and as the decoders of whole
  // files do it (two blocks at a time).
  auto ctrlDecodeSingle = [&] {
    const unsigned char* at = coded.data();
    std::size_t done = 0;
    while (at != nullptr) done += vskDecodeMemory(out.data() + done, &at);
  };
  Bytes chain;
  chain.reserve(n + kChunk);
  auto ctrlDecode = [&] {
    chain.clear();
    bk::ecd::DecodeBlocks(coded.data(), codedSize, chain, nullptr, nullptr);
  };
  // The content checksums a backup keeps and a restore's check compares: a
  // CRC-32 tally of every plain byte, cut into entries of 40 KB, in the 256
  // KiB pieces the check reads.
  auto sums = [&] {
    bk::ar::SumTally tally;
    for (std::size_t at = 0; at < n; at += 256 * 1024) {
      const std::size_t end = std::min(n, at + 256 * 1024);
      for (std::size_t cut = at; cut < end; cut += 40000) {
        tally.BeginEntry();
        tally.Add(plain.data() + cut, std::min<std::size_t>(40000, end - cut));
      }
    }
    g_sink = static_cast<unsigned char>(tally.Sums().plainCrc);
  };
  zlibCompress();
  ctrlEncode();

  const auto best = BestSeconds({copyAll, zlibCompress, zlibUncompress, ctrlEncode, ctrlDecode, ctrlDecodeSingle, sums},
                                rounds, perRound);
  r.memcpyMBs = mb / best[0];
  r.zlibC = mb / best[1];
  r.zlibD = mb / best[2];
  r.ctrlE = mb / best[3];
  r.ctrlD = mb / best[4];
  r.ctrlD1 = mb / best[5];
  r.sums = mb / best[6];
  std::size_t zlibSize = 0;
  for (auto& s : streams) zlibSize += s.second + 2;
  r.zlibRatio = static_cast<double>(zlibSize) / static_cast<double>(n);
  r.ctrlRatio = static_cast<double>(codedSize) / static_cast<double>(n);
  if (zout != plain) std::printf("  zlib round trip FAILED\n");
  if (!std::equal(plain.begin(), plain.end(), out.begin()) || chain != plain)
    std::printf("  control round trip FAILED\n");

  if (reference) {
    Bytes block(bk::ecd::kCodedMax);
    auto refEncode = [&] {
      for (std::size_t at = 0; at < n; at += kChunk)
        bk::ecd::EncodeBlockReference(plain.data() + at, std::min(kChunk, n - at), block.data());
    };
    auto refDecode = [&] {
      const unsigned char* at = coded.data();
      std::size_t done = 0;
      while (at != nullptr) {
        const std::size_t symbols = bk::LoadBe16(at) == 0x8000 ? kChunk : bk::LoadBe16(at);
        const std::size_t c = bk::LoadBe16(at + 2);
        bk::ecd::DecodeBlockReference(at + 4, c, symbols, out.data() + done);
        done += symbols;
        at = bk::LoadBe16(at) == 0x8000 ? at + 4 + c : nullptr;
      }
    };
    const auto slow = BestSeconds({refEncode, refDecode}, 1, 0);
    r.refE = mb / slow[0];
    r.refD = mb / slow[1];
  }
  return r;
}

// The kind-5 and kind-1 file codecs end to end (files in the temporary folder).
void MeasureFiles(const Bytes& plain, int rounds, double perRound) {
  const fs::path dir = fs::temp_directory_path() / "ecd_bench";
  fs::create_directories(dir);
  const std::string in = (dir / "plain").string(), enc = (dir / "enc").string(), out = (dir / "out").string();
  if (std::FILE* f = std::fopen(in.c_str(), "wb")) {
    std::fwrite(plain.data(), 1, plain.size(), f);
    std::fclose(f);
  }
  const double mb = static_cast<double>(plain.size()) / 1e6;
  for (int kind : {1, 5}) {
    const auto best = BestSeconds({[&] { vskEcdEncodeFile(in.c_str(), enc.c_str(), 0, kind); },
                                   [&] { vskEcdCtrlDecodeFile(enc.c_str(), out.c_str()); }},
                                  rounds, perRound);
    const double e = mb / best[0], d = mb / best[1];
    std::printf("  file codec kind %d: encode %8.1f MB/s, decode %8.1f MB/s (size ratio %.3f)\n", kind,
                e, d, static_cast<double>(fs::file_size(enc)) / static_cast<double>(plain.size()));
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
}

void Report(const char* name, const Result& r, bool reference) {
  std::printf("%s\n", name);
  std::printf("  memcpy                %9.1f MB/s\n", r.memcpyMBs);
  std::printf("  zlib 6 compress2      %9.1f MB/s   size ratio %.3f\n", r.zlibC, r.zlibRatio);
  std::printf("  zlib uncompress       %9.1f MB/s\n", r.zlibD);
  std::printf("  control encode        %9.1f MB/s   size ratio %.3f   %5.1fx zlib compress\n", r.ctrlE,
              r.ctrlRatio, r.ctrlE / r.zlibC);
  std::printf("  control decode        %9.1f MB/s                      %5.2fx zlib uncompress\n", r.ctrlD,
              r.ctrlD / r.zlibD);
  std::printf("    one block at a time %9.1f MB/s                      %5.2fx zlib uncompress\n", r.ctrlD1,
              r.ctrlD1 / r.zlibD);
  std::printf("  content checksums     %9.1f MB/s                      %5.2fx control decode\n", r.sums,
              r.sums / r.ctrlD);
  if (reference)
    std::printf("  reference coder       encode %.1f MB/s, decode %.1f MB/s (fast is %.1fx, %.1fx)\n", r.refE,
                r.refD, r.ctrlE / r.refE, r.ctrlD / r.refD);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--write-corpus") == 0) {
    const std::size_t megabytes = std::strtoul(argv[3], nullptr, 10);
    if (megabytes == 0) return 2;
    const Bytes corpus = MixedCorpus(megabytes * 1000000 / 2);
    std::FILE* f = std::fopen(argv[2], "wb");
    if (f == nullptr) return 1;
    const bool written = std::fwrite(corpus.data(), 1, corpus.size(), f) == corpus.size();
    return std::fclose(f) == 0 && written ? 0 : 1;
  }
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int rounds = quick ? 2 : 7;
  const double perRound = quick ? 0.02 : 0.1;
  const std::size_t half = quick ? (1u << 20) : (8u << 20);

  const Bytes mixed = MixedCorpus(half);
  const Result m = Measure(mixed, rounds, perRound, true);
  Report("mixed corpus", m, true);
  MeasureFiles(mixed, rounds, perRound);

  std::mt19937 random(7);
  Bytes noise(half / 2);
  for (auto& b : noise) b = static_cast<unsigned char>(random());
  Report("random bytes", Measure(noise, rounds, perRound, false), false);
  Report("one byte value", Measure(Bytes(half / 2, 'a'), rounds, perRound, false), false);

  std::printf("\ntargets on the mixed corpus: encode >= 20x zlib compress (%.1fx), decode >= 1.5x zlib "
              "uncompress (%.2fx)\n", m.ctrlE / m.zlibC, m.ctrlD / m.zlibD);
  return 0;
}
