// Coded messages: one message code goes to the Windows event log (Application
// log, under the client's event source) and, formatted from the client's
// message library, to MAIN.LOG.
//
// Everything a message needs (the message library, the event-source handle,
// the thread locale to put back) belongs to that one call, so two threads that
// send messages at the same moment cannot unload or close anything under each
// other; a process-wide lock keeps the MAIN.LOG lines of one message together.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "environment/env.h"
#include "logging/event_log_calls.h"
#include "logging/event_observer.h"
#include "logging/log.h"
#include "logging/log_writer.h"
#include "logging/message_layout.h"
#include "platform/unique_handle.h"

namespace {

const VskEventLogCalls kSystemCalls = {::RegisterEventSourceA, ::ReportEventA,
                                       ::DeregisterEventSource};
const VskEventLogCalls* g_calls = &kSystemCalls;
VskEventObserver g_observer = nullptr;
std::mutex g_messageLock;

constexpr char kMessageLibrary[] = "vscltmsg.dll";
constexpr char kSourceKeyBase[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr char kKeyClass[] = "ORLA/VS/K";
constexpr DWORD kTypesSupported = 7;
constexpr DWORD kMaxMessageFileValue = 261;
constexpr LCID kJapanese = 1041;
constexpr LCID kEnglishUs = 1033;
constexpr std::size_t kFormattedSize = 1024;
// Markers beyond the two insertion strings read these instead of stray memory.
constexpr int kInsertionSlots = 16;

bool IsSystemLeadByte(unsigned char c) { return ::IsDBCSLeadByte(c) != FALSE; }

// The message library, the event source and the thread locale of one message.
class EventSource {
 public:
  EventSource() = default;
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;
  ~EventSource() {
    if (handle_ != nullptr) g_calls->deregisterSource(handle_);
    if (localeSet_) ::SetThreadLocale(previousLocale_);
  }

  void Open();
  HMODULE library() const { return library_.get(); }
  HANDLE handle() const { return handle_; }

 private:
  bk::win::unique_hmodule library_;
  HANDLE handle_ = nullptr;
  LCID previousLocale_ = 0;
  bool localeSet_ = false;
};

// The registration key names the message library; another file named there
// is replaced, an equal entry is left as it is.
bool RegisterMessageFile(const char* sourceName, const char* libraryPath) {
  char keyName[sizeof kSourceKeyBase + 32];
  std::snprintf(keyName, sizeof keyName, "%s%s", kSourceKeyBase, sourceName);
  char keyClass[sizeof kKeyClass];
  std::memcpy(keyClass, kKeyClass, sizeof kKeyClass);
  bk::win::unique_hkey key;
  DWORD disposition = 0;
  if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, keyClass, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.put(), &disposition) != ERROR_SUCCESS)
    return false;
  if (disposition == REG_OPENED_EXISTING_KEY) {
    char current[kMaxMessageFileValue + 1] = {};
    DWORD type = 0;
    DWORD size = kMaxMessageFileValue;
    const LONG rc = ::RegQueryValueExA(key.get(), "EventMessageFile", nullptr, &type,
                                       reinterpret_cast<BYTE*>(current), &size);
    if (rc == ERROR_SUCCESS && (type == REG_EXPAND_SZ || type == REG_SZ) &&
        std::strcmp(current, libraryPath) == 0)
      return true;
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) ::RegDeleteValueA(key.get(), "EventMessageFile");
  }
  const DWORD pathBytes = static_cast<DWORD>(std::strlen(libraryPath) + 1);
  if (::RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(libraryPath), pathBytes) != ERROR_SUCCESS)
    return false;
  const DWORD types = kTypesSupported;
  return ::RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&types), sizeof types) == ERROR_SUCCESS;
}

// Each step that fails ends the opening; the message still reaches MAIN.LOG.
void EventSource::Open() {
  VskPath bin, libraryPath;
  vskEnvGetBinPath(bin);
  std::snprintf(libraryPath, sizeof libraryPath, "%s\\%s", bin, kMessageLibrary);
  library_.reset(::LoadLibraryExA(libraryPath, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!library_) return;

  const char* sourceName = vskEnvIsSiteServer() ? "QVSubManager" : "QVClient";
  if (!RegisterMessageFile(sourceName, libraryPath)) return;

  // Message texts come in Japanese or English; the locale chooses between
  // them and is put back when the message is done.
  previousLocale_ = ::GetThreadLocale();
  localeSet_ = ::SetThreadLocale(previousLocale_ == kJapanese ? kJapanese : kEnglishUs) != FALSE;

  handle_ = g_calls->registerSource(nullptr, sourceName);
}

WORD EventType(std::uint32_t code) {
  switch (bk::log::Severity(code)) {
    case 1: return EVENTLOG_INFORMATION_TYPE;
    case 2: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_ERROR_TYPE;
  }
}

void ReportToEventLog(const EventSource& source, std::uint32_t code, const char* (&strings)[2]) {
  if (source.handle() == nullptr) return;
  if ((static_cast<unsigned>(vskEnvGetEventLogLevel()) & bk::log::EventLevelBit(code)) == 0) return;
  if (bk::log::Severity(code) == 0) return;
  g_calls->report(source.handle(), EventType(code), 0, code, nullptr, 2, 0, strings, nullptr);
}

// The text of the code from the message library with the insertion strings
// in its markers; empty when the library or the message is missing. Line
// breaks inside it become blanks so that every log line stays one line.
std::size_t FormatMessageText(HMODULE library, std::uint32_t code, const char* (&strings)[2],
                              char (&out)[kFormattedSize]) {
  out[0] = '\0';
  if (library == nullptr) return 0;
  DWORD_PTR args[kInsertionSlots];
  for (DWORD_PTR& arg : args) arg = reinterpret_cast<DWORD_PTR>("");
  args[0] = reinterpret_cast<DWORD_PTR>(strings[0]);
  args[1] = reinterpret_cast<DWORD_PTR>(strings[1]);
  char* formatted = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      library, code, 0, reinterpret_cast<LPSTR>(&formatted), 0, reinterpret_cast<va_list*>(args));
  if (n == 0 || formatted == nullptr) return 0;
  bk::win::unique_hlocal owned(formatted);
  std::size_t length = n < kFormattedSize - 1 ? n : kFormattedSize - 1;
  std::memcpy(out, formatted, length);
  out[length] = '\0';
  for (std::size_t i = 0; i < length; ++i)
    if (out[i] == '\r' || out[i] == '\n') out[i] = ' ';
  return length;
}

struct MainLogTarget {
  VskLogHandle handle;
  const char* severity;
};

void WriteSelfManagedLine(void* context, const char* text, int) {
  const auto* target = static_cast<const MainLogTarget*>(context);
  vskLogWriteRecord(target->handle, text, target->severity);
}

void WriteManagedLine(void* context, const char* text, int number) {
  const auto* target = static_cast<const MainLogTarget*>(context);
  vskLogWriteMainLine(target->handle, target->severity, text, number);
}

void WriteToMainLog(const EventSource& source, std::uint32_t code, const char* category,
                    const char* (&strings)[2]) {
  // The switch turns off every log, MAIN.LOG included.
  if (!vskEnvIsLogEnabled()) return;
  MainLogTarget target{vskLogOpen("MAIN.LOG"), bk::log::SeverityLabel(code)};
  char m[kFormattedSize];
  const std::size_t length = FormatMessageText(source.library(), code, strings, m);
  const char* facility = bk::log::FacilityLabel(code);
  switch (vskLogCurrentMode()) {
    case VskLogMode::kSelfManaged:
      bk::log::ForEachMainLogLine(bk::log::MainLogForm::kSelfManaged, facility, category, m, length,
                                  IsSystemLeadByte, WriteSelfManagedLine, &target);
      break;
    case VskLogMode::kManagedClassic:
      bk::log::ForEachMainLogLine(bk::log::MainLogForm::kClassic, facility, category, m, length,
                                  IsSystemLeadByte, WriteManagedLine, &target);
      break;
    case VskLogMode::kManagedSiteServer:
      bk::log::ForEachMainLogLine(bk::log::MainLogForm::kSiteServer, facility, category, m, length,
                                  IsSystemLeadByte, WriteManagedLine, &target);
      break;
  }
  vskLogClose(target.handle);
}

}  // namespace

void vskLogSetEventObserver(VskEventObserver observer) { g_observer = observer; }

void vskLogSetEventLogCalls(const VskEventLogCalls* calls) { g_calls = calls != nullptr ? calls : &kSystemCalls; }

void vskLogEvent(std::uint32_t code, const char* category, const char* text, std::int32_t number,
                 const char* sourceFile, std::int32_t line) {
  if (g_observer != nullptr) g_observer(code, category, text, number, sourceFile, line);
  try {
    char t[bk::log::kEventTextSize];
    bk::log::BuildEventText(t, code, text, sourceFile, line);
    char numberText[16];
    std::snprintf(numberText, sizeof numberText, "%ld", static_cast<long>(number));
    const char* strings[2] = {t, numberText};
    const char* shownCategory = category != nullptr ? category : "";

    std::lock_guard<std::mutex> lock(g_messageLock);
    EventSource source;
    source.Open();
    ReportToEventLog(source, code, strings);
    WriteToMainLog(source, code, shownCategory, strings);
  } catch (...) {
    // Reporting never fails its caller.
  }
}
