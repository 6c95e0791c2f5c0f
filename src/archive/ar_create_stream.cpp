// Archive creation, planned and streamed (compression kind 1 without
// encryption, what making a backup asks for), and vskarCreateArcFileEx.
//
// Plan: the tree is walked once. Every entry below a listed name takes its
// size, times, attributes and short name from its parent's directory search;
// only the listed names and the directories on their way are looked up by
// path. The entries go through an ArWriter into a sink that keeps nothing,
// which yields the final header (arcSize, nameCount, nameMax) and meets the
// 65535-name and 4 GiB limits before a byte is written. A failure met while
// planning is kept with its messages and given when the stream reaches it.
//
// Stream: the same entries go through a second ArWriter whose sink feeds the
// control encoder, whose output goes to the archive path in large writes;
// the placeholder header is replaced by the planned one on its way, and the
// writer's final header is checked against it instead of being written over
// the start. Contents are read in 256 KiB pieces by a second thread, a few
// pieces ahead of the encoder (ar_create_ahead.h); the bytes are the same as
// when they are read between the encoder's steps.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "archive/acl_data.h"
#include "archive/ar_create_ahead.h"
#include "archive/ar_create_common.h"
#include "archive/ar_format.h"
#include "archive/ar_writer.h"
#include "codec/ecd.h"
#include "codec/ecd_stream_encode.h"
#include "common/io_faults.h"
#include "platform/unique_handle.h"

namespace {

using namespace bk::arc;
using bk::ar::ArNewEntry;

struct Item {
  ArNewEntry entry;
  std::string path;
};

struct Plan {
  std::vector<Item> items;
  std::vector<std::size_t> iterationEnd;  // items planned when each iteration was done
  int failure = 0;                        // what the creation ends with after the items
  unsigned char header[bk::ar::kHeaderSize] = {};
};

// Takes the bytes and keeps none; keeps the final header.
class PlanSink : public bk::ar::ArSink {
 public:
  explicit PlanSink(unsigned char* header) : header_(header) {}
  bool Write(const void*, std::size_t) override { return true; }
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t n) override {
    if (offset != 0 || n != bk::ar::kHeaderSize) return false;
    std::memcpy(header_, data, n);
    return true;
  }

 private:
  unsigned char* header_;
};

class Planner {
 public:
  Planner(Reporter& r, const Setup& s, int securityMode, bk::ar::ArWriter& w, Plan& plan)
      : r_(r), s_(s), securityMode_(securityMode), w_(w), plan_(plan) {}

  int Arc(const std::string& path, bool noRecurse, const WIN32_FIND_DATAA* found) {
    ArNewEntry e;
    int rc = found != nullptr && path.size() < MAX_PATH ? FromSearch(path, *found, e) : FromLookup(path, e);
    if (rc != 0) {
      r_.Line("vskcArGetFileAttributes_ERROR:ON_arCreateArcFile:%s %d", path.c_str(), rc);
      return rc;
    }
    if (securityMode_ == kVskarSecurityFromFiles || securityMode_ == kVskarSecurityPerEntry) {
      unsigned char* payload = nullptr;
      std::uint32_t length = 0;
      vskarCaptureACLData(securityMode_, path.c_str(), (e.fileKind & bk::ar::kKindRegular) == 0, &payload, &length);
      if (payload != nullptr) {
        try {
          e.security.assign(payload, payload + length);
        } catch (const std::bad_alloc&) {
          vskarReleaseACLData(payload);
          return NoMemory();
        }
        vskarReleaseACLData(payload);
      }
    }
    const std::uint32_t namesBefore = w_.NameCount();
    rc = w_.AddEntry(e);
    if (rc == bk::ar::kArTooLarge) {
      if (w_.NameCount() == namesBefore) {
        ReportTooManyNames(r_, path);
        r_.Line("vskcArGetFileAttributes_ERROR:ON_arCreateArcFile:%s %d", path.c_str(), kArCreateTooManyNames);
        return kArCreateTooManyNames;
      }
      ReportArchiveTooLarge(r_, path);
      return kArCreateTooLarge;
    }
    if (rc != bk::ar::kArOk) return NoMemory();
    if (e.size > 0) {
      static const unsigned char kNothing = 0;  // the plan's sink reads no byte
      if (w_.WriteContent(&kNothing, static_cast<std::size_t>(e.size)) != bk::ar::kArOk) {
        ReportArchiveTooLarge(r_, path);
        return kArCreateTooLarge;
      }
    }
    const bool directory = (e.fileKind & bk::ar::kKindRegular) == 0;
    try {
      plan_.items.push_back(Item{std::move(e), path});
    } catch (const std::bad_alloc&) {
      return NoMemory();
    }
    if (!directory || noRecurse) return 0;

    std::vector<WIN32_FIND_DATAA> children;
    if (const int failed = ReadDirectory(r_, path, children)) return failed;
    for (const WIN32_FIND_DATAA& child : children) {
      const std::string childPath = path + "\\" + child.cFileName;
      if (const int failed = Arc(childPath, false, &child)) {
        r_.Line("arArcFiles_ERROR:ON arCreateArcFile:%s", childPath.c_str());
        return failed;
      }
    }
    return 0;
  }

 private:
  int NoMemory() {
    r_.Line("malloc ERROR ON pFiles  %d", static_cast<int>(ENOMEM));
    return kArCreateNoMemory;
  }

  // What the parent's search reported.
  int FromSearch(const std::string& path, const WIN32_FIND_DATAA& found, ArNewEntry& e) {
    const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const std::uint64_t size = directory ? 0 : (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
    std::uint32_t codes[4];
    if (const int rc = CheckTimesAndSize(r_, path, size, TimeValueOf(found.ftLastWriteTime),
                                         TimeValueOf(found.ftLastAccessTime), codes))
      return rc;
    Fill(path, found, size, codes, e);
    return 0;
  }

  // A listed name or a directory on its way: its status and its own search.
  int FromLookup(const std::string& path, ArNewEntry& e) {
    struct _stat64 st;
    if (::_stat64(path.c_str(), &st) != 0) {
      const int error = errno;
      r_.ApiError(kVskApiCLibrary, error, __LINE__, "_stat, Path=%s", path.c_str());
      r_.Line("stat_ERROR:ON arMakeMatchTable %s %d", path.c_str(), error);
      return kArCreateFileError;
    }
    const bool directory = (st.st_mode & _S_IFDIR) != 0;
    const std::uint64_t size = directory || st.st_size < 0 ? 0 : static_cast<std::uint64_t>(st.st_size);
    std::uint32_t codes[4];
    if (const int rc = CheckTimesAndSize(r_, path, size, st.st_mtime, st.st_atime, codes)) return rc;
    WIN32_FIND_DATAA found;
    bk::win::unique_hfind search(::FindFirstFileA(path.c_str(), &found));
    if (!search) {
      r_.ApiError(kVskApiWindows, static_cast<std::int32_t>(::GetLastError()), __LINE__, "FindFirstFile, Path=%s",
                  path.c_str());
      return kArCreateFileError;
    }
    if (directory) found.dwFileAttributes |= FILE_ATTRIBUTE_DIRECTORY;
    else found.dwFileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY);
    Fill(path, found, size, codes, e);
    return 0;
  }

  void Fill(const std::string& path, const WIN32_FIND_DATAA& found, std::uint64_t size, const std::uint32_t codes[4],
            ArNewEntry& e) {
    e.path = RelativePath(s_, path);
    if (found.cAlternateFileName[0] != '\0' && std::strcmp(found.cAlternateFileName, found.cFileName) != 0)
      e.shortName = found.cAlternateFileName;
    e.size = size;
    e.mDate = codes[0], e.mTime = codes[1], e.aDate = codes[2], e.aTime = codes[3];
    e.fileKind = KindFromAttributes(found.dwFileAttributes);
  }

  Reporter& r_;
  const Setup& s_;
  int securityMode_;
  bk::ar::ArWriter& w_;
  Plan& plan_;
};

// The encoded archive file; every write asks the fault seam first.
class FileOutput : public bk::ecd::EncodedOutput {
 public:
  explicit FileOutput(HANDLE file) : file_(file) {}
  bool Write(const void* data, std::size_t n) override {
    if (bk::io::ShouldFail(bk::io::IoKind::kWrite)) {
      error_ = ERROR_WRITE_FAULT;
      return false;
    }
    return WriteAll(file_, data, n, error_);
  }
  DWORD error() const { return error_ != 0 ? error_ : ERROR_WRITE_FAULT; }

 private:
  HANDLE file_;
  DWORD error_ = 0;
};

// Archive bytes into the encoder, with the planned header in place of the
// placeholder.
class StreamSink : public bk::ar::ArSink {
 public:
  StreamSink(bk::ecd::ControlStreamEncoder& encoder, const unsigned char* header, bk::ar::SumTally& sums)
      : encoder_(encoder), header_(header), sums_(sums) {}
  bool Write(const void* data, std::size_t n) override {
    failedAt_ = position_;
    const auto* p = static_cast<const unsigned char*>(data);
    if (position_ < bk::ar::kHeaderSize && n > 0) {
      const std::size_t head = std::min<std::size_t>(n, bk::ar::kHeaderSize - static_cast<std::size_t>(position_));
      if (!encoder_.Write(header_ + position_, head)) return false;
      sums_.Add(header_ + position_, head);
      position_ += head;
      p += head;
      n -= head;
    }
    if (n > 0 && !encoder_.Write(p, n)) return false;
    sums_.Add(p, n);
    position_ += n;
    return true;
  }
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t n) override {
    return offset == 0 && n == bk::ar::kHeaderSize && std::memcmp(data, header_, n) == 0;
  }
  // Archive offset of the write that failed last.
  std::uint64_t FailedAt() const { return failedAt_; }

 private:
  bk::ecd::ControlStreamEncoder& encoder_;
  const unsigned char* header_;
  bk::ar::SumTally& sums_;
  std::uint64_t position_ = 0, failedAt_ = 0;
};

// Messages of a failed write of an entry's header, associated information or
// names, by where in the entry it failed; 3.
int EntryWriteFailed(Reporter& r, const Item& item, std::uint64_t offset, DWORD error) {
  r.ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "WriteFile, Path=ArchiveFilePath");
  const std::uint64_t assoc = item.entry.security.empty() ? 0 : item.entry.security.size() + bk::ar::kAssocHeadSize;
  if (offset < bk::ar::kEntryHeaderSize)
    r.Line("WriteFile_ERROR:ON_vskcarCreateArcFile D_size: %d %d", static_cast<int>(item.entry.size),
           static_cast<int>(error));
  else if (assoc != 0 && offset < bk::ar::kEntryHeaderSize + bk::ar::kAssocHeadSize)
    r.Line("WriteFile_ERROR:ON_ArcFile NumberOfBytes:%d %d", static_cast<int>(bk::ar::kAssocHeadSize),
           static_cast<int>(error));
  else if (offset < bk::ar::kEntryHeaderSize + assoc)
    r.Line("WriteFile_ERROR[PC-ACL Inf]:ON_ArcFile :%d %d", static_cast<int>(item.entry.security.size()),
           static_cast<int>(error));
  else
    r.Line("WriteFile_ERROR:ON_CreateArcFile[Associating Information Data] %d", static_cast<int>(error));
  return kArCreateWriteError;
}

int StreamContent(Reporter& r, const Item& item, bk::ar::ArWriter& w, const FileOutput& output,
                  std::vector<char>& buffer) {
  const std::uint64_t size = item.entry.size;
  if (size == 0) return 0;
  bk::win::unique_hfile file(::CreateFileA(item.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  const DWORD openError = file ? 0 : ::GetLastError();
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
    if (!ok || got != want) return ReportShortRead(r, item.path, size, done + (ok ? got : 0), error);
    if (w.WriteContent(buffer.data(), got) != bk::ar::kArOk)
      return ReportContentWriteFailed(r, item.path, size, done, output.error());
    done += got;
  }
  if (!::CloseHandle(file.release())) {
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(::GetLastError()), __LINE__, "CloseHandle, Path=%s",
               item.path.c_str());
    return kArCreateFileError;
  }
  return 0;
}

// The same, with the pieces read ahead by `ahead` (the file's pieces are the
// next ones it gives).
int StreamContentAhead(Reporter& r, const Item& item, bk::ar::ArWriter& w, const FileOutput& output,
                       ContentAhead& ahead) {
  const std::uint64_t size = item.entry.size;
  if (size == 0) return 0;
  std::uint64_t done = 0;
  for (;;) {
    const ContentPiece& piece = ahead.Next();
    if (!piece.ok || piece.got != piece.asked)
      return ReportShortRead(r, item.path, size, done + (piece.ok ? piece.got : 0), piece.error);
    if (w.WriteContent(piece.data.get(), piece.got) != bk::ar::kArOk)
      return ReportContentWriteFailed(r, item.path, size, done, output.error());
    done += piece.got;
    const bool last = piece.last;
    const bool closeOk = piece.closeOk;
    const DWORD closeError = piece.closeError;
    ahead.Release();
    if (!last) continue;
    if (!closeOk) {
      r.ApiError(kVskApiWindows, static_cast<std::int32_t>(closeError), __LINE__, "CloseHandle, Path=%s",
                 item.path.c_str());
      return kArCreateFileError;
    }
    return 0;
  }
}

// Walks the tree into `plan` (its items, iteration ends and final header).
// 0, or the creation's result when nothing can be planned; a failure met on
// the way is kept in plan.failure with its messages.
int PlanArchive(Reporter& r, const Setup& setup, int securityMode, Plan& plan) {
  PlanSink sink(plan.header);
  bk::ar::ArWriter planned(sink);
  if (planned.Begin(bk::ar::kCompKindControl, setup.driveName, setup.basePathName) != bk::ar::kArOk) {
    r.Line("arMakeMatchTable[PathName]_ERROR:ON_arCreateArcFile %s", setup.basePathName.c_str());
    return kArCreateNoMemory;
  }
  r.Keep(true);
  Planner planner(r, setup, securityMode, planned, plan);
  std::vector<std::string> onTheWay;
  std::string target;
  for (int i = 0; i < setup.iterations && plan.failure == 0; ++i) {
    IterationPaths(setup, i, onTheWay, target);
    for (const std::string& dir : onTheWay) {
      if ((plan.failure = planner.Arc(dir, true, nullptr)) != 0) {
        r.Line("ArcFilesOne_ERROR:_CreateArcFile %s", dir.c_str());
        break;
      }
    }
    if (plan.failure == 0 && (plan.failure = planner.Arc(target, false, nullptr)) != 0)
      r.Line("arArcFiles_ERROR:ON_vskcarCreateArcFile %s", target.c_str());
    if (plan.failure == 0) plan.iterationEnd.push_back(plan.items.size());
  }
  r.Keep(false);
  if (plan.failure == 0 && planned.Finish() != bk::ar::kArOk) plan.failure = kArCreateNoMemory;
  if (plan.failure != 0) std::memset(plan.header, 0, sizeof plan.header);
  return 0;
}

// The reading thread over the planned files' contents; null with the
// one-thread stream. *failed when it cannot be started.
std::unique_ptr<ContentAhead> StartReadingAhead(const Plan& plan, bool* failed) {
  *failed = false;
  if (!PipelinedStream()) return nullptr;
  std::vector<ContentFile> files;
  files.reserve(plan.items.size());
  for (const Item& item : plan.items) files.push_back(ContentFile{&item.path, item.entry.size});
  auto ahead = std::make_unique<ContentAhead>(std::move(files));
  if (!ahead->Ok()) *failed = true;
  return ahead;
}

void CountEntry(const Item& item) {
  VskArCreateStats& stats = Stats();
  ++stats.entries;
  if ((item.entry.fileKind & bk::ar::kKindRegular) != 0) {
    ++stats.files;
    stats.contentBytes += item.entry.size;
  } else {
    ++stats.directories;
  }
}

// What the stream writes through.
struct Stream {
  FileOutput& output;
  StreamSink& sink;
  bk::ar::ArWriter& writer;
  bk::ar::SumTally& sums;
  std::vector<char>& buffer;
  ContentAhead* ahead;  // null: contents read here
};

// Every planned item into the stream, in order: its entry, then its content;
// the progress moves after each iteration.
int StreamItems(Reporter& r, const Plan& plan, Stream& st, Progress& progress) {
  std::size_t next = 0;
  for (std::size_t iteration = 0; iteration <= plan.iterationEnd.size(); ++iteration) {
    const std::size_t end = iteration < plan.iterationEnd.size() ? plan.iterationEnd[iteration] : plan.items.size();
    for (; next < end; ++next) {
      const Item& item = plan.items[next];
      const std::uint64_t entryStart = st.writer.Length();
      st.sums.BeginEntry();
      if (st.writer.AddEntry(item.entry) != bk::ar::kArOk)
        return EntryWriteFailed(r, item, st.sink.FailedAt() - entryStart, st.output.error());
      if (const int rc = st.ahead != nullptr ? StreamContentAhead(r, item, st.writer, st.output, *st.ahead)
                                             : StreamContent(r, item, st.writer, st.output, st.buffer))
        return rc;
      CountEntry(item);
    }
    if (iteration < plan.iterationEnd.size()) progress.IterationDone();
  }
  return 0;
}

int NoStreamMemory(Reporter& r, const char* archivePath) {
  r.Line("LocalAlloc_ERROR:ON_vskarCreateArcFile %s %d", archivePath, static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
  return kArCreateNoMemory;
}

// The streamed creation core: plan, then stream the plan through the
// encoder while a second thread reads the contents ahead. *encoded gets the
// encoder's result of the final output (0, or kEcdIoError when it cannot be
// written).
int StreamCore(Reporter& r, const char* source, const char* nameList, int listCount, const char* archivePath,
               int securityMode, int* encoded) {
  *encoded = kEcdEncodeOk;
  Progress progress(archivePath);
  if (const int rc = CheckSource(r, source)) return rc;
  Setup setup;
  SplitSource(source, nameList, listCount, nullptr, setup);
  progress.Set(10);

  bk::win::unique_hfile archive(::CreateFileA(archivePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!archive) {
    const DWORD error = ::GetLastError();
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "CreateFile, Path=%s", archivePath);
    r.Line("CreateFile_ERROR:ON_ArcFile %s %d", archivePath, static_cast<int>(error));
    return kArCreateWriteError;
  }
  if (const int rc = EnumerateRootIfAsked(r, source, nameList, listCount, setup)) return rc;

  Plan plan;
  if (const int rc = PlanArchive(r, setup, securityMode, plan)) return rc;
  // The limits stop the creation before anything is written.
  if (plan.failure == kArCreateTooManyNames || plan.failure == kArCreateTooLarge) {
    r.GiveKept();
    return plan.failure;
  }

  FileOutput output(archive.get());
  bk::ecd::ControlStreamEncoder encoder(output, kEcdKindControl);
  bk::ar::SumTally sums;
  StreamSink sink(encoder, plan.header, sums);
  bk::ar::ArWriter writer(sink);
  std::vector<char> buffer;
  try {
    buffer.resize(kPiece);
  } catch (const std::bad_alloc&) {
    return NoStreamMemory(r, archivePath);
  }
  if (!encoder.Begin() || writer.Begin(bk::ar::kCompKindControl, setup.driveName, setup.basePathName) != bk::ar::kArOk) {
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(output.error()), __LINE__, "WriteFile, Path=%s", archivePath);
    return kArCreateWriteError;
  }
  bool noThread = false;
  const std::unique_ptr<ContentAhead> ahead = StartReadingAhead(plan, &noThread);
  if (noThread) return NoStreamMemory(r, archivePath);
  progress.BeginIterations(setup.iterations);
  Stream stream{output, sink, writer, sums, buffer, ahead.get()};
  if (const int rc = StreamItems(r, plan, stream, progress)) return rc;
  if (plan.failure != 0) {
    r.GiveKept();
    return plan.failure;
  }
  progress.Set(50);
  if (writer.Finish() != bk::ar::kArOk) {
    // Cannot happen: the stream's header is the one planned.
    r.Line("WriteFile_ERROR:ON_vskcarCreateArcFile[Header] %s %d", archivePath, 0);
    return kArCreateWriteError;
  }
  if (!encoder.Finish()) {
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(output.error()), __LINE__, "WriteFile, Path=%s", archivePath);
    *encoded = kEcdIoError;
  }
  if (!::CloseHandle(archive.release())) {
    r.Line("CloseHandle_ERROR:ON_vskcarCreateArcFile %s %d", archivePath, static_cast<int>(::GetLastError()));
    return kArCreateFileError;
  }
  if (*encoded == kEcdEncodeOk) KeepSums(sums);
  return 0;
}

}  // namespace

int vskarCreateArcFileEx(const char* source, const char* nameList, int listCount, int compressionKind,
                         int /*reserved*/, const char* archivePath, int securityMode, int encrypt) {
  if (source == nullptr || archivePath == nullptr) return kArCreateNoSource;
  Progress progress(archivePath);
  progress.Start();
  progress.Set(10);
  const std::string work = std::string(archivePath) + ".ecd";

  if (compressionKind == kEcdKindControl && encrypt == 0 && !PlainWayForTest()) {
    CreationLog log;
    Reporter r(log.handle());
    ResetStats();
    int encoded = kEcdEncodeOk;
    int rc;
    {
      RedirectionOff redirection;
      rc = StreamCore(r, source, nameList, listCount, archivePath, securityMode, &encoded);
    }
    if (rc != 0) {
      r.Line("Archive process failure:%s %d", source, rc);
      return rc;
    }
    // No work copy is made on this way; one left by an earlier creation goes.
    ::DeleteFileA(work.c_str());
    if (encoded != kEcdEncodeOk) r.Line("Error in Compression/Encryption %s %d", archivePath, encoded);
    return encoded;
  }

  const int rc = vskarCreateArcFile(source, nameList, listCount, compressionKind, nullptr, archivePath, securityMode);
  if (compressionKind == kEcdKindNone && encrypt == 0) return rc;
  CreationLog log;
  Reporter r(log.handle());
  if (rc != 0) {
    r.Line("Archive process failure:%s %d", source, rc);
    return rc;
  }
  ::DeleteFileA(work.c_str());
  if (!::MoveFileA(archivePath, work.c_str())) {
    const DWORD error = ::GetLastError();
    r.ApiError(kVskApiWindows, static_cast<std::int32_t>(error), __LINE__, "MoveFile, From %s To %s", archivePath,
               work.c_str());
    r.Line("MoveFile Error On vskarCreateArcFileEx %s %d", archivePath, static_cast<int>(error));
    ::DeleteFileA(archivePath);
  }
  const int encoded = vskEcdEncodeFile(work.c_str(), archivePath, encrypt, compressionKind);
  if (encoded != 0) {
    r.Line("Error in Compression/Encryption %s %d", archivePath, encoded);
    ForgetSums();
  }
  ::DeleteFileA(work.c_str());
  return encoded;
}
