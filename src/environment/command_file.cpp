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

// Copies the text of a field of `width` bytes, stopping at its terminator or
// at the field's end, into out (outSize bytes, always terminated).
void CopyField(char* out, std::size_t outSize, const unsigned char* field, std::size_t width) {
  std::size_t n = bk::BoundedLength(reinterpret_cast<const char*>(field), width);
  if (n >= outSize) n = outSize - 1;
  std::memcpy(out, field, n);
  out[n] = '\0';
}
}  // namespace

int vskCfstuGetExecStatus(std::int32_t* numberA, std::int32_t* numberB, char* host, char* second) {
  if (numberA != nullptr) *numberA = 0;
  if (numberB != nullptr) *numberB = 0;
  if (host != nullptr) host[0] = '\0';
  if (second != nullptr) second[0] = '\0';

  VskPath path;
  vskEnvGetControlFilePath(path);
  if (::GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return 0;

  bk::win::unique_hfile file(::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
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
  if (host != nullptr) CopyField(host, kCtrHostOutSize, bytes + kCtrHost, kCtrHostWidth);
  if (second != nullptr) CopyField(second, kCtrSecondOutSize, bytes + kCtrSecond, kCtrSecondWidth);
  if (numberB != nullptr) *numberB = static_cast<std::int32_t>(bk::LoadLe32(bytes + kCtrNumberB));
  if (numberA != nullptr) *numberA = static_cast<std::int32_t>(bk::LoadLe32(bytes + kCtrNumberA));
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
