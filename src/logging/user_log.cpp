// Messages to the user log "USER_CLT.LOG", formatted from the client's
// user-log message library.
#include "logging/user_log.h"

#include <windows.h>

#include <cstdio>

#include "environment/env.h"
#include "logging/log.h"
#include "logging/log_record.h"
#include "logging/message_layout.h"
#include "platform/process_info.h"
#include "platform/unique_handle.h"

namespace {

constexpr char kUserLogLibrary[] = "VSUSRLOG.DLL";
constexpr DWORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

struct UserLogTarget {
  VskLogHandle handle;
  const char* category;
};

void WriteRecord(void* context, const char* text, int) {
  const auto* target = static_cast<const UserLogTarget*>(context);
  vskLogWrite(target->handle, text, target->category);
}

// Text a record holds: the record length less its header and line end. The
// long layout applies on Windows 6 and later and in remote-desktop mode.
std::size_t RecordTextWidth() {
  const int recordLength = vskEnvGetFuncLogSize();
  const bool longLayout = bk::win::WindowsMajorVersion() >= 6 || vskEnvIsRemoteDesktopMode();
  const int header = static_cast<int>(longLayout ? bk::log::kMinLongRecord : bk::log::kMinClassicRecord);
  const int width = recordLength - header;
  if (width <= 0) return 0;
  // The writer holds no record longer than this.
  const int most = static_cast<int>(bk::log::kMaxRecord) - header;
  return static_cast<std::size_t>(width < most ? width : most);
}

}  // namespace

void vskLogUserMessage(std::uint32_t code, const std::uintptr_t* values, const char* category) {
  VskPath bin, libraryPath;
  vskEnvGetBinPath(bin);
  std::snprintf(libraryPath, sizeof libraryPath, "%s\\%s", bin, kUserLogLibrary);
  bk::win::unique_hmodule library(::LoadLibraryExA(libraryPath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!library) return;

  // Unused slots read as empty texts, so that a marker without a value never
  // reads stray memory.
  DWORD_PTR args[kVskMaxUserLogValues];
  for (DWORD_PTR& arg : args) arg = reinterpret_cast<DWORD_PTR>("");
  for (int i = 0; values != nullptr && i < kVskMaxUserLogValues && values[i] != 0; ++i)
    args[i] = static_cast<DWORD_PTR>(values[i]);

  char* text = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      library.get(), code, kEnglishUs, reinterpret_cast<LPSTR>(&text), 0,
      reinterpret_cast<va_list*>(args));
  if (n == 0 || text == nullptr) return;
  bk::win::unique_hlocal owned(text);

  UserLogTarget target{vskLogOpen("USER_CLT.LOG"), category != nullptr ? category : ""};
  bk::log::ForEachUserLogRecord(text, n, RecordTextWidth(), WriteRecord, &target);
  vskLogClose(target.handle);
}
