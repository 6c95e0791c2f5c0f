// Dial-up over the Remote Access Service, loaded at run time.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "environment/env.h"
#include "logging/log.h"
#include "multiserver/ras.h"
#include "tcp/tcp.h"

namespace bk::ras {

namespace {

HMODULE SystemLoad() {
  char path[MAX_PATH + 32];
  const UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  std::strcat(path, "\\RASAPI32.DLL");
  return ::LoadLibraryExA(path, nullptr, 0);
}
FARPROC SystemGetProc(HMODULE library, const char* name) { return ::GetProcAddress(library, name); }
void SystemRelease(HMODULE library) { ::FreeLibrary(library); }
void SystemPause(DWORD milliseconds) { ::Sleep(milliseconds); }

constexpr Calls kSystemCalls = {SystemLoad, SystemGetProc, SystemRelease, SystemPause};
Calls g_calls = kSystemCalls;

}  // namespace

Calls& CallsTable() { return g_calls; }
void ResetCalls() { g_calls = kSystemCalls; }

}  // namespace bk::ras

namespace {

constexpr char kCategory[] = "ras";
constexpr char kModule[] = "share\\ras\\rasapi";

HMODULE g_library = nullptr;  // loaded by each dial attempt, released by each hang-up

template <typename Fn>
Fn Proc(const char* name) {
  if (g_library == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(bk::ras::CallsTable().getProc(g_library, name)));
}

void ReleaseLibrary() {
  if (g_library != nullptr) bk::ras::CallsTable().release(g_library);
  g_library = nullptr;
}

bool IsNt351() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  return ::GetVersionExA(&version) && version.dwMajorVersion == 3 && version.dwMinorVersion == 51;
}

}  // namespace

int vskRasApiEnumConnections(const char* host) {
  vskLogTrace(kCategory, "vskRasApiEnumConnections start");
  std::vector<VskRasConn> connections;
  try {
    connections.assign(1, VskRasConn{});
  } catch (...) {
    vskLogTrace(kCategory, "GlobalAlloc IpRasConn ErrorCode = %d. vskRasApiEnumConnections stop.", static_cast<int>(ERROR_OUTOFMEMORY));
    return 1;
  }
  auto enumerate = Proc<bk::ras::EnumConnectionsFn>("RasEnumConnectionsA");
  if (enumerate == nullptr) {
    vskLogTrace(kCategory, "GetProcAddress( RasEnumConnections ) ErrorCode = %lu. vskRasApiEnumConnections stop.", ::GetLastError());
    return 1;
  }
  connections[0].dwSize = sizeof(VskRasConn);
  DWORD size = sizeof(VskRasConn), count = 0;
  DWORD rc = enumerate(connections.data(), &size, &count);
  if (rc != 0 && rc != kRasBufferTooSmall) {
    vskLogTrace(kCategory, "First time RasEnumConnections ErrorCode = %lu. vskRasApiEnumConnections stop.", rc);
    return 1;
  }
  if (rc == kRasBufferTooSmall) {
    std::size_t records = size / sizeof(VskRasConn) + (size % sizeof(VskRasConn) != 0);
    if (records < count) records = count;
    if (records == 0 || records > 4096) {
      vskLogTrace(kCategory, "Second time RasEnumConnections ErrorCode = %lu. vskRasApiEnumConnections stop.", rc);
      return 1;
    }
    connections.assign(records, VskRasConn{});
    for (VskRasConn& c : connections) c.dwSize = sizeof(VskRasConn);
    size = static_cast<DWORD>(records * sizeof(VskRasConn));
    count = 0;
    rc = enumerate(connections.data(), &size, &count);
    if (rc != 0) {
      vskLogTrace(kCategory, "Second time RasEnumConnections ErrorCode = %lu. vskRasApiEnumConnections stop.", rc);
      return 1;
    }
  }
  // The count comes from the system: never more than the records given.
  if (count > connections.size()) count = static_cast<DWORD>(connections.size());
  if (count == 0) return 0;
  bool matched = false;
  std::string names;
  for (DWORD i = 0; i < count; ++i) {
    char name[sizeof connections[i].szEntryName + 1] = {};
    std::memcpy(name, connections[i].szEntryName, sizeof connections[i].szEntryName);
    if (host != nullptr && bk::EqualsIgnoreCase(name, host)) matched = true;
    if (!names.empty()) names += ",";
    names += name;
  }
  vskLogTrace(kCategory, "Dialup to: %s ,Already dialup to: %s. vskRasApiEnumConnections stop.", host ? host : "", names.c_str());
  return matched ? 2 : 3;
}

namespace {

// The Remote Access Service library, loaded once; 0 or the error.
DWORD LoadRas() {
  if (g_library == nullptr) g_library = bk::ras::CallsTable().load();
  if (g_library != nullptr) return 0;
  const DWORD error = ::GetLastError();
  vskLogTrace(kCategory, "LoadLibraryEx Error rc = %lu", error);
  return error != 0 ? error : ERROR_MOD_NOT_FOUND;
}

// The phone-book entries: asked for their number first, then read whole
// (at most 4096). 0 or the error.
DWORD ListEntries(std::vector<VskRasEntryName>& entries, DWORD& listed) {
  auto enumEntries = Proc<bk::ras::EnumEntriesFn>("RasEnumEntriesA");
  if (enumEntries == nullptr) {
    const DWORD error = ::GetLastError();
    vskLogTrace(kCategory, "GetProcAddress( RasEnumEntries ) Error rc = %lu", error);
    return error != 0 ? error : ERROR_PROC_NOT_FOUND;
  }
  entries.assign(1, VskRasEntryName{});
  entries[0].dwSize = sizeof(VskRasEntryName);
  DWORD size = sizeof(VskRasEntryName), count = 0;
  DWORD rc = enumEntries(nullptr, nullptr, entries.data(), &size, &count);
  if (rc != 0 && rc != kRasBufferTooSmall) {
    vskLogTrace(kCategory, "RasEnumEntries Error rc = %lu", rc);
    return rc;
  }
  if (count == 0) {
    vskLogTrace(kCategory, "vskRasApiDial::RasEnumEntries No Entry");
    return kRasCannotFindPhonebookEntry;
  }
  if (count > 4096) count = 4096;
  entries.assign(count, VskRasEntryName{});
  for (VskRasEntryName& e : entries) e.dwSize = sizeof(VskRasEntryName);
  size = static_cast<DWORD>(count * sizeof(VskRasEntryName));
  listed = 0;
  rc = enumEntries(nullptr, nullptr, entries.data(), &size, &listed);
  if (rc != 0) {
    vskLogTrace(kCategory, "RasEnumEntryies Error rc = %lu", rc);
    return rc;
  }
  if (listed > entries.size()) listed = static_cast<DWORD>(entries.size());
  return 0;
}

// The entry name of a host: upper case, and on NT 3.51 "!" for ".".
void EntryNameOf(const char* host, char* entryName, std::size_t size) {
  bk::CopyText(entryName, size, host);
  const bool nt351 = IsNt351();
  for (char* p = entryName; *p != '\0'; ++p) {
    *p = bk::AsciiUpper(*p);
    if (nt351 && *p == '.') *p = '!';
  }
}

bool HasEntry(const std::vector<VskRasEntryName>& entries, DWORD listed, const char* entryName) {
  for (DWORD i = 0; i < listed; ++i) {
    char name[sizeof entries[i].szEntryName + 1] = {};
    std::memcpy(name, entries[i].szEntryName, sizeof entries[i].szEntryName);
    for (char* p = name; *p != '\0'; ++p) *p = bk::AsciiUpper(*p);
    if (std::strcmp(name, entryName) == 0) return true;
  }
  return false;
}

// The dial parameters of the entry with the configured login; 0, or
// kRasAuthenticationFailure without a user name (`params` cleared then).
DWORD MakeDialParams(const char* entryName, VskRasDialParams& params) {
  params = VskRasDialParams{};
  params.dwSize = sizeof params;
  bk::CopyText(params.szEntryName, sizeof params.szEntryName, entryName);
  if (vskEnvIsRasLoginOption()) {
    VskPath value;
    if (vskEnvGetRasLoginUserName(value)) bk::CopyText(params.szUserName, sizeof params.szUserName, value);
    if (vskEnvGetRasLoginPassword(value)) {
      char password[30] = {};
      if (vskEnvUnscramblePassword(value, password, sizeof password) == 1)
        bk::CopyText(params.szPassword, sizeof params.szPassword, password);
      SecureZeroMemory(password, sizeof password);
    }
    if (vskEnvGetRasLoginDomain(value)) bk::CopyText(params.szDomain, sizeof params.szDomain, value);
  }
  if (params.szUserName[0] != '\0') return 0;
  SecureZeroMemory(&params, sizeof params);
  vskLogTrace(kCategory, "RasDialParam.szUserName None");
  return kRasAuthenticationFailure;
}

// Dials with `params` (cleared afterwards in every case).
DWORD DialEntry(VskRasDialParams& params, VskRasConnection* connection) {
  auto dial = Proc<bk::ras::DialFn>("RasDialA");
  if (dial == nullptr) {
    const DWORD error = ::GetLastError();
    vskLogTrace(kCategory, "GetProcAddress( RasDial ) Error rc = %lu", error);
    SecureZeroMemory(&params, sizeof params);
    return error != 0 ? error : ERROR_PROC_NOT_FOUND;
  }
  VskRasConnection handle = nullptr;
  const DWORD rc = dial(nullptr, nullptr, &params, 0, nullptr, &handle);
  SecureZeroMemory(&params, sizeof params);
  if (rc == 0) {
    vskLogTrace(kCategory, "vskRasApiDial stop rc = %lu", rc);
    *connection = handle;
    return 0;
  }
  vskLogTrace(kCategory, "RasDial Error rc = %lu", rc);
  // A failed dial may still hold a connection handle: it is handed back so
  // that the caller's hang-up frees the port.
  *connection = handle;
  return rc;
}

}  // namespace

DWORD vskRasApiDial(const char* host, VskRasConnection* connection) {
  vskLogTrace(kCategory, "vskRasApiDial start");
  if (connection != nullptr) *connection = nullptr;
  if (host == nullptr || connection == nullptr) return ERROR_INVALID_PARAMETER;
  if (const DWORD error = LoadRas()) return error;
  std::vector<VskRasEntryName> entries;
  DWORD listed = 0;
  if (const DWORD error = ListEntries(entries, listed)) return error;
  char entryName[sizeof entries[0].szEntryName] = {};
  EntryNameOf(host, entryName, sizeof entryName);
  if (!HasEntry(entries, listed, entryName)) {
    vskLogTrace(kCategory, "RasEntry Not Found HostName = %s", host);
    return kRasCannotFindPhonebookEntry;
  }
  if (vskRasApiEnumConnections(host) == 2) return 0;  // connected already; connection stays 0
  VskRasDialParams params;
  if (const DWORD error = MakeDialParams(entryName, params)) return error;
  return DialEntry(params, connection);
}

DWORD vskRasApiHandUp(VskRasConnection connection) {
  vskLogTrace(kCategory, "vskRasApiHandUp start");
  if (connection == nullptr) {
    vskLogTrace(kCategory, "GetProcAddress( RasHangUp ) hRasHandle None");
    ReleaseLibrary();
    return kRasInvalidHandle;
  }
  auto hangUp = Proc<bk::ras::HangUpFn>("RasHangUpA");
  if (hangUp == nullptr) {
    DWORD error = ::GetLastError();
    if (error == 0) error = ERROR_PROC_NOT_FOUND;
    vskLogTrace(kCategory, "GetProcAddress( RasHangUp ) Error rc = %lu", error);
    ReleaseLibrary();
    return error;
  }
  const DWORD rc = hangUp(connection);
  bk::ras::CallsTable().pause(3000);
  ReleaseLibrary();
  if (rc != 0) {
    vskLogApiError(kVskApiWindows, "**********", "RasHangUp", static_cast<std::int32_t>(rc), kModule, __LINE__);
    vskLogTrace(kCategory, "RasHangUp Error rc = %lu", rc);
    return rc;
  }
  vskLogTrace(kCategory, "vskRasApiHandUp stop rc = %lu", rc);
  return 0;
}

int vskRasProcDial(const char* host) {
  if (host == nullptr) return 0;
  if (vskEnvIsSiteServer()) {
    char mine[kTcpHostNameSize + 16];
    if (vskTcpIsMyHost(host, mine) == 0) return 1;
  }
  int attempts = vskEnvGetConnectRetryCount() + 1;
  if (attempts < 1) attempts = 1;
  int interval = vskEnvGetConnectRetryInterval();
  if (interval < 0) interval = 0;

  VskRasConnection connection = nullptr;
  bool connected = false, stopped = false;
  DWORD rc = vskRasApiDial(host, &connection);
  if (rc == 0) {
    connected = true;
  } else if (rc == kRasCannotFindPhonebookEntry) {
    stopped = true;
  } else {
    vskRasApiHandUp(connection);
    connection = nullptr;
  }
  for (int made = 1; made < attempts && !connected && !stopped; ++made) {
    rc = vskRasApiDial(host, &connection);
    if (rc == 0) {
      connected = true;
    } else if (rc == kRasCannotFindPhonebookEntry) {
      stopped = true;
    } else {
      vskRasApiHandUp(connection);
      connection = nullptr;
      vskLogTrace(kCategory, "vskRasProcDial Error ( retry count = %d )", made);
      bk::ras::CallsTable().pause(static_cast<DWORD>(interval) * 1000);
    }
  }
  if (connected) return 1;
  vskRasApiHandUp(connection);
  return 0;
}
