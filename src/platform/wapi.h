#pragma once
// Platform services shared by the archive and logging modules:
// - the link to the client's progress dialog "VSKDLG.EXE" (progress_block.h):
//   range and position written into its named block, leftover dialogs closed;
// - terminating every process of an executable name;
// - named kernel objects usable across terminal sessions: from Windows 6 on,
//   and in remote-desktop mode, their names go into the Global namespace and
//   they get a descriptor that admits everybody;
// - switching file-system redirection off and on for a 32-bit process on
//   64-bit Windows (looked up at run time: older systems have no such switch);
// - the terminal-session id of the process;
// - this layer's traces to CLIENT.log, and the report of a processor
//   exception caught while writing them.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "logging/log.h"

inline constexpr char kVskWapiCategory[] = "wapi";
inline constexpr int kVskWapiSecurityInitFailed = -11003;
inline constexpr int kVskWapiSecurityDaclFailed = -11004;

// --- Progress dialog --------------------------------------------------------
// Kind 1 download, 2 install, 4 packaging; kind 3 (and any other) shows no
// progress. Start remembers the range for the process and resets the block.
void vskWapiGaugeStart(std::uint16_t kind, std::uint16_t range);
// Writes the position (capped at the remembered range). With no dialog
// running, a position at or past the range closes leftover dialogs.
void vskWapiGaugeStep(std::uint16_t kind, std::uint16_t position);
// Posts the close message to every window titled as one of the client's
// dialogs; terminates "VSKDLG.EXE" when there was none.
void vskWapiCloseDlgboxStay();
// Terminates every process whose executable name (after the last backslash)
// equals name, ignoring letter case.
void vskWapiKillProcess(const char* name);

// --- Named objects --------------------------------------------------------------
// True where kernel object names go into the Global namespace.
bool vskWapiUsesGlobalNames();
// Fills descriptor and attributes (not inheritable) with a present but null
// access list. 0, kVskWapiSecurityInitFailed or kVskWapiSecurityDaclFailed;
// failures are traced to log (0: no trace).
int vskWapiSetSecurity(PSECURITY_DESCRIPTOR descriptor, SECURITY_ATTRIBUTES* attributes,
                       VskLogHandle log);
// "Global\<name>" into out, cut to size - 1 bytes. Always 0.
int vskWapiObjectNameChange(const char* name, char* out, std::size_t size);
// Creates or opens a mutex; where global names apply, the name is made global
// and missing attributes admit everybody. GetLastError() is the creation's.
HANDLE vskWapiCreateMutex(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, const char* name,
                          VskLogHandle log);
// Opens a file mapping by name (made global where that applies). GetLastError()
// is the open's.
HANDLE vskWapiOpenFileMapping(DWORD access, BOOL inheritable, const char* name, VskLogHandle log);

// --- Process ----------------------------------------------------------------------
// Nonzero on success; 0 on failure or where the system has no such switch.
BOOL vskWow64DisableWow64FsRedirection(PVOID* oldValue);
BOOL vskWow64RevertWow64FsRedirection(PVOID oldValue);
// Terminal-session id of the process, 0 where not available.
DWORD vskWapiGetSessionId();

namespace bk::win {
// File-system redirection off for the owner's life, for the code that touches
// the archived files' places: back on at every exit. Where the system has no
// redirection (a 64-bit process, older systems) nothing is switched.
class RedirectionOff {
 public:
  RedirectionOff() : off_(vskWow64DisableWow64FsRedirection(&old_)) {}
  ~RedirectionOff() {
    if (off_) vskWow64RevertWow64FsRedirection(old_);
  }
  RedirectionOff(const RedirectionOff&) = delete;
  RedirectionOff& operator=(const RedirectionOff&) = delete;

 private:
  PVOID old_ = nullptr;
  BOOL off_;
};
}  // namespace bk::win

// --- Traces -------------------------------------------------------------------------
// Category of vskWapiOpenWriteCloseClientLogCore; callers set kVskWapiCategory
// before each call. category must outlive its use (a literal).
void vskWapiSetTraceCategory(const char* category);
// Formats (cut at 690 bytes) and writes the text to CLIENT.log in pieces that
// fit one record. Loads the settings for the call when they are not loaded. A
// processor exception raised meanwhile is caught and reported.
void vskWapiOpenWriteCloseClientLogCore(const char* format, ...)
    __attribute__((format(gnu_printf, 1, 2)));
// Formats (cut at 766 bytes) and writes to log with category "wapi"; nothing
// for log 0. Always 0.
int vskWapiTraceLog(VskLogHandle log, const char* format, ...)
    __attribute__((format(gnu_printf, 2, 3)));
