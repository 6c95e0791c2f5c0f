// Named kernel objects, file-system redirection and the session id.
#include <cstdio>

#include "environment/env.h"
#include "platform/process_info.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"

namespace {

constexpr std::size_t kObjectNameSize = 260;
// The line that the mutex trace has always named.
constexpr int kCreateMutexTraceLine = 647;

// Keeps the last-error value of a call across the traces that follow it.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : error_(::GetLastError()) {}
  ~LastErrorKeeper() { ::SetLastError(error_); }
  DWORD error() const { return error_; }

 private:
  DWORD error_;
};

using RedirectionSwitch = BOOL(WINAPI*)(PVOID*);
using RedirectionRevert = BOOL(WINAPI*)(PVOID);

void Trace(const char* format, DWORD error, const char* program) {
  vskWapiSetTraceCategory(kVskWapiCategory);
  vskWapiOpenWriteCloseClientLogCore(format, static_cast<int>(error), program);
}

struct RedirectionTexts {
  const char* function;
  const char* callFailed;
  const char* freeFailed;
  const char* loadFailed;
};

// Loads KERNEL32, calls the switch when the system has it, and traces what
// failed. The result and the last error are the switch call's.
template <typename Call>
BOOL CallRedirectionSwitch(const RedirectionTexts& texts, Call call) {
  char program[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, program, MAX_PATH);
  HMODULE kernel = ::LoadLibraryA("KERNEL32");
  if (kernel == nullptr) {
    LastErrorKeeper keep;
    Trace(texts.loadFailed, keep.error(), program);
    return FALSE;
  }
  BOOL result = FALSE;
  bool called = false;
  DWORD callError = 0;
  if (FARPROC function = ::GetProcAddress(kernel, texts.function)) {
    result = call(function);
    callError = ::GetLastError();
    called = true;
    if (!result) Trace(texts.callFailed, callError, program);
  }
  if (!::FreeLibrary(kernel)) {
    LastErrorKeeper keep;
    Trace(texts.freeFailed, keep.error(), program);
  }
  if (called) ::SetLastError(callError);
  return result;
}

}  // namespace

bool vskWapiUsesGlobalNames() {
  return bk::win::WindowsMajorVersion() >= 6 || vskEnvIsRemoteDesktopMode() != 0;
}

int vskWapiObjectNameChange(const char* name, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return 0;
  std::snprintf(out, size, "%s\\%s", "Global", name != nullptr ? name : "");
  return 0;
}

int vskWapiSetSecurity(PSECURITY_DESCRIPTOR descriptor, SECURITY_ATTRIBUTES* attributes,
                       VskLogHandle log) {
  if (descriptor == nullptr || attributes == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return kVskWapiSecurityInitFailed;
  }
  if (!::InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) {
    LastErrorKeeper keep;
    vskWapiTraceLog(log, "%s(%d) : InitializeSecurityDescriptor() = 0x%08x", "vskWapiSetSecurity",
                    __LINE__, static_cast<unsigned>(keep.error()));
    return kVskWapiSecurityInitFailed;
  }
  if (!::SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
    LastErrorKeeper keep;
    vskWapiTraceLog(log, "%s(%d) : SetSecurityDescriptorDacl() = 0x%08x", "vskWapiSetSecurity",
                    __LINE__, static_cast<unsigned>(keep.error()));
    return kVskWapiSecurityDaclFailed;
  }
  attributes->nLength = sizeof *attributes;
  attributes->lpSecurityDescriptor = descriptor;
  attributes->bInheritHandle = FALSE;
  return 0;
}

HANDLE vskWapiCreateMutex(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, const char* name,
                          VskLogHandle log) {
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES everyone;
  char globalName[kObjectNameSize];
  if (vskWapiUsesGlobalNames()) {
    if (attributes == nullptr) {
      const int rc = vskWapiSetSecurity(&descriptor, &everyone, log);
      if (rc != 0) {
        LastErrorKeeper keep;
        vskWapiTraceLog(log, "%s(%d) : %s(%d) = 0x%08x", "vskWapiCreateMutex", kCreateMutexTraceLine,
                        "vskWapiSetSecurity", rc, static_cast<unsigned>(keep.error()));
        return nullptr;
      }
      attributes = &everyone;
    }
    if (name != nullptr) {
      vskWapiObjectNameChange(name, globalName, sizeof globalName);
      name = globalName;
    }
  }
  HANDLE mutex = ::CreateMutexA(attributes, initialOwner, name);
  LastErrorKeeper keep;  // "already exists" must reach the caller
  return mutex;
}

HANDLE vskWapiOpenFileMapping(DWORD access, BOOL inheritable, const char* name, VskLogHandle) {
  char globalName[kObjectNameSize];
  if (name != nullptr && vskWapiUsesGlobalNames()) {
    vskWapiObjectNameChange(name, globalName, sizeof globalName);
    name = globalName;
  }
  HANDLE mapping = ::OpenFileMappingA(access, inheritable, name);
  LastErrorKeeper keep;
  return mapping;
}

BOOL vskWow64DisableWow64FsRedirection(PVOID* oldValue) {
  static const RedirectionTexts kTexts = {
      "Wow64DisableWow64FsRedirection",
      "vskWow64DisableWow64FsRedirection: pfWow64DisableWow64FsRedirection failed.(%d)[%s]",
      "vskWow64DisableWow64FsRedirection: FreeLibrary failed.(%d)[%s]",
      "vskWow64DisableWow64FsRedirection: LoadLibrary failed.(%d)[%s]"};
  return CallRedirectionSwitch(kTexts, [oldValue](FARPROC function) {
    PVOID local = nullptr;
    const auto disable = reinterpret_cast<RedirectionSwitch>(reinterpret_cast<void (*)()>(function));
    return disable(oldValue != nullptr ? oldValue : &local);
  });
}

BOOL vskWow64RevertWow64FsRedirection(PVOID oldValue) {
  static const RedirectionTexts kTexts = {
      "Wow64RevertWow64FsRedirection",
      "vskWow64RevertWow64FsRedirection: pfWow64RevertWow64FsRedirection failed.(%d)[%s]",
      "vskWow64RevertWow64FsRedirection: FreeLibrary failed.(%d)[%s]",
      "vskWow64RevertWow64FsRedirection: LoadLibrary failed.(%d)[%s]"};
  return CallRedirectionSwitch(kTexts, [oldValue](FARPROC function) {
    const auto revert = reinterpret_cast<RedirectionRevert>(reinterpret_cast<void (*)()>(function));
    return revert(oldValue);
  });
}

DWORD vskWapiGetSessionId() {
  // Sessions exist only on the NT family.
  if (::GetVersion() & 0x80000000u) return 0;
  return bk::win::CurrentSessionId();
}
