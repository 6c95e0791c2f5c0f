// Stand-in for the client's log manager. It keeps each log as a ring of
// fixed-length records and hands out the place of the next record.
//
// The number of records handed out per log is kept in a small state file
// (40 little-endian 32-bit counters), locked for each call, so that positions
// stay distinct across the threads and processes of the machine and across
// process restarts. Settings come from the environment:
//   VSCLTMNG_STATE    state file (default: %TEMP%\vscltmng.state)
//   VSCLTMNG_LENGTH   record length in bytes, CR LF included (default 192)
//   VSCLTMNG_RECORDS  records per ring (default 1000)
#include <windows.h>

#include <cstdlib>

#include "vscltmng/vscltmng.h"

namespace {

constexpr unsigned kLogCount = 40;

unsigned long Setting(const char* name, unsigned long fallback, unsigned long low, unsigned long high) {
  char text[32];
  const DWORD n = ::GetEnvironmentVariableA(name, text, sizeof text);
  if (n == 0 || n >= sizeof text) return fallback;
  const unsigned long value = std::strtoul(text, nullptr, 10);
  return (value < low || value > high) ? fallback : value;
}

void StatePath(char (&path)[MAX_PATH + 1]) {
  const DWORD n = ::GetEnvironmentVariableA("VSCLTMNG_STATE", path, MAX_PATH);
  if (n > 0 && n < MAX_PATH) return;
  char temp[MAX_PATH + 1];
  const DWORD t = ::GetTempPathA(MAX_PATH, temp);
  if (t == 0 || t > MAX_PATH - 20) temp[0] = '\0';
  ::lstrcpynA(path, temp, MAX_PATH);
  ::lstrcatA(path, "vscltmng.state");
}

// Adds one to the counter of log `slot` and returns the new count (0 when the
// state file cannot be used).
unsigned long NextCount(unsigned slot) {
  char path[MAX_PATH + 1];
  StatePath(path);
  HANDLE file = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  unsigned long count = 0;
  OVERLAPPED whole{};
  if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, kLogCount * 4, 0, &whole)) {
    unsigned char bytes[4] = {};
    OVERLAPPED at{};
    at.Offset = slot * 4;
    DWORD done = 0;
    if (!::ReadFile(file, bytes, 4, &done, &at) || done != 4) bytes[0] = bytes[1] = bytes[2] = bytes[3] = 0;
    count = (bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<unsigned long>(bytes[3]) << 24)) + 1;
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(count >> (8 * i));
    if (!::WriteFile(file, bytes, 4, &done, &at) || done != 4) count = 0;
    ::UnlockFileEx(file, 0, kLogCount * 4, 0, &whole);
  }
  ::CloseHandle(file);
  return count;
}

}  // namespace

extern "C" int32_t __cdecl vsLOGMngWritePosition(uint32_t logId, uint32_t* recordLength,
                                                 uint32_t* recordNumber) {
  const unsigned long length = Setting("VSCLTMNG_LENGTH", 192, 64, 1024);
  const unsigned long records = Setting("VSCLTMNG_RECORDS", 1000, 1, 9999);
  const unsigned slot = (logId >= 1 && logId <= kLogCount) ? logId - 1 : kLogCount - 1;
  unsigned long count = NextCount(slot);
  if (count == 0) count = 1;  // state unusable: keep logging into the first record
  const unsigned long number = (count - 1) % records + 1;
  if (recordLength) *recordLength = static_cast<uint32_t>(length);
  if (recordNumber) *recordNumber = static_cast<uint32_t>(number);
  return static_cast<int32_t>((number - 1) * length);
}
