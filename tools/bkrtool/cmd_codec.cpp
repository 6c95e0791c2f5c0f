// encode, decode, info: the encoded-file container from the command line.
// Codec results are shown in words and returned as the exit code (0 for
// success, else the result without its sign).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/ecd.h"
#include "command.h"
#include "file_bytes.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "logging/native_sink.h"
#endif

namespace {

const char* EncodeResultText(int rc) {
  switch (rc) {
    case kEcdEncodeOk: return "success";
    case kEcdInvalid: return "compression failed or out of memory";
    case kEcdIoError: return "the input cannot be read or the output written";
    case kEcdOutputOpenError: return "the output cannot be opened";
    default: return "unknown result";
  }
}

const char* DecodeResultText(int rc) {
  switch (rc) {
    case kEcdDecodeOk: return "success";
    case kEcdInvalid: return "invalid option info or out of memory";
    case kEcdNotCompressed: return "stored without compression and without the pass-through flag";
    case kEcdBadMagic: return "not an encoded file (magic number invalid)";
    case kEcdBadBlock: return "a block cannot be decoded";
    case kEcdIoError: return "read or write failure, or the file ends early";
    default: return "unknown result";
  }
}

const char* KindName(int kind) {
  switch (kind) {
    case kEcdKindNone: return "stored (kind 0)";
    case kEcdKindControl: return "control codec (kind 1)";
    case kEcdKindZlib: return "zlib (kind 5)";
    default: return "unknown";
  }
}

int ExitCode(int rc, int success) { return rc == success ? 0 : (rc < 0 ? -rc : 1); }

#if !defined(_WIN32)
// Natively the codec's log lines are kept and shown when it fails.
class CollectLines : public VskNativeLogSink {
 public:
  CollectLines() { vskLogSetNativeSink(this); }
  ~CollectLines() override { vskLogSetNativeSink(nullptr); }
  void Line(const char* category, const char* message) override {
    lines.push_back(std::string(category) + ": " + message);
  }
  void Event(std::uint32_t, const char*, const char*, std::int32_t) override {}
  void Print() const {
    for (const auto& l : lines) std::fprintf(stderr, "  log %s\n", l.c_str());
  }
  std::vector<std::string> lines;
};
#else
struct CollectLines {
  void Print() const {}
};
#endif

bool Readable(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

// Renames `from` to `to`, replacing an existing `to`.
bool PutInPlace(const std::string& from, const std::string& to) {
#if defined(_WIN32)
  return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// The line (or under --json the object) of an encode or decode; returns exitCode.
int PrintResult(const char* what, const std::string& in, const std::string& out, const char* kind, int rc,
                const char* text, int exitCode) {
  if (bkrtool::JsonOutput()) {
    bkrtool::JsonObject o;
    o.Text("input", in).Text("output", out);
    if (kind != nullptr) o.Text("kind", kind);
    o.Number("result", rc).Text("resultText", text);
    return bkrtool::PrintJson(o, exitCode, std::string(what) + " failed: " + text);
  }
  if (kind != nullptr)
    std::printf("%s %s -> %s, %s: %d (%s)\n", what, in.c_str(), out.c_str(), kind, rc, text);
  else
    std::printf("%s %s -> %s: %d (%s)\n", what, in.c_str(), out.c_str(), rc, text);
  return exitCode;
}

int Encode(const bkrtool::Args& args) {
  bkrtool::Parsed p;
  std::string error;
  if (!bkrtool::Parse(args, {"kind"}, {"json"}, p, error)) return bkrtool::Fail(error);
  if (p.positional.size() != 2) return bkrtool::Fail("usage: bkrtool encode [--kind 0|1|5] [--json] IN OUT");
  const std::string kindText = p.Value("kind", "1");
  if (kindText != "0" && kindText != "1" && kindText != "5")
    return bkrtool::Fail("--kind must be 0, 1 or 5, not '" + kindText + "'");
  const int kind = std::atoi(kindText.c_str());
  const std::string& in = p.positional[0];
  const std::string& out = p.positional[1];
  if (!Readable(in)) return bkrtool::Fail("cannot open input " + in);
  CollectLines log;
  const int rc = vskEcdEncodeFile(in.c_str(), out.c_str(), 0, kind);
  if (rc != kEcdEncodeOk) log.Print();
  return PrintResult("encode", in, out, KindName(kind), rc, EncodeResultText(rc), ExitCode(rc, kEcdEncodeOk));
}

int Decode(const bkrtool::Args& all) {
  const bkrtool::Args args = bkrtool::WithoutJson(all);
  if (args.size() != 2) return bkrtool::Fail("usage: bkrtool decode [--json] IN OUT");
  const std::string& in = args[0];
  const std::string& out = args[1];
  // The first bytes only decide whether this is an encoded file at all.
  std::FILE* f = std::fopen(in.c_str(), "rb");
  if (f == nullptr) return bkrtool::Fail("cannot open input " + in);
  unsigned char magic[kEcdMagicSize] = {};
  const std::size_t got = std::fread(magic, 1, sizeof magic, f);
  std::fclose(f);
  bk::ecd::ImageInfo info;
  bk::ecd::DecodeImage(magic, got, nullptr, &info);
  if (!info.magicValid) return bkrtool::Fail(in + " is not an encoded file");
  // Decoded beside the output and renamed into place only when complete: a
  // failed decode leaves an existing output as it was and no partial one.
  const std::string temporary = out + ".bkrtool-part";
  CollectLines log;
  int rc = vskEcdCtrlDecodeFile(in.c_str(), temporary.c_str());
  if (rc == kEcdDecodeOk && !PutInPlace(temporary, out)) {
    std::remove(temporary.c_str());
    return bkrtool::Fail("decoded, but cannot put the result in place as " + out);
  }
  if (rc != kEcdDecodeOk) std::remove(temporary.c_str());
  if (rc != kEcdDecodeOk) log.Print();
  return PrintResult("decode", in, out, nullptr, rc, DecodeResultText(rc), ExitCode(rc, kEcdDecodeOk));
}

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// Exit code of info: 0 for an encoded file that decodes, 1 for any other file.
constexpr int kInfoNotDecodable = 1;

std::string InfoProblem(const bk::ecd::ImageInfo& info, int rc) {
  if (!info.magicValid) return "not an encoded file (no valid magic number)";
  if (rc != kEcdDecodeOk) return std::string("the encoded file does not decode: ") + DecodeResultText(rc);
  return std::string();
}

int InfoJson(const std::string& path, std::size_t size, const bk::ecd::ImageInfo& info, int rc) {
  bkrtool::JsonObject o;
  o.Text("file", path).Unsigned("size", size).Bool("encoded", info.magicValid);
  if (info.magicValid) {
    o.Json("magic", bkrtool::JsonObject()
                        .Unsigned("check", info.check)
                        .Unsigned("seed1", info.seed1)
                        .Unsigned("seed2", info.seed2)
                        .Unsigned("seed3", info.seed3)
                        .Str());
    std::string words = "[";
    for (std::size_t i = 0; i < info.optionWords.size(); ++i)
      words += (i ? "," : "") + bkrtool::JsonString(Hex(info.optionWords[i], 4));
    o.Json("optionWords", words + "]")
        .Number("kind", info.options.kind)
        .Bool("passThrough", info.options.passThrough)
        .Unsigned("dataOffset", info.dataOffset)
        .Unsigned("blocks", info.blocks)
        .Unsigned("plainSize", info.plainSize)
        .Number("decodeResult", rc)
        .Text("decodeText", DecodeResultText(rc));
  }
  const std::string problem = InfoProblem(info, rc);
  return bkrtool::PrintJson(o, problem.empty() ? 0 : kInfoNotDecodable, problem);
}

int Info(const bkrtool::Args& args) {
  bkrtool::Parsed p;
  std::string error;
  if (!bkrtool::Parse(args, {}, {"json"}, p, error)) return bkrtool::Fail(error);
  if (p.positional.size() != 1) return bkrtool::Fail("usage: bkrtool info [--json] FILE");
  const std::string& path = p.positional[0];
  std::vector<unsigned char> data;
  if (!bkrtool::ReadWholeFile(path, data, error)) return bkrtool::Fail(error);
  bk::ecd::ImageInfo info;
  const int rc = bk::ecd::DecodeImage(data.data(), data.size(), nullptr, &info);
  if (bkrtool::JsonOutput()) return InfoJson(path, data.size(), info, rc);

  std::printf("file:          %s (%llu bytes)\n", path.c_str(), static_cast<unsigned long long>(data.size()));
  if (!info.magicValid) {
    std::printf("encoded:       no (no valid magic number)\n");
    return kInfoNotDecodable;
  }
  std::printf("encoded:       yes\n");
  std::printf("magic number:  check %u, seeds %u %u %u\n", info.check, info.seed1, info.seed2, info.seed3);
  std::string words;
  for (std::uint16_t w : info.optionWords) words += (words.empty() ? "" : " ") + Hex(w, 4);
  std::printf("option words:  %s\n", words.c_str());
  std::printf("compression:   %s\n", KindName(info.options.kind));
  std::printf("pass-through:  %s\n", info.options.passThrough ? "on" : "off");
  std::printf("data offset:   %llu\n", static_cast<unsigned long long>(info.dataOffset));
  std::printf("%s %llu\n", info.options.kind == kEcdKindZlib ? "records:      " : "blocks:       ",
              static_cast<unsigned long long>(info.blocks));
  std::printf("plain size:    %llu\n", static_cast<unsigned long long>(info.plainSize));
  std::printf("decodes:       %d (%s)\n", rc, DecodeResultText(rc));
  return rc == kEcdDecodeOk ? 0 : kInfoNotDecodable;
}

}  // namespace

BKR_COMMAND("encode", "[--kind 0|1|5] [--json] IN OUT",
            "write IN as an encoded file (kind 1 control codec, 5 zlib, 0 stored); exit code = -result", Encode);
BKR_COMMAND("decode", "[--json] IN OUT", "decode an encoded file of any kind; exit code = -result", Decode);
BKR_COMMAND("info", "[--json] FILE",
            "tell whether FILE is an encoded file: magic number, option words, kind, blocks, plain size; "
            "exit 0 when it decodes, 1 when it is not an encoded file or does not decode",
            Info);
