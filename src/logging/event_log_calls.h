#pragma once
// The event-log calls of the coded-message reporting. The library calls the
// system's functions; a test installs its own to see what would be reported
// (Wine accepts events but stores none).
#include <windows.h>

struct VskEventLogCalls {
  HANDLE(WINAPI* registerSource)(LPCSTR server, LPCSTR source);
  BOOL(WINAPI* report)(HANDLE source, WORD type, WORD category, DWORD eventId, PSID user,
                       WORD stringCount, DWORD dataSize, LPCSTR* strings, LPVOID data);
  BOOL(WINAPI* deregisterSource)(HANDLE source);
};

// Replaces the calls; null restores the system's. Not synchronised with
// messages being sent: install before, remove after.
void vskLogSetEventLogCalls(const VskEventLogCalls* calls);
