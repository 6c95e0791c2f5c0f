#include "archive/acl_data.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/byte_order.h"
#include "environment/env.h"
#include "logging/log.h"
#include "platform/unique_handle.h"

namespace {

constexpr char kCategory[] = "ar";
constexpr char kSource[] = "client\\ar\\argetacl";

VskarSetFileSecurityCall g_setFileSecurity = ::SetFileSecurityA;

// Self-relative descriptor: revision, padding, control word, then the offsets
// of owner, group, audit list and access list from its start.
constexpr std::size_t kDescriptorHeader = 20;
constexpr std::size_t kControlOffset = 2;
constexpr std::size_t kOwnerOffset = 4;
constexpr std::size_t kGroupOffset = 8;
constexpr std::size_t kSaclOffset = 12;
constexpr std::size_t kDaclOffset = 16;
constexpr std::uint16_t kSelfRelative = 0x8000;
constexpr std::uint16_t kDaclPresent = 0x0004;
constexpr std::uint16_t kSaclPresent = 0x0010;
// SID: revision, sub-authority count, 6-byte authority, 4 bytes per sub-authority.
constexpr std::size_t kSidHeader = 8;
constexpr unsigned kMaxSubAuthorities = 15;
// ACL: revision, padding, size, entry count, padding; each entry starts with
// type, flags and its size.
constexpr std::size_t kAclHeader = 8;
constexpr std::size_t kAceHeader = 4;

void ApiError(int kind, const char* info, int error, int line) {
  vskLogApiError(kind, kCategory, info, error, kSource, line);
}

bool SidFits(const unsigned char* p, std::size_t n, std::size_t at) {
  if (at < kDescriptorHeader || at > n || n - at < kSidHeader) return false;
  if (p[at] != SID_REVISION || p[at + 1] > kMaxSubAuthorities) return false;
  return n - at >= kSidHeader + 4u * p[at + 1];
}

bool AclFits(const unsigned char* p, std::size_t n, std::size_t at) {
  if (at < kDescriptorHeader || at > n || n - at < kAclHeader) return false;
  const std::size_t size = bk::LoadLe16(p + at + 2);
  const unsigned count = bk::LoadLe16(p + at + 4);
  if (size < kAclHeader || size > n - at) return false;
  std::size_t entry = kAclHeader;
  for (unsigned i = 0; i < count; ++i) {
    if (size - entry < kAceHeader) return false;
    const std::size_t aceSize = bk::LoadLe16(p + at + entry + 2);
    if (aceSize < kAceHeader || aceSize > size - entry) return false;
    entry += aceSize;
  }
  return true;
}

// Every part the system will read lies within the payload.
bool IsWellFormedDescriptor(const unsigned char* p, std::size_t n) {
  if (p == nullptr || n < kDescriptorHeader || p[0] != SECURITY_DESCRIPTOR_REVISION) return false;
  const std::uint16_t control = bk::LoadLe16(p + kControlOffset);
  if ((control & kSelfRelative) == 0) return false;
  const std::uint32_t owner = bk::LoadLe32(p + kOwnerOffset);
  const std::uint32_t group = bk::LoadLe32(p + kGroupOffset);
  const std::uint32_t sacl = bk::LoadLe32(p + kSaclOffset);
  const std::uint32_t dacl = bk::LoadLe32(p + kDaclOffset);
  if (owner != 0 && !SidFits(p, n, owner)) return false;
  if (group != 0 && !SidFits(p, n, group)) return false;
  if ((control & kSaclPresent) && sacl != 0 && !AclFits(p, n, sacl)) return false;
  if ((control & kDaclPresent) && dacl != 0 && !AclFits(p, n, dacl)) return false;
  return true;
}

// Mode 1: the bytes of the fixed security information file.
void ReadInformationFile(const char* infPath, unsigned char** payload, std::uint32_t* length) {
  struct _stat status;
  if (::_stat(infPath, &status) != 0) {
    vskLogTrace(kCategory, "ACL information file does not exist:%s ", infPath);
    return;
  }
  if (status.st_size <= 0) return;
  const DWORD size = static_cast<DWORD>(status.st_size);
  bk::win::unique_hfile file(::CreateFileA(infPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    char info[kVskPathSize + 32];
    std::snprintf(info, sizeof info, "CreateFile, Path=%s", infPath);
    ApiError(kVskApiWindows, info, static_cast<int>(::GetLastError()), __LINE__);
    vskLogTrace(kCategory, "Error in the ACL information file reading:%s ", infPath);
    return;
  }
  auto* buffer = static_cast<unsigned char*>(std::malloc(size));
  if (buffer == nullptr) {
    char info[64];
    std::snprintf(info, sizeof info, "malloc, Size=%d", static_cast<int>(size));
    ApiError(kVskApiCLibrary, info, errno, __LINE__);
    vskLogTrace(kCategory, "Error in the ACL information file reading[malloc]:%s ", infPath);
    return;
  }
  DWORD read = 0;
  if (!::ReadFile(file.get(), buffer, size, &read, nullptr) || read < size) {
    char info[kVskPathSize + 64];
    std::snprintf(info, sizeof info, "ReadFile, %d BytesRead=, %d BytesToRead, Path=%s", static_cast<int>(read),
                  static_cast<int>(size), infPath);
    ApiError(kVskApiWindows, info, static_cast<int>(::GetLastError()), __LINE__);
    vskLogTrace(kCategory, "Error in the ACL information file reading:%s ", infPath);
    std::free(buffer);
    return;
  }
  *payload = buffer;
  *length = size;
}

}  // namespace

int vskarGetACLData(const char* path, unsigned char** payload, std::uint32_t* length) {
  if (payload == nullptr || length == nullptr) return 1;
  *payload = nullptr;
  *length = 0;
  if (path == nullptr) return 1;
  char info[kVskPathSize + 32];
  std::snprintf(info, sizeof info, "GetFileSecurity, Path=%s", path);
  DWORD needed = 0;
  ::GetFileSecurityA(path, kVskarSecurityInformation, nullptr, 0, &needed);
  if (needed == 0) {
    ApiError(kVskApiWindows, info, static_cast<int>(::GetLastError()), __LINE__);
    return 1;
  }
  auto* buffer = static_cast<unsigned char*>(std::calloc(needed, 1));
  if (buffer == nullptr) {
    char sizeInfo[64];
    std::snprintf(sizeInfo, sizeof sizeInfo, "malloc, Size=%d", static_cast<int>(needed));
    ApiError(kVskApiCLibrary, sizeInfo, errno, __LINE__);
    return 1;
  }
  DWORD returned = 0;
  if (!::GetFileSecurityA(path, kVskarSecurityInformation, buffer, needed, &returned)) {
    std::free(buffer);
    return 1;
  }
  *payload = buffer;
  *length = needed;
  return 1;
}

int vskarCaptureACLData(int securityMode, const char* path, bool isDirectory, unsigned char** payload,
                        std::uint32_t* length) {
  if (payload == nullptr || length == nullptr) return 1;
  *payload = nullptr;
  *length = 0;
  if (securityMode == kVskarSecurityPerEntry) return vskarGetACLData(path, payload, length);
  if (securityMode != kVskarSecurityFromFiles) return 1;
  VskPath infPath;
  if (isDirectory)
    vskEnvGetAclDirInfPath(infPath);
  else
    vskEnvGetAclSetFileInfPath(infPath);
  ReadInformationFile(infPath, payload, length);
  return 1;
}

void vskarReleaseACLData(unsigned char* payload) { std::free(payload); }

int vskarSetACLData(const char* path, const unsigned char* payload, std::uint32_t length) {
  if (path == nullptr) return 0;
  char info[kVskPathSize + 32];
  std::snprintf(info, sizeof info, "SetFileSecurity, Path=%s", path);
  if (!IsWellFormedDescriptor(payload, length)) {
    ApiError(kVskApiWindows, info, ERROR_INVALID_SECURITY_DESCR, __LINE__);
    return 0;
  }
  // The archive's bytes may sit at any address; the system expects the
  // descriptor aligned.
  void* descriptor = std::malloc(length);
  if (descriptor == nullptr) {
    ApiError(kVskApiWindows, info, ERROR_NOT_ENOUGH_MEMORY, __LINE__);
    return 0;
  }
  std::memcpy(descriptor, payload, length);
  int result = 1;
  if (!::IsValidSecurityDescriptor(descriptor)) {
    ApiError(kVskApiWindows, info, ERROR_INVALID_SECURITY_DESCR, __LINE__);
    result = 0;
  } else if (!g_setFileSecurity(path, kVskarSecurityInformation, descriptor)) {
    ApiError(kVskApiWindows, info, static_cast<int>(::GetLastError()), __LINE__);
    result = 0;
  }
  std::free(descriptor);
  return result;
}

void vskarSetFileSecurityCall(VskarSetFileSecurityCall call) {
  g_setFileSecurity = call != nullptr ? call : ::SetFileSecurityA;
}
