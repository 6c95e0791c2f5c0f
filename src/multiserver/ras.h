#pragma once
// The dial-up layer over the Remote Access Service (RASAPI32.DLL, loaded at
// run time from the system directory): find the phonebook entry named after
// the host, skip the dial when it is connected already, dial synchronously
// with the configured login, retry, hang up. Traces go to "client.log" with
// category "ras".
#include <windows.h>

#include <cstddef>

// RAS records in their narrow, first-version layouts (each one's dwSize is
// set to its size; 264, 1052 and 412 bytes in the 32-bit build).
struct VskRasEntryName {
  DWORD dwSize;
  CHAR szEntryName[257];
};
struct VskRasDialParams {
  DWORD dwSize;
  CHAR szEntryName[257];
  CHAR szPhoneNumber[129];
  CHAR szCallbackNumber[129];
  CHAR szUserName[257];
  CHAR szPassword[257];
  CHAR szDomain[16];
};
struct VskRasConn {
  DWORD dwSize;
  HANDLE hrasconn;
  CHAR szEntryName[257];
  CHAR szDeviceType[17];
  CHAR szDeviceName[129];
};
#if !defined(_WIN64)
static_assert(sizeof(VskRasEntryName) == 264 && sizeof(VskRasDialParams) == 1052 && sizeof(VskRasConn) == 412);
#endif

using VskRasConnection = HANDLE;

inline constexpr DWORD kRasBufferTooSmall = 603;
inline constexpr DWORD kRasCannotFindPhonebookEntry = 623;
inline constexpr DWORD kRasAuthenticationFailure = 691;
inline constexpr DWORD kRasInvalidHandle = 601;

// 1 connected (or no dial needed), 0 failed; with retries and pauses.
int vskRasProcDial(const char* host);
// One dial: 0 (connection set, or 0 when the entry was connected already),
// 623 no phonebook entry, 691 no user name, or the failing call's code.
DWORD vskRasApiDial(const char* host, VskRasConnection* connection);
// 0, 601 for connection 0, or the failing call's code. Releases the library.
DWORD vskRasApiHandUp(VskRasConnection connection);
// 0 no active connection, 2 the host's entry is connected, 3 only others, 1 failure.
int vskRasApiEnumConnections(const char* host);

namespace bk::ras {

// How the layer reaches the system: the library, its functions and the
// pauses. Tests replace the table (Wine's RAS is a stub).
struct Calls {
  HMODULE (*load)();                                // RASAPI32.DLL from the system directory
  FARPROC (*getProc)(HMODULE library, const char* name);
  void (*release)(HMODULE library);
  void (*pause)(DWORD milliseconds);
};
Calls& CallsTable();
void ResetCalls();

using EnumEntriesFn = DWORD(WINAPI*)(LPCSTR reserved, LPCSTR phonebook, VskRasEntryName* entries, LPDWORD size,
                                     LPDWORD count);
using EnumConnectionsFn = DWORD(WINAPI*)(VskRasConn* connections, LPDWORD size, LPDWORD count);
using DialFn = DWORD(WINAPI*)(LPVOID extensions, LPCSTR phonebook, VskRasDialParams* params, DWORD notifierType,
                              LPVOID notifier, VskRasConnection* connection);
using HangUpFn = DWORD(WINAPI*)(VskRasConnection connection);

}  // namespace bk::ras
