// The Windows log writer: the table of the client's 40 log files and the two
// ways a record reaches its file (through the log manager, or self-managed
// under a machine-wide mutex).
//
// No processor exception can be raised here: every buffer is sized for what is
// written into it (records at most 1024 bytes, paths 260), every length from
// the registry or the log manager is checked before use, and handles are owned
// so that any early return releases them.
#include "logging/log_writer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/text.h"
#include "environment/env.h"
#include "logging/log_record.h"
#include "platform/open_security.h"
#include "platform/process_info.h"
#include "platform/unique_handle.h"
#include "vscltmng/vscltmng.h"

namespace {

struct LogEntry {
  const char* name;
  std::uint32_t id;
  int sizeClass;
  HANDLE file;  // managed mode: open while references are outstanding
  LONG references;
};

LogEntry g_logs[kVskLogTableSize] = {
    {"MAIN.LOG", 1, 1, INVALID_HANDLE_VALUE, 0},      {"USER.LOG", 2, 2, INVALID_HANDLE_VALUE, 0},
    {"SCRIPT.LOG", 3, 2, INVALID_HANDLE_VALUE, 0},    {"SERVER.LOG", 4, 3, INVALID_HANDLE_VALUE, 0},
    {"SITE.LOG", 5, 3, INVALID_HANDLE_VALUE, 0},      {"CLIENT.LOG", 6, 3, INVALID_HANDLE_VALUE, 0},
    {"SRVSOCK.LOG", 7, 4, INVALID_HANDLE_VALUE, 0},   {"API.LOG", 8, 4, INVALID_HANDLE_VALUE, 0},
    {"ATRFILE.LOG", 9, 4, INVALID_HANDLE_VALUE, 0},   {"EXCFILE.LOG", 10, 4, INVALID_HANDLE_VALUE, 0},
    {"MNGFILE.LOG", 11, 4, INVALID_HANDLE_VALUE, 0},  {"STSFILE.LOG", 12, 4, INVALID_HANDLE_VALUE, 0},
    {"SCHEDULE.LOG", 13, 3, INVALID_HANDLE_VALUE, 0}, {"DLL.LOG", 14, 3, INVALID_HANDLE_VALUE, 0},
    {"CLTPROTO.LOG", 15, 4, INVALID_HANDLE_VALUE, 0}, {"SERVICE.LOG", 16, 4, INVALID_HANDLE_VALUE, 0},
    {"BUILD.LOG", 17, 2, INVALID_HANDLE_VALUE, 0},    {"RDBMENTE.LOG", 18, 4, INVALID_HANDLE_VALUE, 0},
    {"RDBSRV.LOG", 19, 5, INVALID_HANDLE_VALUE, 0},   {"SRVAPI.LOG", 20, 3, INVALID_HANDLE_VALUE, 0},
    {"NODE.LOG", 21, 5, INVALID_HANDLE_VALUE, 0},     {"USERINV.LOG", 22, 5, INVALID_HANDLE_VALUE, 0},
    {"DUMP.LOG", 23, 5, INVALID_HANDLE_VALUE, 0},     {"NODEOPR.LOG", 24, 5, INVALID_HANDLE_VALUE, 0},
    {"WRAPPER.LOG", 25, 3, INVALID_HANDLE_VALUE, 0},  {"CLTDEL.LOG", 26, 3, INVALID_HANDLE_VALUE, 0},
    {"NDGMENT.LOG", 27, 3, INVALID_HANDLE_VALUE, 0},  {"PSM.LOG", 28, 3, INVALID_HANDLE_VALUE, 0},
    {"MLTPROTO.LOG", 29, 3, INVALID_HANDLE_VALUE, 0}, {"INVENTRY.LOG", 30, 4, INVALID_HANDLE_VALUE, 0},
    {"USER_CLT.LOG", 31, 3, INVALID_HANDLE_VALUE, 0}, {"WSH.LOG", 32, 4, INVALID_HANDLE_VALUE, 0},
    {"DISCVRY.LOG", 33, 3, INVALID_HANDLE_VALUE, 0},  {"VSDWNLDR.LOG", 34, 3, INVALID_HANDLE_VALUE, 0},
    {"AMTAPI.LOG", 35, 3, INVALID_HANDLE_VALUE, 0},   {"DCMAMT.LOG", 36, 3, INVALID_HANDLE_VALUE, 0},
    {"BSAPI.LOG", 37, 4, INVALID_HANDLE_VALUE, 0},    {"SRVLOCK.LOG", 38, 3, INVALID_HANDLE_VALUE, 0},
    {"SCHTRACE.LOG", 39, 3, INVALID_HANDLE_VALUE, 0}, {"DEFAULT.LOG", 40, 4, INVALID_HANDLE_VALUE, 0},
};

// Guards the first open and last close of a managed entry and its record
// writes against other threads of the process.
std::mutex g_managedLock;

constexpr std::uint32_t kLogsOffHandle = 0;
constexpr char kHeaderTag[] = "DATA COUNT ";
constexpr std::size_t kHeaderTagLength = sizeof kHeaderTag - 1;
constexpr std::size_t kHeaderLength = 17;
constexpr int kMaxHeaderCount = 9999;   // the header's count field has 4 digits
constexpr int kMaxGenerations = 999;

int PositionOfId(std::uint32_t id) {
  for (int i = 0; i < kVskDefaultLogPosition; ++i)
    if (g_logs[i].id == id) return i;
  return kVskDefaultLogPosition;
}

bk::log::Stamp MakeStamp() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  bk::log::Stamp stamp{};
  stamp.year = now.wYear;
  stamp.month = now.wMonth;
  stamp.day = now.wDay;
  stamp.hour = now.wHour;
  stamp.minute = now.wMinute;
  stamp.second = now.wSecond;
  stamp.millisecond = now.wMilliseconds;
  stamp.threadId = ::GetCurrentThreadId();
  static const std::uint32_t processId = ::GetCurrentProcessId() % 100000u;
  static const std::uint32_t sessionId = bk::win::CurrentSessionId() % 1000u;
  stamp.processId = processId;
  stamp.sessionId = sessionId;
  stamp.program = bk::win::ProgramShortName();
  return stamp;
}

void LogFilePath(VskPath& out, const char* name) {
  VskPath dir;
  vskEnvGetLogPath(dir);
  std::snprintf(out, sizeof out, "%s\\%s", dir, name);
}

// In the site-server form the session number goes before the extension.
void ManagedFilePath(VskPath& out, const char* name, bool siteServerForm) {
  if (!siteServerForm) return LogFilePath(out, name);
  VskPath dir;
  vskEnvGetLogPath(dir);
  const unsigned session = bk::win::CurrentSessionId() % 1000u;
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) {
    std::snprintf(out, sizeof out, "%s\\%s_%04u.LOG", dir, name, session);
  } else {
    std::snprintf(out, sizeof out, "%s\\%.*s_%04u.%s", dir, static_cast<int>(dot - name), name,
                  session, dot + 1);
  }
}

HANDLE OpenLogFile(const char* path) {
  return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool WriteAt(HANDLE file, std::uint32_t offset, const void* data, DWORD size) {
  OVERLAPPED at{};
  at.Offset = offset;
  DWORD written = 0;
  return ::WriteFile(file, data, size, &written, &at) && written == size;
}

// Asks the log manager where the record goes and writes it there. A record
// length the layout cannot hold is refused.
template <typename Build>
void WriteManaged(int position, std::size_t minLength, Build build) {
  std::lock_guard<std::mutex> lock(g_managedLock);
  LogEntry& entry = g_logs[position];
  if (entry.file == INVALID_HANDLE_VALUE) return;
  std::uint32_t length = 0, number = 0;
  const std::int32_t offset = vsLOGMngWritePosition(entry.id, &length, &number);
  if (offset < 0 || length < minLength || length > bk::log::kMaxRecord) return;
  char record[bk::log::kMaxRecord];
  build(record, length, number, MakeStamp());
  WriteAt(entry.file, static_cast<std::uint32_t>(offset), record, length);
}

struct SizeClass {
  int maxCount;
  int recordLength;
};

bool ReadSizeClass(int sizeClass, SizeClass& out) {
  switch (sizeClass) {
    case 1: out = {vskEnvGetMainLogCount(), vskEnvGetMainLogSize()}; return true;
    case 2: out = {vskEnvGetUserLogCount(), vskEnvGetUserLogSize()}; return true;
    case 3: out = {vskEnvGetFuncLogCount(), vskEnvGetFuncLogSize()}; return true;
    case 4: out = {vskEnvGetCompoLogCount(), vskEnvGetCompoLogSize()}; return true;
    case 5: out = {vskEnvGetLongLogCount(), vskEnvGetLongLogSize()}; return true;
    default: return false;
  }
}

int ReadHeaderCount(HANDLE file) {
  char header[kHeaderLength];
  OVERLAPPED at{};
  DWORD read = 0;
  if (!::ReadFile(file, header, sizeof header, &read, &at) || read != sizeof header) return 0;
  if (std::memcmp(header, kHeaderTag, kHeaderTagLength) != 0) return 0;
  int count = 0;
  for (std::size_t i = kHeaderTagLength; i < kHeaderTagLength + 4; ++i) {
    if (header[i] < '0' || header[i] > '9') break;
    count = count * 10 + (header[i] - '0');
  }
  return count;
}

void GenerationPath(char* out, std::size_t size, const char* base, int generation) {
  std::snprintf(out, size, "%s%d", base, generation);
}

// Shifts generations g -> g + 1 (newest is 1) and makes generation 1 a copy of
// the full log. Failures are ignored: the current log is never touched.
void RotateGenerations(int position) {
  VskPath current;
  LogFilePath(current, g_logs[position].name);
  int generations = vskEnvGetLogGenCount();
  if (generations > kMaxGenerations) generations = kMaxGenerations;
  char from[kVskPathSize], to[kVskPathSize];
  for (int g = generations - 1; g >= 1; --g) {
    GenerationPath(from, sizeof from, current, g);
    GenerationPath(to, sizeof to, current, g + 1);
    ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING);
  }
  GenerationPath(to, sizeof to, current, 1);
  ::CopyFileA(current, to, FALSE);
}

std::size_t MinRecord(bool longLayout) {
  return longLayout ? bk::log::kMinLongRecord : bk::log::kMinClassicRecord;
}

bool IsPosition(std::uint32_t handle) { return handle < static_cast<std::uint32_t>(kVskLogTableSize); }

}  // namespace

VskLogMode vskLogCurrentMode() {
  const unsigned major = bk::win::WindowsMajorVersion();
  if (vskEnvIsSiteServer())
    return major >= 6 ? VskLogMode::kManagedSiteServer : VskLogMode::kManagedClassic;
  if (major < 6 && !vskEnvIsRemoteDesktopMode()) return VskLogMode::kManagedClassic;
  return VskLogMode::kSelfManaged;
}

int vskLogFindPosition(const char* fileName) {
  if (fileName != nullptr)
    for (int i = 0; i < kVskDefaultLogPosition; ++i)
      if (bk::EqualsIgnoreCase(g_logs[i].name, fileName)) return i;
  return kVskDefaultLogPosition;
}

const char* vskLogTableName(int position) {
  return g_logs[(position >= 0 && position < kVskLogTableSize) ? position : kVskDefaultLogPosition].name;
}

VskLogHandle vskLogOpen(const char* fileName) {
  if (!vskEnvIsLogEnabled()) return kLogsOffHandle;
  const int position = vskLogFindPosition(fileName);
  const VskLogMode mode = vskLogCurrentMode();
  if (mode == VskLogMode::kSelfManaged) return static_cast<VskLogHandle>(position);
  LogEntry& entry = g_logs[position];
  std::lock_guard<std::mutex> lock(g_managedLock);
  if (entry.file == INVALID_HANDLE_VALUE) {
    VskPath path;
    ManagedFilePath(path, entry.name, mode == VskLogMode::kManagedSiteServer);
    entry.file = OpenLogFile(path);
  }
  ::InterlockedIncrement(&entry.references);
  return entry.id;
}

void vskLogWrite(VskLogHandle handle, const char* message, const char* category) {
  if (!vskEnvIsLogEnabled()) return;
  const VskLogMode mode = vskLogCurrentMode();
  if (mode == VskLogMode::kSelfManaged) return vskLogWriteRecord(handle, message, category);
  const bool siteServer = mode == VskLogMode::kManagedSiteServer;
  WriteManaged(PositionOfId(handle), MinRecord(siteServer),
               [&](char* record, std::size_t length, std::uint32_t number, const bk::log::Stamp& stamp) {
                 if (siteServer)
                   bk::log::BuildLongRecord(record, length, number, stamp, category, message);
                 else
                   bk::log::BuildClassicRecord(record, length, number, stamp, category, message);
               });
}

void vskLogClose(VskLogHandle handle) {
  if (!vskEnvIsLogEnabled() || vskLogCurrentMode() == VskLogMode::kSelfManaged) return;
  for (LogEntry& entry : g_logs) {
    if (entry.id != handle) continue;
    std::lock_guard<std::mutex> lock(g_managedLock);
    if (entry.references <= 0) return;  // more closes than opens: nothing to release
    if (::InterlockedDecrement(&entry.references) == 0 && entry.file != INVALID_HANDLE_VALUE) {
      ::CloseHandle(entry.file);
      entry.file = INVALID_HANDLE_VALUE;
    }
    return;
  }
}

void vskLogWriteMainLine(VskLogHandle handle, const char* severity, const char* text, int lineNumber) {
  const bool siteServer = vskLogCurrentMode() == VskLogMode::kManagedSiteServer;
  WriteManaged(PositionOfId(handle), MinRecord(siteServer),
               [&](char* record, std::size_t length, std::uint32_t number, const bk::log::Stamp& stamp) {
                 bk::log::BuildMainLine(record, length, siteServer, number, stamp, severity, text,
                                        lineNumber);
               });
}

std::uint32_t vskLogNextRecord(HANDLE file, int position, std::uint32_t* recordLength,
                               std::uint32_t* recordNumber) {
  if (position < 0 || position >= kVskLogTableSize) return 0;
  int count = ReadHeaderCount(file);
  SizeClass size{};
  if (!ReadSizeClass(g_logs[position].sizeClass, size)) return 0;
  // Record lengths outside what a record can hold are refused; counts beyond
  // the header's four digits would corrupt it, so they are capped.
  if (size.recordLength < static_cast<int>(bk::log::kMinLongRecord) ||
      size.recordLength > static_cast<int>(bk::log::kMaxRecord))
    return 0;
  int maxCount = size.maxCount;
  if (maxCount > kMaxHeaderCount) maxCount = kMaxHeaderCount;
  if (count >= maxCount) {
    RotateGenerations(position);
    count = 0;
  }
  ++count;
  char header[kHeaderLength + 1];
  std::snprintf(header, sizeof header, "DATA COUNT %04u\r\n", static_cast<unsigned>(count));
  if (!WriteAt(file, 0, header, kHeaderLength)) return 0;
  *recordLength = static_cast<std::uint32_t>(size.recordLength);
  *recordNumber = static_cast<std::uint32_t>(count);
  return static_cast<std::uint32_t>(kHeaderLength + static_cast<std::size_t>(count - 1) *
                                                        static_cast<std::size_t>(size.recordLength));
}

void vskLogWriteRecord(std::uint32_t position, const char* message, const char* category) {
  if (!IsPosition(position)) position = kVskDefaultLogPosition;
  const LogEntry& entry = g_logs[position];
  char mutexName[64];
  std::snprintf(mutexName, sizeof mutexName, "%s\\%s", "Global", entry.name);
  bk::win::OpenSecurity security;
  bk::win::unique_handle mutex(::CreateMutexA(security.get(), TRUE, mutexName));
  if (!mutex) return;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    const DWORD wait = ::WaitForSingleObject(mutex.get(), INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return;
  }
  bk::win::mutex_ownership owned(mutex.get());

  VskPath path;
  LogFilePath(path, entry.name);
  bk::win::unique_hfile file(OpenLogFile(path));
  if (!file) return;
  std::uint32_t length = 0, number = 0;
  const std::uint32_t offset = vskLogNextRecord(file.get(), static_cast<int>(position), &length, &number);
  if (offset == 0) return;
  char record[bk::log::kMaxRecord];
  bk::log::BuildLongRecord(record, length, number, MakeStamp(), category, message);
  if (::SetFilePointer(file.get(), static_cast<LONG>(offset), nullptr, FILE_BEGIN) != offset) return;
  DWORD written = 0;
  if (::WriteFile(file.get(), record, length, &written, nullptr) && written == length)
    ::FlushFileBuffers(file.get());
}

void vskLogApiError(int kind, const char* category, const char* info, std::int32_t error,
                    const char* sourceFile, std::int32_t line) {
  if (category == nullptr || info == nullptr || sourceFile == nullptr) return;
  char message[bk::log::kMaxRecord];
  if (!bk::log::FormatApiError(message, kind, info, error, sourceFile, line)) return;
  const VskLogHandle handle = vskLogOpen("CLIENT.log");
  vskLogWrite(handle, message, category);
  vskLogClose(handle);
}

void vskLogTrace(const char* category, const char* format, ...) {
  char message[bk::log::kMaxRecord];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  const VskLogHandle handle = vskLogOpen("CLIENT.log");
  vskLogWrite(handle, message, category);
  vskLogClose(handle);
}
