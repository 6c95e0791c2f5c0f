#include "platform/process_info.h"

#include <cstring>

#include "common/text.h"
#include "platform/unique_handle.h"

namespace bk::win {

unsigned WindowsMajorVersion() { return LOBYTE(LOWORD(::GetVersion())); }

std::uint32_t CurrentSessionId() {
  // Looked up at run time: systems without terminal sessions lack it.
  using SessionIdOf = BOOL(WINAPI*)(DWORD, DWORD*);
  const unique_hmodule kernel(::LoadLibraryA("KERNEL32"));
  if (!kernel) return 0;
  const auto sessionIdOf = reinterpret_cast<SessionIdOf>(
      reinterpret_cast<void (*)()>(::GetProcAddress(kernel.get(), "ProcessIdToSessionId")));
  DWORD session = 0;
  if (sessionIdOf == nullptr || !sessionIdOf(::GetCurrentProcessId(), &session)) return 0;
  return session;
}

namespace {
struct ProgramName {
  char text[9] = {};
  ProgramName() {
    char path[MAX_PATH + 1] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[n < MAX_PATH ? n : MAX_PATH] = '\0';
    const char* base = path;
    for (const char* p = path; *p; ++p)
      if (*p == '\\' || *p == '/') base = p + 1;
    const char* dot = std::strrchr(base, '.');
    const std::size_t length = dot ? static_cast<std::size_t>(dot - base) : std::strlen(base);
    for (std::size_t i = 0; i < length && i < 8; ++i) text[i] = AsciiLower(base[i]);
  }
};
}  // namespace

const char* ProgramShortName() {
  static const ProgramName name;  // computed once, thread-safe
  return name.text;
}

}  // namespace bk::win
