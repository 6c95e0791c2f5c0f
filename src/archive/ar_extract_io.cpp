// The extractors' readers, shared steps, traces and seams (Windows).
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "archive/ar_extract.h"
#include "archive/ar_extract_internal.h"
#include "common/byte_order.h"
#include "common/io_faults.h"
#include "logging/log.h"
#include "platform/link_removal.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"

namespace bk::ar::ex {

namespace {

VskarWaitCall g_wait = nullptr;
VskarGaugeCall g_gauge = nullptr;
bool g_forceXp = false;

void Format(char* out, std::size_t size, const char* format, va_list args) {
  std::vsnprintf(out, size, format, args);
}

}  // namespace

void ApiWindows(const char* source, int line, DWORD error, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  Format(text, sizeof text, format, args);
  va_end(args);
  vskLogApiError(kVskApiWindows, kCategory, text, static_cast<std::int32_t>(error), source, line);
}

void ApiCLibrary(const char* source, int line, int error, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  Format(text, sizeof text, format, args);
  va_end(args);
  vskLogApiError(kVskApiCLibrary, kCategory, text, error, source, line);
}

void Line(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  Format(text, sizeof text, format, args);
  va_end(args);
  vskLogTrace(kCategory, "%s", text);
}

void Event(const char* source, int line, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  Format(text, sizeof text, format, args);
  va_end(args);
  vskLogEvent(kVskMsgInstallError, kCategory, text, 0, source, line);
}

void RetryWait() {
  if (g_wait != nullptr)
    g_wait(kRetryWaitMs);
  else
    ::Sleep(kRetryWaitMs);
}

void GaugeStep(std::uint16_t position) {
  if (g_gauge != nullptr)
    g_gauge(2, position);
  else
    vskWapiGaugeStep(2, position);
}

// A call of kernel32 that older systems lack; null there.
template <typename Call>
Call KernelCall(const char* name) {
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  return kernel == nullptr ? nullptr : reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(kernel, name)));
}

SetInfoCall HandleInfoCall() {
  static const SetInfoCall call = KernelCall<SetInfoCall>("SetFileInformationByHandle");
  return g_forceXp ? nullptr : call;
}

QueryInfoCall HandleQueryCall() {
  static const QueryInfoCall call = KernelCall<QueryInfoCall>("GetFileInformationByHandleEx");
  return g_forceXp ? nullptr : call;
}

// --- HandleReader -----------------------------------------------------------------

HandleReader::HandleReader(HANDLE file) : file_(file), buffer_(new (std::nothrow) unsigned char[kPiece]) {
  LARGE_INTEGER size;
  if (::GetFileSizeEx(file, &size) && size.QuadPart > 0) size_ = static_cast<std::uint64_t>(size.QuadPart);
}

bool HandleReader::RawRead(void* out, std::size_t n, std::size_t* got) {
  *got = 0;
  if (bk::io::ShouldFail(bk::io::IoKind::kRead)) {
    failed_ = true;
    error_ = ERROR_READ_FAULT;
    return false;
  }
  DWORD read = 0;
  if (!::ReadFile(file_, out, static_cast<DWORD>(n), &read, nullptr)) {
    failed_ = true;
    error_ = ::GetLastError();
    return false;
  }
  if (read == 0) eof_ = true;
  *got = read;
  return true;
}

std::size_t HandleReader::Read(void* out, std::size_t n) {
  auto* to = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  while (done < n) {
    if (offset_ < length_) {
      const std::size_t take = length_ - offset_ < n - done ? length_ - offset_ : n - done;
      std::memcpy(to + done, buffer_.get() + offset_, take);
      offset_ += take;
      done += take;
      continue;
    }
    if (eof_ || failed_ || !buffer_) break;
    std::size_t got = 0;
    if (n - done >= kPiece) {  // large reads go straight to the caller
      if (!RawRead(to + done, n - done, &got)) break;
      done += got;
    } else {
      if (!RawRead(buffer_.get(), kPiece, &got)) break;
      length_ = got;
      offset_ = 0;
    }
  }
  return done;
}

long long HandleByteInput::Read(void* buffer, std::size_t n) {
  const std::size_t got = reader_.Read(buffer, n);
  if (got < n && reader_.Failed()) return -1;
  return static_cast<long long>(got);
}

bool ArchiveInput::Skip(std::uint64_t n) {
  unsigned char scratch[4096];
  while (n > 0) {
    const std::size_t take = n < sizeof scratch ? static_cast<std::size_t>(n) : sizeof scratch;
    if (Read(scratch, take) != take) return false;
    n -= take;
  }
  return true;
}

std::size_t DecodedInput::Read(void* out, std::size_t n) {
  const std::size_t got = decoder_.Read(out, n);
  if (got < n && decoder_.Status() != kEcdDecodeOk && !reported_) {
    reported_ = true;
    Line("vskEcdCtrlDecodeFile Error %s", archivePath_);
  }
  return got;
}

DWORD DecodedInput::Error() const {
  if (reader_.Failed()) return reader_.Error();
  return decoder_.Status() != kEcdDecodeOk ? ERROR_INVALID_DATA : ERROR_HANDLE_EOF;
}

std::size_t ForwardSource::Read(void* buffer, std::size_t n) {
  const std::size_t got = input_.Read(buffer, n);
  position_ += got;
  return got;
}

bool ForwardSource::Seek(std::uint64_t offset) {
  if (offset < position_ || offset > size_) return false;
  if (!input_.Skip(offset - position_)) return false;
  position_ = offset;
  return true;
}

HandleSource::HandleSource(HANDLE file) : file_(file) {
  LARGE_INTEGER size;
  if (::GetFileSizeEx(file, &size) && size.QuadPart > 0) size_ = static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t HandleSource::Read(void* buffer, std::size_t n) {
  auto* to = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < n) {
    if (bk::io::ShouldFail(bk::io::IoKind::kRead)) {
      error_ = ERROR_READ_FAULT;
      break;
    }
    const std::size_t ask = n - done < kPiece ? n - done : kPiece;
    DWORD got = 0;
    if (!::ReadFile(file_, to + done, static_cast<DWORD>(ask), &got, nullptr)) {
      error_ = ::GetLastError();
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool HandleSource::Seek(std::uint64_t offset) {
  if (offset > size_) return false;
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(file_, to, nullptr, FILE_BEGIN)) {
    error_ = ::GetLastError();
    return false;
  }
  return true;
}

// --- shared steps -------------------------------------------------------------------

bool WriteContent(HANDLE file, const void* data, DWORD n, DWORD* written) {
  *written = 0;
  if (bk::io::ShouldFail(bk::io::IoKind::kWrite)) {
    ::SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  return ::WriteFile(file, data, n, written, nullptr) != FALSE;
}

bool CompleteShortWrite(HANDLE file, const unsigned char* data, DWORD n, DWORD* written, DWORD* error) {
  DWORD more = 0;
  const bool wrote = WriteContent(file, data + *written, n - *written, &more);
  *error = wrote ? ERROR_DISK_FULL : ::GetLastError();
  *written += more;
  return *written == n;
}

bool UnixToFileTime(std::int64_t seconds, FILETIME* out) {
  constexpr std::int64_t kEpochDifference = 11644473600LL;  // 1601-01-01 to 1970-01-01
  if (seconds < -kEpochDifference || seconds > 910692730085LL) return false;
  const std::uint64_t ticks = static_cast<std::uint64_t>(seconds + kEpochDifference) * 10000000ULL;
  out->dwLowDateTime = static_cast<DWORD>(ticks);
  out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return true;
}

DWORD SettableAttributes(DWORD attributes) {
  const DWORD settable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY);
  return settable == 0 ? FILE_ATTRIBUTE_NORMAL : settable;
}

bool SetTimesByPath(const std::string& path, const FILETIME& access, const FILETIME& modification, DWORD* error) {
  bk::win::unique_any<bk::win::traits::File> file(
      ::CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) {
    *error = ::GetLastError();
    return false;
  }
  if (!::SetFileTime(file.get(), nullptr, &access, &modification)) {
    *error = ::GetLastError();
    return false;
  }
  return true;
}

int RemoveForReplace(const std::string& path, int retries, const char* source) {
  const char* p = path.c_str();
  // A link goes as a link: a delete by name could take the file it names.
  const DWORD before = ::GetFileAttributesA(p);
  if (before != INVALID_FILE_ATTRIBUTES && (before & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    wchar_t wide[MAX_PATH];
    DWORD error = ERROR_INVALID_NAME;
    if (::MultiByteToWideChar(CP_ACP, 0, p, -1, wide, MAX_PATH) > 0 && bk::win::RemoveLink(wide, &error)) return 0;
    ApiWindows(source, __LINE__, error, "DeleteFile, Path=%s", p);
    Line("Can't delete %s FarRemoveDirectry", p);
    return -1;
  }
  if (::DeleteFileA(p)) return 0;
  DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 1;
  const DWORD attributes = ::GetFileAttributesA(p);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    ApiWindows(source, __LINE__, ::GetLastError(), "GetFileAttributes, Path=%s", p);
    Line("Can't delete %s  FarRemoveDirectry", p);
    return -1;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // A file entry where a directory stands: no delete of a file removes it.
    ApiWindows(source, __LINE__, error, "DeleteFile, Path=%s", p);
    Line("Can't delete %s FarRemoveDirectry", p);
    return -1;
  }
  const DWORD cleared = SettableAttributes(attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  if (!::SetFileAttributesA(p, cleared)) {
    ApiWindows(source, __LINE__, ::GetLastError(), "SetFileAttributes, Path=%s, FileAttributes=%ld", p,
               static_cast<long>(cleared));
    Line("Can't delete %s FarRemoveDirectry", p);
    return -1;
  }
  if (::DeleteFileA(p)) return 0;
  for (int attempt = 0; attempt < retries; ++attempt) {
    RetryWait();
    if (::DeleteFileA(p)) return 0;
  }
  ApiWindows(source, __LINE__, ::GetLastError(), "DeleteFile, Path=%s", p);
  Line("Can't delete %s FarRemoveDirectry", p);
  return -1;
}

int MakeBaseDirectories(const std::string& base, const char* separators, std::string* failedPath, DWORD* error) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : base) {
    if (std::strchr(separators, c) != nullptr) {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  const bool unc = base.size() >= 2 && ((base[0] == '\\' && base[1] == '\\') ||
                                        (base[0] == '/' && base[1] == '/' && std::strchr(separators, '/') != nullptr));
  std::string path;
  if (parts.empty()) {
    *failedPath = base;
    *error = ERROR_PATH_NOT_FOUND;
    return 1;
  }
  if (unc) {
    path = "\\\\" + parts[0];  // the server is not checked
  } else {
    path = parts[0];
    const std::string check = path.back() == ':' ? path + "\\" : path;
    if (::GetFileAttributesA(check.c_str()) == INVALID_FILE_ATTRIBUTES) {
      *error = ::GetLastError();
      *failedPath = check;
      return 1;
    }
  }
  for (std::size_t i = 1; i < parts.size(); ++i) {
    path += "\\" + parts[i];
    if (::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    if (!::CreateDirectoryA(path.c_str(), nullptr)) {
      *error = ::GetLastError();
      *failedPath = path;
      return 2;
    }
  }
  return 0;
}

void FinishDirectories(std::vector<PendingDirectory>& directories, bool* attributeFailed, const char* source) {
  if (attributeFailed != nullptr) *attributeFailed = false;
  const SetInfoCall setInfo = HandleInfoCall();
  for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
    if (setInfo != nullptr) {
      // Times and attributes in one call on the directory's handle.
      bk::win::unique_any<bk::win::traits::File> dir(::CreateFileA(
          it->path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      BasicInfo info{};
      if (it->timesOk) {
        info.lastAccessTime = Ticks(it->access);
        info.lastWriteTime = Ticks(it->modification);
      }
      info.fileAttributes = SettableAttributes(it->attributes);
      if (dir && setInfo(dir.get(), kFileBasicInfo, &info, sizeof info)) continue;
    }
    DWORD error = 0;
    if (it->timesOk) SetTimesByPath(it->path, it->access, it->modification, &error);  // silent on a directory
    if (!::SetFileAttributesA(it->path.c_str(), SettableAttributes(it->attributes))) {
      ApiWindows(source, __LINE__, ::GetLastError(), "SetFileAttributes, Path=%s SetAttributes=%ld", it->path.c_str(),
                 static_cast<long>(it->attributes));
      if (attributeFailed != nullptr) *attributeFailed = true;
    }
  }
  directories.clear();
}

bool ReadFirst(HandleReader& reader, unsigned char* out, std::size_t n) {
  const std::size_t got = reader.Read(out, n);
  if (got < n) std::memset(out + got, 0, n - got);
  return got == n;
}

bool IsEncodedHead(const unsigned char head[16]) {
  return EcdCheckMagicNum(LoadBe32(head), LoadBe32(head + 4), LoadBe32(head + 8), LoadBe32(head + 12)) == 1;
}

}  // namespace bk::ar::ex

void vskarSetRetryWaitForTest(VskarWaitCall wait) { bk::ar::ex::g_wait = wait; }
void vskarSetGaugeCallForTest(VskarGaugeCall gauge) { bk::ar::ex::g_gauge = gauge; }
void vskarUseXpFileCallsForTest(bool on) { bk::ar::ex::g_forceXp = on; }
