// Extraction of the current layout and the entry point vskarMain (Windows).
//
// Each file is opened once by path without a look first (a lookup of a
// missing name costs a whole directory scan): created, or an existing file
// written over in place (a read-only one after its flag is taken off), and
// only when something else is in the way the replace steps (delete,
// read-only reset, retries). Content moves
// in large pieces; the file is flushed, then its times and attributes are set
// together on the open handle (read-only last, so nothing before it is
// hindered) and it is closed. An entry with a security descriptor is closed
// first, so that the descriptor is applied by path before times and
// attributes, in the order content, security, times, attributes. Directories
// get their times and attributes after everything inside them was written.
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
  return rc;
}

// What an open of an existing name found there.
struct FoundFile {
  DWORD attributes = 0;
  DWORD links = 0;
  std::uint64_t size = 0;
};

// Asked on the open handle; XP has only the call that also reads the
// volume's serial number.
bool QueryFound(HANDLE file, FoundFile* found) {
  if (QueryInfoCall query = HandleQueryCall()) {
    StandardInfo standard{};
    AttributeTagInfo tag{};
    if (!query(file, kFileStandardInfo, &standard, sizeof standard) ||
        !query(file, kFileAttributeTagInfo, &tag, sizeof tag) || standard.endOfFile.QuadPart < 0)
      return false;
    found->attributes = tag.fileAttributes;
    found->links = standard.numberOfLinks;
    found->size = static_cast<std::uint64_t>(standard.endOfFile.QuadPart);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info)) return false;
  found->attributes = info.dwFileAttributes;
  found->links = info.nNumberOfLinks;
  found->size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return true;
}

// A read-only file refuses an open for writing. Its read-only flag is taken
// off on a handle opened for its attributes only, so that it can be written
// over in place like any other file (its attributes are set anew at the end,
// as after the specified read-only reset, delete and create). False when it
// is not a plain read-only file or the flag cannot be changed that way: the
// replace steps then deal with it.
bool ClearReadOnlyInPlace(const char* path) {
  const SetInfoCall setInfo = HandleInfoCall();
  if (setInfo == nullptr) return false;
  UniqueFile file(::CreateFileA(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FoundFile found;
  if (!file || !QueryFound(file.get(), &found) || found.links != 1 ||
      (found.attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      (found.attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0)
    return false;
  BasicInfo info{};
  info.fileAttributes = SettableAttributes(found.attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return setInfo(file.get(), kFileBasicInfo, &info, sizeof info) != FALSE;
}

// One open by path creates the file or opens what is there. An existing file
// is written over in place: its name stays in the directory, so neither the
// delete nor the lookup of the then missing name (a scan of the whole
// directory, milliseconds in a large one) is paid. A file longer than the
// entry's content is cut to nothing first; one no longer is simply written
// over. A read-only file loses its flag first; hidden and system files need
// nothing. Anything else in the way (a file held by another process, a link,
// a file with other hard links whose content would change too, a directory)
// is left to the replace steps: *error tells what was in the way. The entry's
// content, times and attributes are set the same way afterwards, so the
// result is the same file.
UniqueFile OpenForWriting(const char* path, DWORD access, DWORD flags, std::uint64_t size, DWORD* error) {
  constexpr DWORD kOpenFlags = FILE_FLAG_OPEN_REPARSE_POINT;
  UniqueFile file(::CreateFileA(path, access, 0, nullptr, OPEN_ALWAYS, flags | kOpenFlags, nullptr));
  *error = ::GetLastError();
  if (!file && *error == ERROR_ACCESS_DENIED && ClearReadOnlyInPlace(path)) {
    file.reset(::CreateFileA(path, access, 0, nullptr, OPEN_ALWAYS, flags | kOpenFlags, nullptr));
    *error = ::GetLastError();
  }
  if (!file) return file;
  if (*error != ERROR_ALREADY_EXISTS) {
    *error = 0;
    return file;
  }
  constexpr DWORD kInTheWay = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  FoundFile found;
  if (!QueryFound(file.get(), &found) || found.links != 1 || (found.attributes & kInTheWay) != 0 ||
      (found.size > size && !::SetEndOfFile(file.get())))
    return UniqueFile();
  *error = 0;
  return file;
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

int vskcuarLoopProsec(Extraction& x) {
  const std::uint64_t arcSize = x.header.arcSize;
  std::vector<unsigned char> security;
  while (x.position < arcSize) {
    if (x.progress && x.position > x.threshold && x.percent < 80) {
      GaugeStep(static_cast<std::uint16_t>(x.percent));
      x.threshold += x.step;
      x.percent += 5;
    }
    const std::uint64_t at = x.position;
    const std::string where = " (entry at offset " + std::to_string(at) + ")";
    if (arcSize - x.position < kEntryHeaderSize) return Defective(x, "an entry header runs past arcSize" + where);
    unsigned char bytes[kEntryHeaderSize];
    DWORD error = 0;
    if (!ReadAll(x, bytes, sizeof bytes, &error)) {
      ApiWindows(kSource, __LINE__, error, "ReadFile, Path=ResourceFilePath");
      Line("ReadFile_ERROR:ON arCreateUnarcFile, ERR = %d", static_cast<int>(error));
      return -1;
    }
    x.position += kEntryHeaderSize;
    const VsConFileIn e = DecodeEntry(bytes);

    bool hasSecurity = false;
    if (e.assocSize != 0) {
      if (e.assocSize < kAssocHeadSize || e.assocSize > arcSize - x.position)
        return Defective(x, "VsConFileIn.assocSize=" + std::to_string(e.assocSize) + " does not fit" + where);
      x.position += e.assocSize;
      unsigned char head[kAssocHeadSize];
      if (!ReadAll(x, head, sizeof head, &error)) {
        ApiWindows(kSource, __LINE__, error, "ReadFile, Path=ResourcePath");
        Line("ReadFile_ERROR arCreateUnarcFile, ERR: %d", static_cast<int>(error));
        return -1;
      }
      const std::uint16_t type = LoadBe16(head);
      const std::uint32_t length = LoadBe32(head + 2);
      if (length != e.assocSize - kAssocHeadSize)
        return Defective(x, "assocLen=" + std::to_string(length) + " does not match assocSize" + where);
      if (type == kAssocSecurity) {
        try {
          security.resize(length);
        } catch (const std::bad_alloc&) {
          Line("malloc_ERROR:ON vskcuarGetMem");
          return -1;
        }
        if (length != 0 && !ReadAll(x, security.data(), length, &error)) {
          ApiWindows(kSource, __LINE__, error, "ReadFile, Path=ResourcePath");
          Line("ReadFile_ERROR arCreateUnarcFile, ERR: %d", static_cast<int>(error));
          return -1;
        }
        hasSecurity = true;
      } else if (!x.input->Skip(length)) {
        error = x.input->Error();
        ApiWindows(kSource, __LINE__, error, "ReadFile, Path=ResourcePath");
        Line("ReadFile_ERROR arCreateUnarcFile, ERR: %d", static_cast<int>(error));
        return -1;
      }
    }

    if (e.nameSize != 0) {
      if (e.nameSize > arcSize - x.position ||
          e.nameSize > std::uint64_t{x.header.nameCount} * (x.header.nameMax + 1u))
        return Defective(x, "VsConFileIn.nameSize=" + std::to_string(e.nameSize) + " does not fit" + where);
      std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[e.nameSize]);
      if (!block) {
        Line("malloc_ERROR:ON vskcuarGetMem");
        return -1;
      }
      if (!ReadAll(x, block.get(), e.nameSize, &error)) {
        ApiWindows(kSource, __LINE__, error, "ReadFile, Path=ResourcePath");
        Line("ReadFile_ERROR arCreateUnarcFile, ERR: %d", static_cast<int>(error));
        return -1;
      }
      x.position += e.nameSize;
      if (!x.names.AppendBlock(block.get(), e.nameSize))
        return Defective(x, "an entry names block does not fit VsConReIn.nameCount and nameMax" + where);
    }

    const char* name = x.names.Name(e.nameNo);
    if (name == nullptr) return Defective(x, "VsConFileIn.nameNo=" + std::to_string(e.nameNo) + " is not a name read" + where);
    std::string why;
    if (!IsSafeEntryName(name, &why)) return UnsafeEntry(name, why);
    const std::string path = EntryPath(x.base, name);
    if (path.size() > kMaxPathLength) return UnsafeEntry(name, "the path is longer than 259 bytes");
    if (e.dataSize != e.fileSize)
      return Defective(x, "VsConFileIn.dataSize differs from fileSize for " + std::string(name));
    if (e.IsDirectory() && e.dataSize != 0) return Defective(x, "the directory entry " + std::string(name) + " has content");
    if (e.dataSize > arcSize - x.position)
      return Defective(x, "the content of " + std::string(name) + " runs past arcSize");

    FILETIME access{}, modification{};
    const std::time_t m = arCodesToTime(e.mDate, e.mTime), a = arCodesToTime(e.aDate, e.aTime);
    const bool timesOk = m != static_cast<std::time_t>(-1) && a != static_cast<std::time_t>(-1) &&
                         UnixToFileTime(m, &modification) && UnixToFileTime(a, &access);
    const std::vector<unsigned char>* payload = hasSecurity ? &security : nullptr;
    const int rc = e.IsDirectory() ? ExtractDirectory(x, e, path, payload, timesOk, access, modification)
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

namespace {

// File-system redirection off and the client log open for one call.
class CallScope {
 public:
  CallScope() : log_(vskLogOpen("CLIENT.log")) {}
  ~CallScope() { vskLogClose(log_); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  bk::win::RedirectionOff redirection_;
  VskLogHandle log_;
};

UniqueFile OpenArchive(const char* archivePath) {
  UniqueFile file(::CreateFileA(archivePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    ApiWindows(kSourceMain, __LINE__, ::GetLastError(), "CreateFile OPEN_EXISTING error, %s", archivePath);
    Line("vskarMain Error, %s is Nothing", archivePath);
  }
  return file;
}

enum class Layout { kEncoded, kLegacy, kCurrent, kUnreadable };

// Looks at the head of the open archive (read from its start).
Layout DetectLayout(HandleReader& reader, const char* archivePath) {
  unsigned char head[kLegacyHeaderSize];
  const std::size_t got = reader.Read(head, sizeof head);
  if (reader.Failed()) {
    ApiWindows(kSourceMain, __LINE__, reader.Error(), "ReadFile, Path=%s", archivePath);
    Line("vskarMain Error, %s is Nothing", archivePath);
    return Layout::kUnreadable;
  }
  if (got < sizeof head) std::memset(head + got, 0, sizeof head - got);
  if (IsEncodedHead(head)) return Layout::kEncoded;
  return IsLegacyLayout(head, sizeof head) ? Layout::kLegacy : Layout::kCurrent;
}

}  // namespace

}  // namespace bk::ar::ex

using namespace bk::ar::ex;

int vskarCreateUnarcNewFile(const char* archivePath, const char* targetDir, int keep) {
  try {
    const bool progress = bk::ar::IsProgressName(archivePath);
    if (::GetFileAttributesA(archivePath) == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = ::GetLastError();
      ApiWindows(kSourceNew, __LINE__, error, "GetFileAttributes, Path=%s", archivePath);
      Line("GetFileAttributes:RFilePath_ERROR:ON UnarcFile %s %d", archivePath, static_cast<int>(error));
      return -1;
    }
    bk::win::unique_any<bk::win::traits::File> file(
        ::CreateFileA(archivePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
      const DWORD error = ::GetLastError();
      ApiWindows(kSourceNew, __LINE__, error, "CreateFile, Path=%s", archivePath);
      Line("CreateFile_ERROR:File = %s, ERR = %ld", archivePath, static_cast<long>(error));
      return -1;
    }
    HandleReader reader(file.get());
    if (!reader.Ok()) {
      ApiCLibrary(kSourceNew, __LINE__, ENOMEM, "malloc, Size=%d", static_cast<int>(kPiece));
      Line("malloc_ERROR:ON arCreateUnarcFile %d", static_cast<int>(kPiece));
      return -1;
    }
    PlainInput input(reader);
    const int rc = ExtractCurrent(input, archivePath, targetDir, progress);
    if (!::CloseHandle(file.release())) {
      ApiWindows(kSourceNew, __LINE__, ::GetLastError(), "CloseHandle, Path=%s", archivePath);
      Line("CloseHandle_ERROR:ON arCreateUnarcFile");
      return -1;
    }
    if (rc != 0) return rc;
    if (keep == 0 && !::DeleteFileA(archivePath)) {
      bool deleted = false;
      for (int attempt = 0; attempt < kDeleteRetries && !deleted; ++attempt) {
        RetryWait();
        deleted = ::DeleteFileA(archivePath) != FALSE;
      }
      if (!deleted) {
        const DWORD error = ::GetLastError();
        ApiWindows(kSourceNew, __LINE__, error, "DeleteFile, Path=%s", archivePath);
        Line("DeleteFile_ERROR:ON arCreateUnarcFile:File = %s, ERR = %d", archivePath, static_cast<int>(error));
        return -1;
      }
    }
    return 0;
  } catch (...) {
    Line("vskarCreateUnarcNewFile: unexpected failure %s", archivePath);
    return -1;
  }
}

int vskarMain(const char* archivePath, const char* targetDir, int keep) {
  try {
    CallScope scope;
    Layout layout;
    {
      auto file = OpenArchive(archivePath);
      if (!file) return -1;
      HandleReader reader(file.get());
      layout = DetectLayout(reader, archivePath);
    }
    if (layout == Layout::kUnreadable) return -1;
    if (layout == Layout::kLegacy) return arCreateUnarcFile(archivePath, targetDir, keep);
    if (layout == Layout::kEncoded) {
      const std::string work = std::string(archivePath) + ".dcd";
      ::DeleteFileA(work.c_str());
      if (!::MoveFileA(archivePath, work.c_str())) {
        const DWORD error = ::GetLastError();
        ApiWindows(kSourceMain, __LINE__, error, "MoveFile, From %s To %s", archivePath, work.c_str());
        Line("MoveFile Error On vskarMain %s %d", archivePath, static_cast<int>(error));
        return -1;  // nothing moved: the archive is where it was
      }
      if (vskEcdCtrlDecodeFile(work.c_str(), archivePath) != kEcdDecodeOk) {
        ::DeleteFileA(archivePath);
        Line("vskEcdCtrlDecodeFile Error %s", archivePath);
        // The work copy is the only copy of the saved files: it goes back
        // under the archive's own name.
        if (!::MoveFileA(work.c_str(), archivePath))
          ApiWindows(kSourceMain, __LINE__, ::GetLastError(), "MoveFile, From %s To %s", work.c_str(), archivePath);
        return -1;
      }
      ::DeleteFileA(work.c_str());
    }
    const int rc = vskarCreateUnarcNewFile(archivePath, targetDir, keep);
    if (rc != 0) {
      if (keep == 0) ::DeleteFileA(archivePath);
      Line("vskarCreateUnarcNewFile Error %s %d", archivePath, rc);
    }
    return rc;
  } catch (...) {
    Line("vskarMain: unexpected failure %s", archivePath);
    return -1;
  }
}

int vskarRestoreArchive(const char* archivePath, const char* targetDir) {
  try {
    CallScope scope;
    auto file = OpenArchive(archivePath);
    if (!file) return -1;
    Layout layout;
    {
      HandleReader reader(file.get());
      layout = DetectLayout(reader, archivePath);
    }
    if (layout == Layout::kUnreadable) return -1;
    if (layout != Layout::kEncoded) {
      file.reset();
      if (layout == Layout::kLegacy) return arCreateUnarcFile(archivePath, targetDir, 1);
      const int rc = vskarCreateUnarcNewFile(archivePath, targetDir, 1);
      if (rc != 0) Line("vskarCreateUnarcNewFile Error %s %d", archivePath, rc);
      return rc;
    }
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) {
      ApiWindows(kSourceMain, __LINE__, ::GetLastError(), "SetFilePointer, Path=%s", archivePath);
      Line("vskEcdCtrlDecodeFile Error %s", archivePath);
      return -1;
    }
    HandleReader reader(file.get());
    if (!reader.Ok()) {
      ApiCLibrary(kSourceMain, __LINE__, ENOMEM, "malloc, Size=%d", static_cast<int>(kPiece));
      Line("vskEcdCtrlDecodeFile Error %s", archivePath);
      return -1;
    }
    HandleByteInput bytes(reader);
    bk::ecd::StreamDecoder decoder(bytes, archivePath, reader.FileSize());
    if (decoder.Begin() != kEcdDecodeOk) {
      Line("vskEcdCtrlDecodeFile Error %s", archivePath);
      return -1;
    }
    const bool progress = bk::ar::IsProgressName(archivePath);
    int rc;
    bool aheadFailed = false;
    if (PipelinedExtraction()) {
      DecodeAhead input(decoder, reader, archivePath);
      if (!input.Ok()) {
        ApiCLibrary(kSourceMain, __LINE__, ENOMEM, "malloc, Size=%d", static_cast<int>(kPiece));
        Line("vskEcdCtrlDecodeFile Error %s", archivePath);
        return -1;
      }
      rc = ExtractCurrent(input, archivePath, targetDir, progress);
      input.Stop();
      aheadFailed = input.DecodeFailed();
    } else {
      DecodedInput input(decoder, reader, archivePath);
      rc = ExtractCurrent(input, archivePath, targetDir, progress);
    }
    // vskarMain decodes the whole file before it extracts anything: a defect
    // after the archive's end fails it all the same.
    if (rc == 0 && (aheadFailed || decoder.Finish() != kEcdDecodeOk)) {
      Line("vskEcdCtrlDecodeFile Error %s", archivePath);
      rc = -1;
    }
    if (rc != 0) Line("vskarCreateUnarcNewFile Error %s %d", archivePath, rc);
    return rc;
  } catch (...) {
    Line("vskarRestoreArchive: unexpected failure %s", archivePath);
    return -1;
  }
}
