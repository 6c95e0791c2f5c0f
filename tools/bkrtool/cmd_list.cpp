// list: the entries of a resource archive, plain or encoded (a plain archive
// is read as a stream, an encoded one decoded in memory up to a limit; the
// file is never changed).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "archive/ar_format.h"
#include "archive/ar_reader.h"
#include "codec/ecd.h"
#include "command.h"
#include "file_bytes.h"
#include "list_records.h"

namespace {

using namespace bk::ar;

struct Row {
  bool directory = false;
  std::string flags;  // R H S A or '-'
  unsigned long long size = 0;
  std::string date, time;  // as stored
  std::string path;
  bool security = false;
};

// Codes whose hexadecimal digits spell the decimal date and time.
std::string DateText(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X-%02X-%02X", code >> 16, (code >> 8) & 0xFF, code & 0xFF);
  return text;
}
std::string TimeText(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X", (code >> 16) & 0xFF, (code >> 8) & 0xFF, code & 0xFF);
  return text;
}

// Legacy decimal YYMMDD / HHMMSS; a value no calendar or clock can hold is
// shown as invalid with its stored number.
std::string LegacyInvalid(std::uint32_t v) { return "invalid(" + std::to_string(v) + ")"; }
std::string LegacyDateText(std::uint32_t v) {
  const unsigned yy = v / 10000 % 100, mm = v / 100 % 100, dd = v % 100;
  if (v > 991231 || mm < 1 || mm > 12 || dd < 1 || dd > 31) return LegacyInvalid(v);
  char text[24];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", yy >= 70 ? 1900 + yy : 2000 + yy, mm, dd);
  return text;
}
std::string LegacyTimeText(std::uint32_t v) {
  const unsigned hh = v / 10000, mi = v / 100 % 100, ss = v % 100;
  if (hh > 23 || mi > 59 || ss > 59) return LegacyInvalid(v);
  char text[24];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", hh, mi, ss);
  return text;
}

std::string KindFlags(unsigned char kind) {
  std::string f = "----";
  if (kind & kKindReadOnly) f[0] = 'R';
  if (kind & kKindHidden) f[1] = 'H';
  if (kind & kKindSystem) f[2] = 'S';
  if (kind & kKindArchive) f[3] = 'A';
  return f;
}

std::string AttributeFlags(std::uint32_t attributes) {
  std::string f = "----";
  if (attributes & 0x01) f[0] = 'R';
  if (attributes & 0x02) f[1] = 'H';
  if (attributes & 0x04) f[2] = 'S';
  if (attributes & 0x20) f[3] = 'A';
  return f;
}

const char* EncodedText(int kind) {
  return kind == kEcdKindControl ? "control codec" : kind == kEcdKindZlib ? "zlib" : "stored";
}

// What the command shows of one archive.
struct Listing {
  std::string path, layout;
  bool encoded = false;
  int encodedKind = 0;
  std::vector<Row> rows;
  std::vector<std::pair<std::string, std::string>> fields;  // header, for --verbose and --json
  void Field(const std::string& name, const std::string& value) { fields.emplace_back(name, value); }
};

// Where the archive's bytes come from. The first bytes tell an encoded file
// from a plain archive. A plain archive is read as a stream (the readers
// need its headers and names, not its contents); an encoded one is decoded
// in memory, up to a limit.
struct Opened {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{nullptr, std::fclose};
  std::vector<unsigned char> decoded;
  std::unique_ptr<ArSource> source;
  bool legacy = false;
  bool listFile = false;               // 277-byte records, not an archive
  std::vector<unsigned char> records;  // of a list file
};

// Opens `path`; 0, or the exit code of a failure (already reported).
int OpenArchive(const std::string& path, Listing& listing, Opened& o) {
  std::string error;
  o.file.reset(std::fopen(path.c_str(), "rb"));
  if (o.file == nullptr) return bkrtool::Fail("cannot open " + path);
  unsigned char head[kLegacyHeaderSize > kEcdMagicSize ? kLegacyHeaderSize : kEcdMagicSize] = {};
  const std::size_t headSize = std::fread(head, 1, sizeof head, o.file.get());
  if (std::ferror(o.file.get())) return bkrtool::Fail("cannot read " + path);
  bk::ecd::ImageInfo info;
  bk::ecd::DecodeImage(head, headSize < kEcdMagicSize ? headSize : kEcdMagicSize, nullptr, &info);
  listing.encoded = info.magicValid;
  if (info.magicValid) {
    std::vector<unsigned char> image;
    if (!bkrtool::ReadWholeFile(path, image, error)) return bkrtool::Fail(error);
    int decodeResult = bk::ecd::DecodeImage(image.data(), image.size(), nullptr, &info);  // counts only
    if (decodeResult == kEcdDecodeOk && info.plainSize > bkrtool::kMaxReadBytes)
      return bkrtool::Fail(path + ": the decoded archive would hold " + std::to_string(info.plainSize) +
                           " bytes, more than the " + std::to_string(bkrtool::kMaxReadBytes) +
                           " this command decodes in memory; decode it to a file and list that");
    if (decodeResult == kEcdDecodeOk)
      decodeResult = bk::ecd::DecodeImage(image.data(), image.size(), &o.decoded, &info);
    if (decodeResult != kEcdDecodeOk)
      return bkrtool::Fail(path + ": encoded file cannot be decoded (result " + std::to_string(decodeResult) + ")");
    listing.encodedKind = info.options.kind;
    o.source = std::make_unique<ArMemorySource>(o.decoded.data(), o.decoded.size());
    o.legacy = IsLegacyLayout(o.decoded.data(), o.decoded.size());
    return 0;
  }
  // A list file (277-byte records, as `files` writes) is printed as such.
  if (std::fseek(o.file.get(), 0, SEEK_END) != 0) return bkrtool::Fail("cannot read " + path);
  const long size = std::ftell(o.file.get());
  if (size > 0 && size % 277 == 0 && static_cast<std::size_t>(size) <= bkrtool::kMaxReadBytes) {
    if (!bkrtool::ReadWholeFile(path, o.records, error)) return bkrtool::Fail(error);
    o.listFile = bkrtool::LooksLikeListFile(o.records);
    if (o.listFile) return 0;
  }
  if (std::fseek(o.file.get(), 0, SEEK_SET) != 0) return bkrtool::Fail("cannot read " + path);
  o.source = std::make_unique<ArFileSource>(o.file.get());
  o.legacy = IsLegacyLayout(head, headSize);
  return 0;
}

int ReadLegacy(ArSource& source, Listing& listing) {
  listing.layout = "legacy";
  LegacyArReader reader(source);
  int rc = reader.Open();
  if (rc != kArOk) return bkrtool::Fail(listing.path + ": defective archive: " + reader.Error());
  const LegacyHeader& h = reader.Header();
  listing.Field("firstEntry", std::to_string(h.firstEntry));
  listing.Field("namesStart", std::to_string(h.namesStart));
  listing.Field("namesEnd", std::to_string(h.namesEnd));
  listing.Field("names", std::to_string(reader.NameCount()));
  listing.Field("base", std::string(reader.Name(h.driveIndex)) + ":" + reader.Name(h.pathIndex));
  LegacyArEntry e;
  bool found;
  while ((rc = reader.Next(e, found)) == kArOk && found) {
    Row r;
    r.directory = e.header.IsDirectory();
    r.flags = AttributeFlags(e.header.attributes);
    r.size = e.header.contentLength;
    r.date = LegacyDateText(e.header.mDate);
    r.time = LegacyTimeText(e.header.mTime);
    r.path = e.path;
    listing.rows.push_back(r);
  }
  if (rc != kArOk) return bkrtool::Fail(listing.path + ": defective archive: " + reader.Error());
  return 0;
}

// The failure of a header that the check refused.
int DefectiveHeader(const std::string& path, const VsConReIn& h) {
  const bool generation = h.resGenNo[0] != 1 || h.resGenNo[1] != 0;
  return bkrtool::Fail(path + ": defective archive header (" +
                       (generation ? "Resource Error 1: generation " : "Resource Error 2: compKind ") +
                       (generation ? std::to_string(h.resGenNo[0]) + "." + std::to_string(h.resGenNo[1])
                                   : std::to_string(h.compKind)) +
                       ")");
}

int ReadCurrent(ArSource& source, Listing& listing) {
  listing.layout = "current";
  ArReader reader(source);
  int rc = reader.Open();
  if (rc == kArDefectiveHeader) return DefectiveHeader(listing.path, reader.Header());
  if (rc != kArOk) return bkrtool::Fail(listing.path + ": defective archive: " + reader.Error());
  const VsConReIn& h = reader.Header();
  listing.Field("arcSize", std::to_string(h.arcSize));
  listing.Field("headSize", std::to_string(h.headSize));
  listing.Field("resGenNo", std::to_string(h.resGenNo[0]) + "." + std::to_string(h.resGenNo[1]));
  listing.Field("compKind", std::string(1, static_cast<char>(h.compKind)));
  listing.Field("driveNo", std::to_string(h.driveNo) + " (" + reader.DriveName() + ")");
  listing.Field("pathNo", std::to_string(h.pathNo) + " (" + reader.BasePathName() + ")");
  listing.Field("nameCount", std::to_string(h.nameCount));
  listing.Field("nameMax", std::to_string(h.nameMax));
  listing.Field("skipSize", std::to_string(h.skipSize));
  listing.Field("nameSize", std::to_string(h.nameSize));
  ArEntry e;
  bool found;
  while ((rc = reader.Next(e, found)) == kArOk && found) {
    Row r;
    r.directory = e.header.IsDirectory();
    r.flags = KindFlags(e.header.fileKind);
    r.size = e.header.fileSize;
    r.date = DateText(e.header.mDate);
    r.time = TimeText(e.header.mTime);
    r.path = e.path;
    r.security = e.hasSecurity;
    listing.rows.push_back(r);
  }
  if (rc != kArOk) return bkrtool::Fail(listing.path + ": defective archive: " + reader.Error());
  return 0;
}

int PrintListingJson(const Listing& listing) {
  std::string o = "{\"file\":" + bkrtool::JsonString(listing.path) + ",\"encoded\":" +
                  (listing.encoded ? bkrtool::JsonString(EncodedText(listing.encodedKind)) : std::string("false")) +
                  ",\"layout\":" + bkrtool::JsonString(listing.layout) + ",\"header\":{";
  for (std::size_t i = 0; i < listing.fields.size(); ++i)
    o += (i ? "," : "") + bkrtool::JsonString(listing.fields[i].first) + ":" +
         bkrtool::JsonString(listing.fields[i].second);
  o += "},\"entries\":[";
  for (std::size_t i = 0; i < listing.rows.size(); ++i) {
    const Row& r = listing.rows[i];
    o += std::string(i ? "," : "") + "{\"kind\":" + (r.directory ? "\"directory\"" : "\"file\"") +
         ",\"flags\":" + bkrtool::JsonString(r.flags) + ",\"size\":" + std::to_string(r.size) +
         ",\"date\":" + bkrtool::JsonString(r.date) + ",\"time\":" + bkrtool::JsonString(r.time) +
         ",\"security\":" + (r.security ? "true" : "false") + ",\"path\":" + bkrtool::JsonString(r.path) + "}";
  }
  std::printf("%s]%s\n", o.c_str(), bkrtool::JsonEnd(0).c_str());
  return 0;
}

int PrintListingText(const Listing& listing, bool verbose) {
  if (verbose) {
    std::printf("archive:   %s (%s layout%s%s)\n", listing.path.c_str(), listing.layout.c_str(),
                listing.encoded ? ", encoded with " : "", listing.encoded ? EncodedText(listing.encodedKind) : "");
    for (const auto& f : listing.fields) std::printf("%-10s %s\n", (f.first + ":").c_str(), f.second.c_str());
  }
  for (const Row& r : listing.rows)
    std::printf("%c %s %12llu  %s %s  %s%s\n", r.directory ? 'd' : 'f', r.flags.c_str(), r.size, r.date.c_str(),
                r.time.c_str(), r.path.c_str(), r.security ? "  [security]" : "");
  return 0;
}

int List(const bkrtool::Args& args) {
  bkrtool::Parsed p;
  std::string error;
  if (!bkrtool::Parse(args, {}, {"json", "verbose"}, p, error)) return bkrtool::Fail(error);
  if (p.positional.size() != 1) return bkrtool::Fail("usage: bkrtool list [--verbose] [--json] ARCHIVE");
  Listing listing;
  listing.path = p.positional[0];
  Opened opened;
  if (const int failed = OpenArchive(listing.path, listing, opened)) return failed;
  if (opened.listFile) return bkrtool::PrintListRecords(listing.path, opened.records);
  const int read = opened.legacy ? ReadLegacy(*opened.source, listing) : ReadCurrent(*opened.source, listing);
  if (read != 0) return read;
  return p.Has("json") ? PrintListingJson(listing) : PrintListingText(listing, p.Has("verbose"));
}

}  // namespace

BKR_COMMAND("list", "[--verbose] [--json] ARCHIVE",
            "list a resource archive (plain, or encoded: decoded in memory) or a list file's 277-byte records: "
            "kind, flags, size, date, path",
            List);
