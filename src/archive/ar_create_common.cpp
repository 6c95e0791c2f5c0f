#include "archive/ar_create_common.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "archive/ar_format.h"
#include "archive/ar_paths.h"

namespace {

VskarGaugeStart g_gaugeStart = nullptr;
VskarGaugeStep g_gaugeStep = nullptr;
bool g_plainWay = false;
std::string g_markName;
DWORD g_markAttributes = 0;
VskArCreateStats g_stats{};
bk::ar::ArchiveSums g_sums;

constexpr std::int64_t kEpoch = 116444736000000000LL;  // 1970-01-01 in 100 ns units since 1601
constexpr std::int64_t kLastTimeValue = 32535215999LL;  // 3000-12-31 23:59:59

std::string Format(const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  return text;
}

}  // namespace

void vskarUsePlainWayForTest(bool plain) { g_plainWay = plain; }
void vskarSetGaugeForTest(VskarGaugeStart start, VskarGaugeStep step) {
  g_gaugeStart = start;
  g_gaugeStep = step;
}
void vskarMarkSearchEntryForTest(const char* name, std::uint32_t attributes) {
  g_markName = name != nullptr ? name : "";
  g_markAttributes = name != nullptr ? attributes : 0;
}
const VskArCreateStats& vskarLastCreateStats() { return g_stats; }
const bk::ar::ArchiveSums& vskarLastCreateSums() { return g_sums; }

namespace bk::arc {

bool PlainWayForTest() { return g_plainWay; }
void ResetStats() {
  g_stats = VskArCreateStats{};
  g_sums = bk::ar::ArchiveSums{};
}
VskArCreateStats& Stats() { return g_stats; }
void KeepSums(const bk::ar::SumTally& tally) { g_sums = tally.Sums(); }
void ForgetSums() { g_sums = bk::ar::ArchiveSums{}; }

// --- messages ----------------------------------------------------------------

void Reporter::Give(const Message& m) {
  if (m.api)
    vskLogApiError(m.kind, kCategory, m.text.c_str(), m.error, kSource, m.line);
  else
    vskLogWrite(log_, m.text.c_str(), kCategory);
}

void Reporter::Line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Message m{false, 0, 0, 0, Format(format, args)};
  va_end(args);
  if (keep_)
    kept_.push_back(std::move(m));
  else
    Give(m);
}

void Reporter::ApiError(int kind, std::int32_t error, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Message m{true, kind, error, line, Format(format, args)};
  va_end(args);
  if (keep_)
    kept_.push_back(std::move(m));
  else
    Give(m);
}

void Reporter::GiveKept() {
  for (const Message& m : kept_) Give(m);
  kept_.clear();
}

// --- progress ----------------------------------------------------------------

Progress::Progress(const char* archivePath) : shown_(bk::ar::IsProgressName(archivePath)) {}

void Progress::Start() {
  if (!shown_) return;
  (g_gaugeStart != nullptr ? g_gaugeStart : vskWapiGaugeStart)(4, 100);
}

void Progress::Set(int position) {
  if (!shown_) return;
  (g_gaugeStep != nullptr ? g_gaugeStep : vskWapiGaugeStep)(4, static_cast<std::uint16_t>(position));
}

void Progress::BeginIterations(int iterations) {
  value_ = 20;
  step_ = iterations > 0 ? 30.0 / iterations : 30.0;
  Set(20);
}

void Progress::IterationDone() {
  value_ += step_;
  if (value_ <= 50) Set(static_cast<int>(value_));
}

// --- setup -------------------------------------------------------------------

int CheckSource(Reporter& r, const char* source) {
  if (::GetFileAttributesA(source) != INVALID_FILE_ATTRIBUTES) return 0;
  const DWORD error = ::GetLastError();
  r.ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "GetFileAttributes, Path=%s", source);
  r.Line("GetFileAttributes:WDPATH_ERROR:ON_ArcFile %s %d", source, static_cast<int>(error));
  return kArCreateNoSource;
}

namespace {

bool IsUnc(const std::string& s) { return s.size() >= 2 && s[0] == '\\' && s[1] == '\\'; }

std::string BasePathName(const std::string& base) {
  std::string path;
  if (IsUnc(base)) {
    // Without "\\", the server name and the backslash after it.
    const std::size_t slash = base.find('\\', 2);
    path = slash == std::string::npos ? std::string() : base.substr(slash + 1);
  } else if (base.size() <= 2) {
    return "/";
  } else {
    path = base.substr(2);
  }
  std::vector<char> text(path.begin(), path.end());
  text.push_back('\0');
  arConvertSeparators(text.data(), 3);
  return text.data();
}

// A share root: "\\server\share" and nothing more.
bool IsShareRoot(const std::string& s) {
  if (!IsUnc(s)) return false;
  const std::size_t slash = s.find('\\', 2);
  if (slash == std::string::npos || slash == 2 || slash + 1 >= s.size()) return false;
  return s.find('\\', slash + 1) == std::string::npos;
}

}  // namespace

void SplitSource(const char* source, const char* nameList, int listCount, const char* baseOverride, Setup& s) {
  const std::string src = source;
  s.withList = nameList != nullptr;
  if (s.withList) {
    s.base = src;
    const char* p = nameList;
    const int count = listCount > 0 ? listCount : 1;
    for (int i = 0; i < count; ++i) {
      s.names.emplace_back(p);
      p += s.names.back().size() + 1;
    }
  } else {
    const std::size_t slash = src.rfind('\\');
    if (slash == std::string::npos) {
      s.single = src;
    } else {
      s.base = src.substr(0, slash);
      s.single = src.substr(slash + 1);
    }
  }
  const std::string named = baseOverride != nullptr ? std::string(baseOverride) : s.base;
  s.driveName = named.empty() ? std::string() : named.substr(0, 1);
  s.basePathName = BasePathName(named);
  s.baseLength = s.base.empty() ? 2 : s.base.size();
  s.iterations = s.withList ? static_cast<int>(s.names.size()) : 1;
}

int EnumerateRootIfAsked(Reporter& r, const char* source, const char* nameList, int listCount, Setup& s) {
  const std::string src = source;
  const bool drive = src.size() == 2 && src[1] == ':' && nameList == nullptr && listCount == 0;
  if (!IsShareRoot(src) && !drive) return 0;
  // The root's own entries (a drive root is searched at its root, never in
  // the drive's current directory).
  const std::string pattern = src + "\\*.*";
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    try {
      do {
        if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0)
          names.emplace_back(found.cFileName);
      } while (::FindNextFileA(search, &found));
    } catch (const std::bad_alloc&) {
      ::FindClose(search);
      r.Line("malloc ERROR ON pFiles  %d", static_cast<int>(ENOMEM));
      return kArCreateNoMemory;
    }
    ::FindClose(search);
  }
  if (names.empty()) {
    r.Line("NO File:ON arCreateArcFile:%s %d", source, static_cast<int>(::GetLastError()));
    return kArCreateFileError;
  }
  s.withList = true;
  s.names = std::move(names);
  s.base = src;
  s.baseLength = src.size();
  s.iterations = static_cast<int>(s.names.size());
  return 0;
}

void IterationPaths(const Setup& s, int iteration, std::vector<std::string>& onTheWay, std::string& target) {
  onTheWay.clear();
  if (!s.withList) {
    target = s.base + "\\" + s.single;
    return;
  }
  const std::string& name = s.names[static_cast<std::size_t>(iteration)];
  for (std::size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1))
    onTheWay.push_back(s.base + "\\" + name.substr(0, at));
  target = s.base + "\\" + name;
}

// --- entries -----------------------------------------------------------------

std::string RelativePath(const Setup& s, const std::string& path) {
  std::string rel = path.size() > s.baseLength + 1 ? path.substr(s.baseLength + 1) : std::string();
  if (rel.empty()) return ".";
  for (char& c : rel)
    if (c == '\\') c = '/';
  return rel;
}

unsigned char KindFromAttributes(DWORD a) {
  unsigned char kind = (a & FILE_ATTRIBUTE_DIRECTORY) ? 0 : bk::ar::kKindRegular;
  if (a & FILE_ATTRIBUTE_SYSTEM) kind |= bk::ar::kKindSystem;
  if (a & FILE_ATTRIBUTE_HIDDEN) kind |= bk::ar::kKindHidden;
  if (a & FILE_ATTRIBUTE_READONLY) kind |= bk::ar::kKindReadOnly;
  if (a & FILE_ATTRIBUTE_ARCHIVE) kind |= bk::ar::kKindArchive;
  return kind;
}

std::int64_t TimeValueOf(const FILETIME& t) {
  const std::int64_t ticks = static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
  if (ticks < kEpoch) return -1;
  const std::int64_t seconds = (ticks - kEpoch) / 10000000;
  return seconds > kLastTimeValue ? -1 : seconds;
}

int CheckTimesAndSize(Reporter& r, const std::string& path, std::uint64_t size, std::int64_t mtime,
                      std::int64_t atime, std::uint32_t codes[4]) {
  // A time the codes cannot take counts as invalid as well.
  if (mtime == -1 || !bk::ar::arTimeToCodes(static_cast<std::time_t>(mtime), &codes[0], &codes[1])) {
    r.Line("%s is invalid file.(last update time)", path.c_str());
    return kArCreateBadTime;
  }
  if (atime == -1 || !bk::ar::arTimeToCodes(static_cast<std::time_t>(atime), &codes[2], &codes[3])) {
    r.Line("%s is invalid file.(last access time)", path.c_str());
    return kArCreateBadTime;
  }
  if (size > kMaxSize) {
    r.Line("%s is too large for the archive (4 GiB or more)", path.c_str());
    return kArCreateTooLarge;
  }
  return 0;
}

void ReportTooManyNames(Reporter& r, const std::string& path) {
  r.Line("arMakeMatchTable_ERROR: more than 65535 names in the archive at %s", path.c_str());
}

void ReportArchiveTooLarge(Reporter& r, const std::string& path) {
  r.Line("The archive would reach 4 GiB at %s", path.c_str());
}

int ReportShortRead(Reporter& r, const std::string& path, std::uint64_t size, std::uint64_t missing, DWORD error) {
  // As if the content were read in 4096-byte pieces: which piece came short.
  const std::uint64_t fullEnd = size / kPartPiece * kPartPiece;
  const bool inFullPiece = missing < fullEnd;
  const std::uint64_t pieceStart = inFullPiece ? missing / kPartPiece * kPartPiece : fullEnd;
  const std::uint64_t toRead = inFullPiece ? kPartPiece : size - fullEnd;
  r.ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__,
             "ReadFile, %d BytesRead=, %d BytesToRead, Path=%s", static_cast<int>(missing - pieceStart),
             static_cast<int>(toRead), path.c_str());
  if (inFullPiece) {
    r.Line("ReadFile_ERROR:ON arCreateArcFile:%s %d", path.c_str(), static_cast<int>(error));
    return kArCreateReadShort;
  }
  r.Line("ReadFile_size_ERROR:ON arCreateArcFile:%s %d", path.c_str(), static_cast<int>(error));
  return kArCreateFileError;
}

int ReportContentWriteFailed(Reporter& r, const std::string& path, std::uint64_t size, std::uint64_t offset,
                             DWORD error) {
  r.ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "WriteFile, Path=ArchiveFilePath");
  if (offset < size / kPartPiece * kPartPiece)
    r.Line("WriteFile_ERROR:ON arCreateArcFile:%s %d", path.c_str(), static_cast<int>(error));
  else
    r.Line("WriteFile ERROR:ON arCreateArcFile:%s %d", path.c_str(), static_cast<int>(error));
  return kArCreateWriteError;
}

int ReadDirectory(Reporter& r, const std::string& path, std::vector<WIN32_FIND_DATAA>& entries) {
  entries.clear();
  const std::string pattern = path + "\\*.*";
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    r.Line("FindFirstFile_ERROR:ON arCreateArcFile:%s %d", path.c_str(), static_cast<int>(::GetLastError()));
    return kArCreateNoSource;
  }
  bool noMemory = false;
  do {
    if (!g_markName.empty() && g_markName == found.cFileName) found.dwFileAttributes |= g_markAttributes;
    if (std::strcmp(found.cFileName, ".") == 0 || std::strcmp(found.cFileName, "..") == 0) continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    try {
      entries.push_back(found);
    } catch (const std::bad_alloc&) {
      noMemory = true;
      break;
    }
  } while (::FindNextFileA(search, &found));
  if (!::FindClose(search)) {
    r.Line("FindClose_ERROR:ON_arCreateArcFile %s %d", path.c_str(), static_cast<int>(::GetLastError()));
    return kArCreateFileError;
  }
  if (noMemory) {
    r.Line("malloc ERROR ON pFiles  %d", static_cast<int>(ENOMEM));
    return kArCreateNoMemory;
  }
  return 0;
}

}  // namespace bk::arc
