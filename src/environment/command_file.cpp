#include "environment/command_file.h"

#include <windows.h>

#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"
#include "environment/env.h"
#include "logging/log.h"
#include "platform/unique_handle.h"

namespace {
constexpr char kCtrCategory[] = "cfctl";

// The pauses before the retries of an open refused because another program
// of the client holds C0.ctr for a moment (about 3.5 s in all).
constexpr DWORD kCtrRetryPausesMs[] = {50, 100, 200, 400, 800, 1000, 1000};

HANDLE OpenControlFile(const char* path) {
  for (std::size_t retry = 0;; ++retry) {
    HANDLE file = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION || retry >= sizeof kCtrRetryPausesMs / sizeof kCtrRetryPausesMs[0]) {
      ::SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    ::Sleep(kCtrRetryPausesMs[retry]);
  }
}
}  // namespace

int vskCfstuGetExecStatus(std::int32_t* numberA, std::int32_t* numberB, char* host, char* second) {
  if (numberA != nullptr) *numberA = 0;
  if (numberB != nullptr) *numberB = 0;
  if (host != nullptr) host[0] = '\0';
  if (second != nullptr) second[0] = '\0';

  VskPath path;
  vskEnvGetControlFilePath(path);
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;

  bk::win::unique_hfile file((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? INVALID_HANDLE_VALUE
                                                                           : OpenControlFile(path));
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) ::SetLastError(ERROR_ACCESS_DENIED);
  if (!file) {
    vskLogTrace(kCtrCategory, "CreateFile_ERROR:Func=vskCfstuGetExecStatus GetLastError=%lu, Path=%s",
                ::GetLastError(), path);
    return 1;
  }
  unsigned char bytes[kCtrFileSize];
  DWORD got = 0;
  // A file shorter than its record is as unreadable as a failed read: its
  // fields would be taken from bytes that were never written.
  if (!::ReadFile(file.get(), bytes, sizeof bytes, &got, nullptr) || got != sizeof bytes) {
    const DWORD error = got != sizeof bytes && got != 0 ? ERROR_HANDLE_EOF : ::GetLastError();
    vskLogTrace(kCtrCategory, "WriteFile_ERROR:Func=vskCfstuGetExecStatus GetLastError=%lu", error);
    return 1;
  }
  const CtrFields fields = vskCtrDecode(bytes);
  if (host != nullptr) std::memcpy(host, fields.host, sizeof fields.host);
  if (second != nullptr) std::memcpy(second, fields.second, sizeof fields.second);
  if (numberB != nullptr) *numberB = fields.numberB;
  if (numberA != nullptr) *numberA = fields.numberA;
  return 1;
}

int vskStsReadCommandFileData(void** data) {
  if (data != nullptr) *data = nullptr;
  return 0;
}

int vskFarMakeHostResList(const char*) {
  void* data = nullptr;
  if (vskStsReadCommandFileData(&data) == 0 || data == nullptr) {
    vskLogTrace("far", "Can't Acsses C0 File vskFarMakeHostResList");
    return -1;
  }
  return -1;
}

int SupCangeDriveNO(const char*, char*) {
  void* data = nullptr;
  if (vskStsReadCommandFileData(&data) == 0 || data == nullptr) {
    vskLogTrace("setup", "vskStsReadCommandFileData_ERROR:ON SupCangeDriveNO");
    return -1;
  }
  return -1;
}
