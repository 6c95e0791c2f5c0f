// Extraction of the current layout (Windows): the header and base
// directories, then entry after entry in archive order.
//
// Each file is opened once by path without a look first (see
// OpenForWriting). Content moves in large pieces; the file's flush, times and
// attributes (together on the open handle, read-only last, so nothing before
// it is hindered) and close are handed to the closing threads while the next
// file is written. An entry with a security descriptor is flushed and closed
// here, so that the descriptor is applied by path before times and
// attributes, in the order content, security, times, attributes. Directories
// get their times and attributes after everything inside them was written
// and every file was closed.
#include <direct.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "archive/ar_extract.h"
#include "archive/acl_data.h"
#include "archive/ar_extract_internal.h"
#include "archive/ar_extract_pipeline.h"
#include "archive/ar_paths.h"
#include "common/byte_order.h"
#include "common/io_faults.h"
#include "logging/log.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"

namespace bk::ar::ex {

namespace {

constexpr const char* kSource = kSourceNew;

// Windows attributes of a fileKind.
DWORD AttributesOf(unsigned char kind) {
  if (kind == kKindRegular) return FILE_ATTRIBUTE_NORMAL;
  DWORD a = 0;
  if ((kind & kKindRegular) == 0) a |= FILE_ATTRIBUTE_DIRECTORY;
  if (kind & kKindSystem) a |= FILE_ATTRIBUTE_SYSTEM;
  if (kind & kKindHidden) a |= FILE_ATTRIBUTE_HIDDEN;
  if (kind & kKindReadOnly) a |= FILE_ATTRIBUTE_READONLY;
  if (kind & kKindArchive) a |= FILE_ATTRIBUTE_ARCHIVE;
  return a;
}

// The process-wide state of one extraction.
struct Extraction {
  ArchiveInput* input = nullptr;
  const char* archivePath = "";
  VsConReIn header;
  MatchTable names;
  std::uint64_t position = 0;
  std::string base;
  bool progress = false;
  std::uint64_t threshold = 0, step = 0;
  int percent = 20;
  std::unique_ptr<unsigned char[]> buffer;  // kPiece bytes
  std::vector<PendingDirectory> directories;
  FileCloser* closer = nullptr;
};

int Defective(const Extraction& x, const std::string& why) {
  Event(kSource, __LINE__, "The structurally defective ResourceFile: %s", why.c_str());
  Line("Defective ResourceFile %s: %s", x.archivePath, why.c_str());
  return -1;
}

int UnsafeEntry(const char* name, const std::string& why) {
  Event(kSource, __LINE__, "The entry is outside the target directory: %s (%s)", name, why.c_str());
  Line("Unsafe entry path(%s) in vskcuarLoopProsec: %s", name, why.c_str());
  return -1;
}

// Reads exactly n archive bytes; false with the input's error.
bool ReadAll(Extraction& x, void* out, std::size_t n, DWORD* error) {
  if (x.input->Read(out, n) == n) return true;
  *error = x.input->Error();
  return false;
}

void TimesFailed(const std::string& path, DWORD attributes, DWORD error) {
  Event(kSource, __LINE__, "This File Is Not A Directory: Path=%s, FileAttributes=%ld, GetLastError=%d", path.c_str(),
        static_cast<long>(attributes), static_cast<int>(error));
  Line("_utime_ERROR:ON arCreateUnarcFile:%s", path.c_str());
}

void SetAttributesByPath(const std::string& path, DWORD attributes) {
  if (!::SetFileAttributesA(path.c_str(), SettableAttributes(attributes)))
    ApiWindows(kSource, __LINE__, ::GetLastError(), "SetFileAttributes, Path=%s SetAttributes=%ld", path.c_str(),
               static_cast<long>(attributes));
}

// Copies the entry's content into the open file.
int CopyContent(Extraction& x, HANDLE file, const std::string& path, std::uint32_t size) {
  const char* p = path.c_str();
  std::uint32_t left = size;
  while (left > 0) {
    const std::size_t piece = left < kPiece ? left : kPiece;
    const bool full = piece == kPiece;
    const std::size_t got = x.input->Read(x.buffer.get(), piece);
    if (got != piece) {
      const DWORD error = x.input->Error();
      if (full) {
        ApiWindows(kSource, __LINE__, error, "ReadFile, Path=ResourceFilePath");
        Line("ReadFile size_ERROR:ON arCreateUnarcFile:%s %d", p, static_cast<int>(error));
      } else {
        ApiWindows(kSource, __LINE__, error, "ReadFile, %ld BytesRead, %ld BytesToRead, Path=ResourceFilePath",
                   static_cast<long>(got), static_cast<long>(piece));
        Line("ReadFile size_ERROR:ON vskarCreateUnarcFile:%s %d", p, static_cast<int>(error));
      }
      return -1;
    }
    DWORD written = 0;
    if (!WriteContent(file, x.buffer.get(), static_cast<DWORD>(piece), &written)) {
      const DWORD error = ::GetLastError();
      ApiWindows(kSource, __LINE__, error, "WriteFile, Path=%s", p);
      Line("WriteFile ERROR:ON arCreateUnarcFile:%s %d", p, static_cast<int>(error));
      return -1;
    }
    if (written != piece) {
      DWORD error = 0;
      if (CompleteShortWrite(file, x.buffer.get(), static_cast<DWORD>(piece), &written, &error)) {
        left -= static_cast<std::uint32_t>(piece);
        continue;
      }
      if (full)
        ApiWindows(kSource, __LINE__, error, "WriteFile, %ld BytesWritten, %d BytesToWrite, Path=%s",
                   static_cast<long>(written), static_cast<int>(piece), p);
      else
        ApiWindows(kSource, __LINE__, error, "WriteFile, %ld BytesWritten, %ld BytesToWrite, Path=%s",
                   static_cast<long>(written), static_cast<long>(piece), p);
      Line("WriteFile size_ERROR:ON arCreateUnarcFile:%s %d", p, static_cast<int>(error));
      return -1;
    }
    left -= static_cast<std::uint32_t>(piece);
  }
  return 0;
}

int CloseFailed(const std::string& path, DWORD error, const char* call) {
  ApiWindows(kSource, __LINE__, error, "%s, Path=%s", call, path.c_str());
  Line("CloseHandle_ERROR:ON Unarc:File = %s, ERR = %d", path.c_str(), static_cast<int>(error));
  return -1;
}

// Logs what the closer met with the files done since the last call, as the
// one-thread extraction logs it; -1 when a flush or close failed.
int ReportClosed(Extraction& x) {
  std::vector<CloseOutcome> done;
  x.closer->TakeDone(done);
  int rc = 0;
  for (const CloseOutcome& o : done) {
    if (o.timesFailed) TimesFailed(o.path, o.attributes, o.timesError);
    if (o.failedCall != nullptr) {
      rc = CloseFailed(o.path, o.failedError, o.failedCall);
      continue;
    }
    if (o.attributesFailed)
      ApiWindows(kSource, __LINE__, o.attributesError, "SetFileAttributes, Path=%s SetAttributes=%ld", o.path.c_str(),
                 static_cast<long>(o.attributes));
  }
  if (x.closer->Broken()) {
    Line("malloc_ERROR:ON arCreateUnarcFile %d", 0);
    rc = -1;
  }
  return rc;
}

// A regular file entry: replace, write, flush, security, times, attributes.
int ExtractFile(Extraction& x, const VsConFileIn& e, const std::string& path, const std::vector<unsigned char>* security,
                bool timesOk, const FILETIME& access, const FILETIME& modification) {
  const char* p = path.c_str();
  const DWORD attributes = AttributesOf(e.fileKind);
  constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN;
  DWORD error = 0;
  // The same path written twice: its first file must be closed before the
  // second open.
  if (x.closer->Holds(FoldedPath(path))) x.closer->Drain();
  UniqueFile file = OpenForWriting(p, kAccess, kFlags, e.dataSize, &error);
  if (!file && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED ||
                error == ERROR_SHARING_VIOLATION)) {
    if (RemoveForReplace(path, kDeleteRetries, kSource) < 0) return -1;
    file.reset(::CreateFileA(p, kAccess, 0, nullptr, OPEN_ALWAYS, kFlags, nullptr));
    error = file ? 0 : ::GetLastError();
  }
  if (!file) {
    ApiWindows(kSource, __LINE__, error, "CreateFile, Path=%s", p);
    Line("CreateFile_ERROR:File = %s, ERR = %ld", p, static_cast<long>(error));
    return -1;
  }
  if (CopyContent(x, file.get(), path, e.dataSize) != 0) return -1;
  if (security == nullptr) {
    // Flush, times, attributes and close go on while the next file is written.
    CloseJob job;
    job.failFlush = bk::io::ShouldFail(bk::io::IoKind::kWrite);
    job.file = std::move(file);
    job.path = path;
    job.timesOk = timesOk;
    job.access = access;
    job.modification = modification;
    job.attributes = attributes;
    x.closer->Submit(std::move(job));
    x.position += e.fileSize;
    return ReportClosed(x);
  }
  if (bk::io::ShouldFail(bk::io::IoKind::kWrite)) return CloseFailed(path, ERROR_WRITE_FAULT, "FlushFileBuffers");
  if (!::FlushFileBuffers(file.get())) return CloseFailed(path, ::GetLastError(), "FlushFileBuffers");
  x.position += e.fileSize;

  // The descriptor goes on by path: close first, then security, times and
  // attributes one after the other.
  if (!::CloseHandle(file.release())) return CloseFailed(path, ::GetLastError(), "CloseHandle");
  vskarSetACLData(p, security->data(), static_cast<std::uint32_t>(security->size()));
  DWORD timeError = ERROR_INVALID_PARAMETER;
  if (!timesOk || !SetTimesByPath(path, access, modification, &timeError)) TimesFailed(path, attributes, timeError);
  SetAttributesByPath(path, attributes);
  return 0;
}

int ExtractDirectory(Extraction& x, const VsConFileIn& e, const std::string& path,
                     const std::vector<unsigned char>* security, bool timesOk, const FILETIME& access,
                     const FILETIME& modification) {
  const char* p = path.c_str();
  if (::_mkdir(p) != 0) {
    const int err = errno;
    const DWORD attributes = ::GetFileAttributesA(p);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      if (err == EEXIST) {
        const DWORD error = ::GetLastError();
        ApiWindows(kSource, __LINE__, error, "GetFileAttributes, Path=%s", p);
        Line("GetFileAttributesFile_Error path=%s in FarRemoveDirectry GetLastError=%d", p, static_cast<int>(error));
      } else {
        ApiCLibrary(kSource, __LINE__, err, "_mkdir, Path=%s", p);
        Line("mkdir_ERROR:File=%s, ERR=%d", p, err);
      }
      return -1;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      Event(kSource, __LINE__, "This File is not a Directory: FileAttributes=%ld", static_cast<long>(attributes));
      Line("Not Directory(%s) in FarRemoveDirectry", p);
      return -1;
    }
  }
  x.position += e.fileSize;
  if (security != nullptr) vskarSetACLData(p, security->data(), static_cast<std::uint32_t>(security->size()));
  PendingDirectory pending;
  pending.path = path;
  pending.timesOk = timesOk;
  pending.access = access;
  pending.modification = modification;
  pending.attributes = AttributesOf(e.fileKind);
  x.directories.push_back(std::move(pending));
  return 0;
}

int vskcuarGetInfmation(Extraction& x, const char* archivePath, const char* targetDir) {
  unsigned char bytes[kHeaderSize];
  DWORD error = 0;
  if (!ReadAll(x, bytes, sizeof bytes, &error)) {
    Line("vskcuarGetInfmation, ReadFile() Error=%d:%s", static_cast<int>(error), archivePath);
    std::memset(bytes, 0, sizeof bytes);
  }
  x.header = DecodeHeader(bytes);
  if (CheckHeader(x.header) != kArOk) return kArDefectiveHeader;
  x.position = kHeaderSize;
  const VsConReIn& h = x.header;
  if (h.skipSize != 0) {
    if (!x.input->Skip(h.skipSize)) {
      error = x.input->Error();
      ApiWindows(kSource, __LINE__, error, "SetFilePointer, Path=%s", archivePath);
      Line("SetFilePointer_ERROR:ON arCreateUnarcFile ERR = %d", static_cast<int>(error));
      return -1;
    }
    x.position += h.skipSize;
  }
  if (h.nameMax > kMaxNameLength)
    return Defective(x, "VsConReIn.nameMax=" + std::to_string(h.nameMax) + " is longer than a path");
  if (!x.names.Reset(h.nameCount, h.nameMax)) {
    ApiCLibrary(kSource, __LINE__, ENOMEM, "malloc, Size=%d", static_cast<int>(h.nameCount * (h.nameMax + 1)));
    Line("malloc_ERROR:ON arCreateUnarcFile");
    return -1;
  }
  if (h.nameSize != 0) {
    // No block can hold more than the whole table.
    if (h.nameSize > std::uint64_t{h.nameCount} * (h.nameMax + 1u))
      return Defective(x, "VsConReIn.nameSize=" + std::to_string(h.nameSize) + " exceeds the match table");
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[h.nameSize]);
    if (!block) {
      Line("malloc_ERROR:ON vskcuarGetMem");
      return -1;
    }
    if (!ReadAll(x, block.get(), h.nameSize, &error)) {
      ApiWindows(kSource, __LINE__, error, "ReadFile, Path=ResourcePath");
      Line("ReadFile_ERROR arCreateUnarcFile, ERR: %d", static_cast<int>(error));
      return -1;
    }
    x.position += h.nameSize;
    if (!x.names.AppendBlock(block.get(), h.nameSize))
      return Defective(x, "the header names block does not fit VsConReIn.nameCount and nameMax");
  }

  if (targetDir != nullptr) {
    x.base = targetDir;
  } else {
    const char* drive = x.names.Name(h.driveNo);
    const char* basePath = x.names.Name(h.pathNo);
    if (drive == nullptr || basePath == nullptr)
      return Defective(x, "VsConReIn.driveNo or pathNo is not a name of the header block");
    const bool letter = std::strlen(drive) == 1 &&
                        ((drive[0] >= 'A' && drive[0] <= 'Z') || (drive[0] >= 'a' && drive[0] <= 'z'));
    std::string why;
    if (!letter) return Defective(x, std::string("the drive name \"") + drive + "\" is not a drive letter");
    if (!IsSafeBasePathName(basePath, &why))
      return Defective(x, std::string("the base path name \"") + basePath + "\": " + why);
    x.base = std::string(drive) + ":\\" + basePath;
  }
  if (x.base.size() > kMaxPathLength) return Defective(x, "the target base is longer than a path");

  std::string failed;
  const int made = MakeBaseDirectories(x.base, "\\,/", &failed, &error);
  if (made == 1) {
    ApiWindows(kSource, __LINE__, error, "GetFileAttributes, Path=%s", failed.c_str());
    Line("GetFileAttributes:_ERROR:ON arCreateUnarcFile MAKEPATH: %s, ERR = %d", failed.c_str(),
         static_cast<int>(error));
    return -1;
  }
  if (made == 2) {
    ApiWindows(kSource, __LINE__, error, "CreateDirectory, Path=%s", failed.c_str());
    Line("CreateDirectory_ERROR:ON arCreateUnarcFile");
    return -1;
  }
  if (x.progress) x.step = h.arcSize / 12;
  return 0;
}

// A failed read of an entry's associated information or names.
int AssociatedReadFailed(DWORD error) {
  ApiWindows(kSource, __LINE__, error, "ReadFile, Path=ResourcePath");
  Line("ReadFile_ERROR arCreateUnarcFile, ERR: %d", static_cast<int>(error));
  return -1;
}

// Shows the install progress when the position passed its next threshold.
void StepProgress(Extraction& x) {
  if (x.progress && x.position > x.threshold && x.percent < 80) {
    GaugeStep(static_cast<std::uint16_t>(x.percent));
    x.threshold += x.step;
    x.percent += 5;
  }
}

int ReadEntryHeader(Extraction& x, const std::string& where, VsConFileIn* e) {
  if (x.header.arcSize - x.position < kEntryHeaderSize) return Defective(x, "an entry header runs past arcSize" + where);
  unsigned char bytes[kEntryHeaderSize];
  DWORD error = 0;
  if (!ReadAll(x, bytes, sizeof bytes, &error)) {
    ApiWindows(kSource, __LINE__, error, "ReadFile, Path=ResourceFilePath");
    Line("ReadFile_ERROR:ON arCreateUnarcFile, ERR = %d", static_cast<int>(error));
    return -1;
  }
  x.position += kEntryHeaderSize;
  *e = DecodeEntry(bytes);
  return 0;
}

// The associated-information block: a security descriptor kept in
// `security` (*hasSecurity), any other type skipped.
int ReadAssociated(Extraction& x, const VsConFileIn& e, const std::string& where, std::vector<unsigned char>& security,
                   bool* hasSecurity) {
  *hasSecurity = false;
  if (e.assocSize == 0) return 0;
  if (e.assocSize < kAssocHeadSize || e.assocSize > x.header.arcSize - x.position)
    return Defective(x, "VsConFileIn.assocSize=" + std::to_string(e.assocSize) + " does not fit" + where);
  x.position += e.assocSize;
  unsigned char head[kAssocHeadSize];
  DWORD error = 0;
  if (!ReadAll(x, head, sizeof head, &error)) return AssociatedReadFailed(error);
  const std::uint16_t type = LoadBe16(head);
  const std::uint32_t length = LoadBe32(head + 2);
  if (length != e.assocSize - kAssocHeadSize)
    return Defective(x, "assocLen=" + std::to_string(length) + " does not match assocSize" + where);
  if (type != kAssocSecurity) return x.input->Skip(length) ? 0 : AssociatedReadFailed(x.input->Error());
  try {
    security.resize(length);
  } catch (const std::bad_alloc&) {
    Line("malloc_ERROR:ON vskcuarGetMem");
    return -1;
  }
  if (length != 0 && !ReadAll(x, security.data(), length, &error)) return AssociatedReadFailed(error);
  *hasSecurity = true;
  return 0;
}

// The entry's names block, appended to the match table.
int ReadEntryNames(Extraction& x, const VsConFileIn& e, const std::string& where) {
  if (e.nameSize == 0) return 0;
  if (e.nameSize > x.header.arcSize - x.position ||
      e.nameSize > std::uint64_t{x.header.nameCount} * (x.header.nameMax + 1u))
    return Defective(x, "VsConFileIn.nameSize=" + std::to_string(e.nameSize) + " does not fit" + where);
  std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[e.nameSize]);
  if (!block) {
    Line("malloc_ERROR:ON vskcuarGetMem");
    return -1;
  }
  DWORD error = 0;
  if (!ReadAll(x, block.get(), e.nameSize, &error)) return AssociatedReadFailed(error);
  x.position += e.nameSize;
  if (!x.names.AppendBlock(block.get(), e.nameSize))
    return Defective(x, "an entry names block does not fit VsConReIn.nameCount and nameMax" + where);
  return 0;
}

// Where the entry goes, checked against the base and the archive's sizes.
int EntryTarget(Extraction& x, const VsConFileIn& e, const std::string& where, std::string* path) {
  const char* name = x.names.Name(e.nameNo);
  if (name == nullptr) return Defective(x, "VsConFileIn.nameNo=" + std::to_string(e.nameNo) + " is not a name read" + where);
  std::string why;
  if (!IsSafeEntryName(name, &why)) return UnsafeEntry(name, why);
  *path = EntryPath(x.base, name);
  if (path->size() > kMaxPathLength) return UnsafeEntry(name, "the path is longer than 259 bytes");
  if (e.dataSize != e.fileSize)
    return Defective(x, "VsConFileIn.dataSize differs from fileSize for " + std::string(name));
  if (e.IsDirectory() && e.dataSize != 0) return Defective(x, "the directory entry " + std::string(name) + " has content");
  if (e.dataSize > x.header.arcSize - x.position)
    return Defective(x, "the content of " + std::string(name) + " runs past arcSize");
  return 0;
}

// The entry's times; false when either cannot be set.
bool EntryTimes(const VsConFileIn& e, FILETIME* access, FILETIME* modification) {
  const std::time_t m = arCodesToTime(e.mDate, e.mTime), a = arCodesToTime(e.aDate, e.aTime);
  return m != static_cast<std::time_t>(-1) && a != static_cast<std::time_t>(-1) && UnixToFileTime(m, modification) &&
         UnixToFileTime(a, access);
}

int vskcuarLoopProsec(Extraction& x) {
  std::vector<unsigned char> security;
  while (x.position < x.header.arcSize) {
    StepProgress(x);
    const std::string where = " (entry at offset " + std::to_string(x.position) + ")";
    VsConFileIn e;
    bool hasSecurity = false;
    std::string path;
    int rc = ReadEntryHeader(x, where, &e);
    if (rc == 0) rc = ReadAssociated(x, e, where, security, &hasSecurity);
    if (rc == 0) rc = ReadEntryNames(x, e, where);
    if (rc == 0) rc = EntryTarget(x, e, where, &path);
    if (rc != 0) return rc;
    FILETIME access{}, modification{};
    const bool timesOk = EntryTimes(e, &access, &modification);
    const std::vector<unsigned char>* payload = hasSecurity ? &security : nullptr;
    rc = e.IsDirectory() ? ExtractDirectory(x, e, path, payload, timesOk, access, modification)
                         : ExtractFile(x, e, path, payload, timesOk, access, modification);
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

int ExtractCurrent(ArchiveInput& input, const char* archivePath, const char* targetDir, bool progress) {
  Extraction x;
  x.input = &input;
  x.archivePath = archivePath;
  x.progress = progress;
  x.buffer.reset(new (std::nothrow) unsigned char[kPiece]);
  if (!x.buffer) {
    ApiCLibrary(kSource, __LINE__, ENOMEM, "malloc, Size=%d", static_cast<int>(kPiece));
    Line("malloc_ERROR:ON arCreateUnarcFile %d", static_cast<int>(kPiece));
    return -1;
  }
  const int info = vskcuarGetInfmation(x, archivePath, targetDir);
  if (info != 0) {
    Line("arGetInfmation_ERROR:File = %s, %s", archivePath, targetDir != nullptr ? targetDir : "");
    return info;
  }
  FileCloser closer(PipelinedExtraction());
  x.closer = &closer;
  int loop = vskcuarLoopProsec(x);
  // Every file is flushed and closed before the directories get their times
  // and before the extraction reports anything.
  closer.Drain();
  if (ReportClosed(x) != 0) loop = -1;
  FinishDirectories(x.directories, nullptr, kSource);
  if (loop != 0) {
    Line("vskcuarLoopProsec_ERROR:ON arCreateUnarcFile");
    return -1;
  }
  return 0;
}

}  // namespace bk::ar::ex
