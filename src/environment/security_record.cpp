#include "environment/security_record.h"

#include "logging/log.h"
#include "platform/unique_handle.h"

namespace {

constexpr char kCategory[] = "cltmlib";
constexpr char kSource[] = "client\\cltmlib\\cltmlock";

// The system call that failed, traced with the error it left.
void TraceFailure(const char* call, int line) {
  const DWORD error = ::GetLastError();
  vskLogApiError(kVskApiWindows, kCategory, call, static_cast<std::int32_t>(error), kSource, line);
  vskLogTrace(kCategory, "%s Error: GetLastError=%d Func=vskSetSecurity", call, static_cast<int>(error));
}

}  // namespace

int vskSetSecurity(SECURITY_ATTRIBUTES* record) {
  if (record == nullptr) return 0;
  bk::win::unique_hlocal descriptor(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
  if (!descriptor) {
    TraceFailure("LocalAlloc", __LINE__);
    return 0;
  }
  if (!::InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION)) {
    TraceFailure("InitializeSecurityDescriptor", __LINE__);
    return 0;
  }
  // The block is freed on this failure too: the caller has nothing to release.
  if (!::SetSecurityDescriptorDacl(descriptor.get(), TRUE, nullptr, FALSE)) {
    TraceFailure("SetSecurityDescriptorDacl", __LINE__);
    return 0;
  }
  record->nLength = sizeof *record;
  record->lpSecurityDescriptor = descriptor.release();
  record->bInheritHandle = TRUE;
  return 1;
}

void vskReleaseSecurity(SECURITY_ATTRIBUTES* record) {
  if (record == nullptr || record->lpSecurityDescriptor == nullptr) return;
  ::LocalFree(record->lpSecurityDescriptor);
  record->lpSecurityDescriptor = nullptr;
}
