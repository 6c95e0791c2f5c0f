// The creation core step by step: every entry looked up by its path, its
// header, names and content written to the plain archive file in order, the
// final header written over the placeholder at the end. Kinds 0 and 5 and
// the encryption flag go this way, and it is the reference for the streamed
// way (ar_create_stream.cpp).
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "archive/acl_data.h"
#include "archive/ar_create_common.h"
#include "archive/ar_format.h"
#include "common/byte_order.h"
#include "common/io_faults.h"
#include "platform/unique_handle.h"

namespace {

using namespace bk::arc;
using bk::ar::VsConFileIn;
using bk::ar::VsConReIn;

constexpr std::size_t kPendingStart = 500;
constexpr std::size_t kPendingGrowth = 1000;
constexpr std::size_t kListBlock = 30;
constexpr std::size_t kListNameMax = 30;  // longer names are never found in the list

// The working state of one creation.
struct Creation {
  Reporter* r = nullptr;
  HANDLE archive = INVALID_HANDLE_VALUE;
  std::uint64_t length = 0;  // bytes written so far
  VsConReIn header;
  VsConFileIn entry;
  std::vector<char> pending;  // names added since the last names block
  std::size_t pendingLength = 0;
  std::uint32_t nameCount = 0;
  std::uint16_t nameMax = 0;
  std::vector<std::pair<std::uint16_t, std::string>> reused;  // "root", "sys", short names
  Setup setup;
  int securityMode = 0;
  DWORD lastWriteError = 0;
  bool tooLarge = false;  // the last failed write would have reached 4 GiB
  bk::ar::SumTally sums;  // of the bytes as written, the final header given at the end
  bool rewritingHeader = false;
};
Creation* g_c = nullptr;

// Appends bytes to the archive; false on a refused write or when the archive
// would reach 4 GiB (tooLarge).
bool WriteArchive(const void* data, std::size_t n) {
  g_c->tooLarge = false;
  if (n > kMaxSize - g_c->length) {
    g_c->tooLarge = true;
    return false;
  }
  if (bk::io::ShouldFail(bk::io::IoKind::kWrite)) {
    g_c->lastWriteError = ERROR_WRITE_FAULT;
    return false;
  }
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const DWORD want = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
    DWORD wrote = 0;
    if (!::WriteFile(g_c->archive, p, want, &wrote, nullptr) || wrote != want) {
      g_c->lastWriteError = ::GetLastError();
      return false;
    }
    if (!g_c->rewritingHeader) g_c->sums.Add(p, want);
    p += want;
    n -= want;
    g_c->length += want;
  }
  return true;
}

// A failed archive write: the 4 GiB message, or the call's error; result 27 or 3.
int WriteFailed(const std::string& path, const char* format, int number) {
  if (g_c->tooLarge) {
    ReportArchiveTooLarge(*g_c->r, path);
    return kArCreateTooLarge;
  }
  g_c->r->ApiError(kVskApiWindows, static_cast<std::int32_t>(g_c->lastWriteError), __LINE__,
                   "WriteFile, Path=ArchiveFilePath");
  g_c->r->Line(format, number, static_cast<int>(g_c->lastWriteError));
  return kArCreateWriteError;
}

// Adds a name to the pending block: its index, or -1 when the table is full.
int arMakeMatchTable(const std::string& name) {
  if (g_c->nameCount >= bk::ar::kMaxNames) return -1;
  const std::size_t need = g_c->pendingLength + name.size() + 1;
  if (need > g_c->pending.size()) {
    std::size_t size = g_c->pending.size();
    while (size < need) size += kPendingGrowth;
    g_c->pending.resize(size, '\0');
  }
  std::memcpy(g_c->pending.data() + g_c->pendingLength, name.c_str(), name.size() + 1);
  g_c->pendingLength = need;
  ++g_c->nameCount;
  if (name.size() > g_c->nameMax) g_c->nameMax = static_cast<std::uint16_t>(name.size());
  return static_cast<int>(g_c->nameCount);
}

void EmptyPending() {
  g_c->pendingLength = 0;
  std::fill(g_c->pending.begin(), g_c->pending.begin() + std::min(kPendingStart, g_c->pending.size()), '\0');
}

int vskcarChkList(const std::string& name) {
  if (name.size() > kListNameMax) return 0;
  for (const auto& [index, listed] : g_c->reused)
    if (listed == name) return index;
  return 0;
}

void vskcarAddList(const std::string& name, std::uint16_t index) {
  if (g_c->reused.capacity() == g_c->reused.size()) g_c->reused.reserve(g_c->reused.size() + kListBlock);
  g_c->reused.emplace_back(index, name);
}

// A reused name's index: from the list, or added to the table and the list.
// -1 when the table is full.
int ReusedName(const std::string& name) {
  const int known = vskcarChkList(name);
  if (known > 0) return known;
  const int index = arMakeMatchTable(name);
  if (index > 0) vskcarAddList(name, static_cast<std::uint16_t>(index));
  return index;
}

int vskcArGetFileAttributes(const std::string& path, VsConFileIn& e) {
  Reporter& r = *g_c->r;
  e = VsConFileIn{};
  struct _stat64 st;
  if (::_stat64(path.c_str(), &st) != 0) {
    const int error = errno;
    r.ApiError(kVskApiCLibrary, error, __LINE__, "_stat, Path=%s", path.c_str());
    r.Line("stat_ERROR:ON arMakeMatchTable %s %d", path.c_str(), error);
    return kArCreateFileError;
  }
  const bool directory = (st.st_mode & _S_IFDIR) != 0;
  const std::uint64_t size = directory || st.st_size < 0 ? 0 : static_cast<std::uint64_t>(st.st_size);
  std::uint32_t codes[4];
  if (const int rc = CheckTimesAndSize(r, path, size, st.st_mtime, st.st_atime, codes)) return rc;
  e.fileSize = e.dataSize = static_cast<std::uint32_t>(size);
  e.mDate = codes[0], e.mTime = codes[1], e.aDate = codes[2], e.aTime = codes[3];

  const int nameNo = arMakeMatchTable(RelativePath(g_c->setup, path));
  if (nameNo < 0) {
    ReportTooManyNames(r, path);
    return kArCreateTooManyNames;
  }
  e.nameNo = static_cast<std::uint16_t>(nameNo);

  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    r.Line("GetFileAttributes_ERROR:ON_MakeMatchTable zFlKind %s %d", path.c_str(),
           static_cast<int>(::GetLastError()));
    e.fileKind = directory ? 0 : bk::ar::kKindRegular;
  } else {
    e.fileKind = KindFromAttributes(attributes);
  }

  WIN32_FIND_DATAA found;
  bk::win::unique_hfind search(::FindFirstFileA(path.c_str(), &found));
  if (!search) {
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(::GetLastError()), __LINE__, "FindFirstFile, Path=%s",
               path.c_str());
    return kArCreateFileError;
  }
  if (found.cAlternateFileName[0] != '\0' && std::strcmp(found.cAlternateFileName, found.cFileName) != 0) {
    const int shortNo = ReusedName(found.cAlternateFileName);
    if (shortNo < 0) {
      ReportTooManyNames(r, path);
      return kArCreateTooManyNames;
    }
    e.shortNo = static_cast<std::uint16_t>(shortNo);
  }
  e.assocSize = 0;
  return 0;
}

int CopyContent(const std::string& path, std::uint64_t size) {
  Reporter& r = *g_c->r;
  if (size == 0) return 0;
  bk::win::unique_hfile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  DWORD openError = file ? 0 : ::GetLastError();
  std::vector<char> buffer(kPiece);
  std::uint64_t done = 0;
  while (done < size) {
    const DWORD want = static_cast<DWORD>(size - done < kPiece ? size - done : kPiece);
    DWORD got = 0;
    BOOL ok = FALSE;
    DWORD error = openError;
    if (bk::io::ShouldFail(bk::io::IoKind::kRead)) {
      error = ERROR_READ_FAULT;
    } else if (file) {
      ok = ::ReadFile(file.get(), buffer.data(), want, &got, nullptr);
      if (!ok) error = ::GetLastError();
    }
    if (!ok || got != want) return ReportShortRead(r, path, size, done + (ok ? got : 0), error);
    if (!WriteArchive(buffer.data(), got)) {
      if (g_c->tooLarge) {
        ReportArchiveTooLarge(r, path);
        return kArCreateTooLarge;
      }
      return ReportContentWriteFailed(r, path, size, done, g_c->lastWriteError);
    }
    done += got;
  }
  if (!::CloseHandle(file.release())) {
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(::GetLastError()), __LINE__, "CloseHandle, Path=%s",
               path.c_str());
    return kArCreateFileError;
  }
  return 0;
}

int arArcFiles(const std::string& path, bool noRecurse) {
  Reporter& r = *g_c->r;
  VsConFileIn& e = g_c->entry;
  if (const int rc = vskcArGetFileAttributes(path, e)) {
    r.Line("vskcArGetFileAttributes_ERROR:ON_arCreateArcFile:%s %d", path.c_str(), rc);
    return rc;
  }
  const int owner = ReusedName("root");
  if (owner < 0) {
    r.Line("arMakeMatchTable[root]_ERROR:ON_arCreateArcFile");
    return kArCreateNoMemory;
  }
  const int group = ReusedName("sys");
  if (group < 0) {
    r.Line("arMakeMatchTable[sys]_ERROR:ON_arCreateArcFile");
    return kArCreateNoMemory;
  }
  e.ownerNo = static_cast<std::uint16_t>(owner);
  e.groupNo = static_cast<std::uint16_t>(group);
  e.fileMode = bk::ar::kFileModeAll;

  unsigned char* payload = nullptr;
  std::uint32_t payloadLength = 0;
  if (g_c->securityMode == kVskarSecurityFromFiles || g_c->securityMode == kVskarSecurityPerEntry)
    vskarCaptureACLData(g_c->securityMode, path.c_str(), e.IsDirectory(), &payload, &payloadLength);
  struct Release {
    unsigned char* p;
    ~Release() {
      if (p != nullptr) vskarReleaseACLData(p);
    }
  } release{payload};
  e.assocSize = payloadLength > 0 ? payloadLength + static_cast<std::uint32_t>(bk::ar::kAssocHeadSize) : 0;
  e.entSize = bk::ar::kEntryHeaderSize;
  e.nameSize = static_cast<std::uint32_t>(g_c->pendingLength);

  unsigned char bytes[bk::ar::kEntryHeaderSize];
  bk::ar::EncodeEntry(e, bytes);
  g_c->sums.BeginEntry();
  if (!WriteArchive(bytes, sizeof bytes))
    return WriteFailed(path, "WriteFile_ERROR:ON_vskcarCreateArcFile D_size: %d %d", static_cast<int>(e.fileSize));
  if (payloadLength > 0) {
    unsigned char head[bk::ar::kAssocHeadSize];
    bk::StoreBe16(head, bk::ar::kAssocSecurity);
    bk::StoreBe32(head + 2, payloadLength);
    if (!WriteArchive(head, sizeof head))
      return WriteFailed(path, "WriteFile_ERROR:ON_ArcFile NumberOfBytes:%d %d", static_cast<int>(sizeof head));
    if (!WriteArchive(payload, payloadLength))
      return WriteFailed(path, "WriteFile_ERROR[PC-ACL Inf]:ON_ArcFile :%d %d", static_cast<int>(payloadLength));
  }
  if (g_c->pendingLength > 0 && !WriteArchive(g_c->pending.data(), g_c->pendingLength)) {
    if (g_c->tooLarge) {
      ReportArchiveTooLarge(r, path);
      return kArCreateTooLarge;
    }
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(g_c->lastWriteError), __LINE__,
               "WriteFile, Path=ArchiveFilePath");
    r.Line("WriteFile_ERROR:ON_CreateArcFile[Associating Information Data] %d", static_cast<int>(g_c->lastWriteError));
    return kArCreateWriteError;
  }
  EmptyPending();

  VskArCreateStats& stats = Stats();
  ++stats.entries;
  if (!e.IsDirectory()) {
    ++stats.files;
    const std::uint32_t size = e.fileSize;
    if (const int rc = CopyContent(path, size)) return rc;
    stats.contentBytes += size;
    return 0;
  }
  ++stats.directories;
  if (noRecurse) return 0;

  std::vector<WIN32_FIND_DATAA> children;
  if (const int rc = ReadDirectory(r, path, children)) return rc;
  for (const WIN32_FIND_DATAA& child : children) {
    const std::string childPath = path + "\\" + child.cFileName;
    if (const int rc = arArcFiles(childPath, false)) {
      r.Line("arArcFiles_ERROR:ON arCreateArcFile:%s", childPath.c_str());
      return rc;
    }
  }
  return 0;
}

int CreateCore(Reporter& r, const char* source, const char* nameList, int listCount, int compressionKind,
               const char* baseOverride, const char* archivePath, int securityMode) {
  Progress progress(archivePath);
  if (const int rc = CheckSource(r, source)) return rc;
  Creation c;
  c.r = &r;
  c.securityMode = securityMode;
  SplitSource(source, nameList, listCount, baseOverride, c.setup);
  progress.Set(10);

  bk::win::unique_hfile archive(::CreateFileA(archivePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!archive) {
    const DWORD error = ::GetLastError();
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "CreateFile, Path=%s", archivePath);
    r.Line("CreateFile_ERROR:ON_ArcFile %s %d", archivePath, static_cast<int>(error));
    return kArCreateWriteError;
  }
  c.archive = archive.get();
  c.pending.assign(kPendingStart, '\0');
  struct Current {
    explicit Current(Creation* c) { g_c = c; }
    ~Current() { g_c = nullptr; }
  } current(&c);

  const unsigned char zeros[bk::ar::kHeaderSize] = {};
  if (!WriteArchive(zeros, sizeof zeros)) {
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(c.lastWriteError), __LINE__, "WriteFile, Path=%s",
               archivePath);
    return kArCreateWriteError;
  }
  c.header.resGenNo[0] = 1;
  c.header.resGenNo[1] = 0;
  c.header.compKind = compressionKind == 0   ? bk::ar::kCompKindNone
                      : compressionKind == 1 ? bk::ar::kCompKindControl
                      : compressionKind == 5 ? bk::ar::kCompKindZlib
                                             : 0;
  c.header.driveNo = static_cast<std::uint16_t>(arMakeMatchTable(c.setup.driveName));
  c.header.pathNo = static_cast<std::uint16_t>(arMakeMatchTable(c.setup.basePathName));

  if (const int rc = EnumerateRootIfAsked(r, source, nameList, listCount, c.setup)) return rc;

  c.header.skipSize = 0;
  c.header.nameSize = static_cast<std::uint32_t>(c.pendingLength);
  if (!WriteArchive(c.pending.data(), c.pendingLength)) {
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(c.lastWriteError), __LINE__, "WriteFile, Path=%s",
               archivePath);
    r.Line("WriteFile_ERROR:ON_vskcarCreateArcFile[Header Names] %s %d", archivePath,
           static_cast<int>(c.lastWriteError));
    return kArCreateWriteError;
  }
  EmptyPending();

  progress.BeginIterations(c.setup.iterations);
  std::vector<std::string> onTheWay;
  std::string target;
  for (int i = 0; i < c.setup.iterations; ++i) {
    IterationPaths(c.setup, i, onTheWay, target);
    for (const std::string& dir : onTheWay) {
      if (const int rc = arArcFiles(dir, true)) {
        r.Line("ArcFilesOne_ERROR:_CreateArcFile %s", dir.c_str());
        return rc;
      }
    }
    if (const int rc = arArcFiles(target, false)) {
      r.Line("arArcFiles_ERROR:ON_vskcarCreateArcFile %s", target.c_str());
      return rc;
    }
    progress.IterationDone();
  }
  progress.Set(50);

  c.header.arcSize = static_cast<std::uint32_t>(c.length);
  c.header.nameCount = static_cast<std::uint16_t>(c.nameCount);
  c.header.nameMax = c.nameMax;
  c.header.headSize = bk::ar::kHeaderSize;
  unsigned char bytes[bk::ar::kHeaderSize];
  bk::ar::EncodeHeader(c.header, bytes);
  LARGE_INTEGER start{};
  const std::uint64_t length = c.length;
  c.length = 0;
  c.rewritingHeader = true;
  if (!::SetFilePointerEx(c.archive, start, nullptr, FILE_BEGIN) || !WriteArchive(bytes, sizeof bytes)) {
    const DWORD error = c.lastWriteError != 0 ? c.lastWriteError : ::GetLastError();
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "WriteFile, Path=%s", archivePath);
    return kArCreateWriteError;
  }
  c.length = length;
  if (!::CloseHandle(archive.release())) {
    r.Line("CloseHandle_ERROR:ON_vskcarCreateArcFile %s %d", archivePath, static_cast<int>(::GetLastError()));
    return kArCreateFileError;
  }
  c.sums.ReplaceHeader(bytes);
  KeepSums(c.sums);
  return 0;
}

}  // namespace

int vskarCreateArcFile(const char* source, const char* nameList, int listCount, int compressionKind,
                       const char* baseOverride, const char* archivePath, int securityMode) {
  if (source == nullptr || archivePath == nullptr) return kArCreateNoSource;
  RedirectionOff redirection;
  CreationLog log;
  Reporter r(log.handle());
  ResetStats();
  return CreateCore(r, source, nameList, listCount, compressionKind, baseOverride, archivePath, securityMode);
}
