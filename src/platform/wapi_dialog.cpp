// The link to the client's progress dialog program.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <atomic>
#include <cstring>

#include "common/text.h"
#include "environment/env.h"
#include "platform/progress_block.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"

namespace {

// Range of the running progress, as the last start set it.
std::atomic<std::uint16_t> g_range{0};

constexpr int kTitleSize = 70;  // titles are read up to 69 characters

// The block of a kind, mapped for writing; empty when the mapping exists but
// cannot be mapped.
struct OpenedBlock {
  bool exists = false;
  bk::win::unique_handle mapping;
  bk::win::unique_mapview view;
};

OpenedBlock OpenBlock(const char* name) {
  OpenedBlock block;
  block.mapping.reset(vskWapiOpenFileMapping(FILE_MAP_WRITE, FALSE, name, 0));
  if (!block.mapping) return block;
  block.exists = true;
  block.view.reset(::MapViewOfFile(block.mapping.get(), FILE_MAP_WRITE, 0, 0, bk::progress::kBlockSize));
  return block;
}

// The dialog reads the block whenever the marker is set: the marker goes last.
void WriteBlock(void* view, std::uint16_t kind, std::uint16_t range, std::uint16_t position) {
  bk::progress::StoreField(view, bk::progress::kKindOffset, kind);
  bk::progress::StoreField(view, bk::progress::kRangeOffset, range);
  bk::progress::StoreField(view, bk::progress::kPositionOffset, position);
  bk::progress::StoreField(view, bk::progress::kMarkerOffset, 1);
}

struct CloseWalk {
  bool softwareSearch;
  bool debug;
  bool sent;
};

bool IsDialogTitle(const char* title, bool softwareSearch) {
  return std::strcmp(title, bk::progress::kTitleDownload) == 0 ||
         std::strcmp(title, bk::progress::kTitleInstalling) == 0 ||
         (softwareSearch && std::strcmp(title, bk::progress::kTitleSoftwareSearch) == 0);
}

BOOL CALLBACK CloseIfDialog(HWND window, LPARAM context) {
  auto* walk = reinterpret_cast<CloseWalk*>(context);
  char title[kTitleSize] = {};
  ::GetWindowTextA(window, title, kTitleSize);
  if (IsDialogTitle(title, walk->softwareSearch)) {
    if (walk->debug) vskLogTrace(kVskWapiCategory, "Dialog:END Message Send, Title=%s", title);
    ::PostMessageA(window, WM_CLOSE, 0, 0);
    walk->sent = true;
  }
  return TRUE;
}

bool ToolhelpSupported() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!::GetVersionExA(&version)) return false;
  return (version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5) ||
         version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

using SnapshotFunction = HANDLE(WINAPI*)(DWORD, DWORD);
using ProcessWalkFunction = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

unsigned long long Shown(const void* pointer) {
  return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer));
}

void TerminateMatching(VskLogHandle log, const char* name) {
  bk::win::unique_hmodule kernel(::LoadLibraryA("Kernel32.DLL"));
  if (!kernel) {
    vskWapiTraceLog(log, "vskWapiKillProcess():LoadLibrary(Kernel32.DLL) Error=%d", static_cast<int>(::GetLastError()));
    return;
  }
  const auto snapshotOf = Lookup<SnapshotFunction>(kernel.get(), "CreateToolhelp32Snapshot");
  const auto first = Lookup<ProcessWalkFunction>(kernel.get(), "Process32First");
  const auto next = Lookup<ProcessWalkFunction>(kernel.get(), "Process32Next");
  HANDLE snapshot = INVALID_HANDLE_VALUE;
  if (snapshotOf != nullptr && first != nullptr && next != nullptr)
    snapshot = snapshotOf(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    const int error = static_cast<int>(::GetLastError());
    vskWapiTraceLog(log, "vskWapiKillProcess():CreateToolhelp32Snapshot()=0x%llx Error=%d", Shown(snapshot), error);
    vskWapiTraceLog(log,
                    "vskWapiKillProcess():GetProcAddress() Error: lpfCreateToolhelp32Snapshot=0x%llx,"
                    "lpfProcess32First=0x%llx,lpfProcess32Next=0x%llx",
                    Shown(reinterpret_cast<const void*>(snapshotOf)), Shown(reinterpret_cast<const void*>(first)),
                    Shown(reinterpret_cast<const void*>(next)));
    return;
  }
  bk::win::unique_hfile owned(snapshot);
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  if (!first(snapshot, &entry)) {
    vskWapiTraceLog(log, "vskWapiKillProcess():Process32First() Error=%d", static_cast<int>(::GetLastError()));
    return;
  }
  do {
    const char* base = std::strrchr(entry.szExeFile, '\\');
    base = base != nullptr ? base + 1 : entry.szExeFile;
    if (!bk::EqualsIgnoreCase(base, name)) continue;
    bk::win::unique_handle process(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
    if (!process) {
      vskWapiTraceLog(log, "vskWapiKillProcess():OpenProcess() Error=%d", static_cast<int>(::GetLastError()));
    } else if (::TerminateProcess(process.get(), 0)) {
      vskWapiTraceLog(log, "vskWapiKillProcess():TerminateProcess() Complete:%s", name);
    } else {
      vskWapiTraceLog(log, "vskWapiKillProcess():TerminateProcess() Error=%d:%s",
                      static_cast<int>(::GetLastError()), name);
    }
  } while (next(snapshot, &entry));
}

}  // namespace

void vskWapiGaugeStart(std::uint16_t kind, std::uint16_t range) {
  const char* name = bk::progress::BlockName(kind);
  if (name == nullptr) return;  // kind 3, and kinds that do not exist, show no progress
  g_range.store(range);
  OpenedBlock block = OpenBlock(name);
  if (block.view) WriteBlock(block.view.get(), kind, range, 0);
}

void vskWapiGaugeStep(std::uint16_t kind, std::uint16_t position) {
  const char* name = bk::progress::BlockName(kind);
  if (name == nullptr) return;
  const std::uint16_t range = g_range.load();
  OpenedBlock block = OpenBlock(name);
  if (block.exists) {
    if (block.view) WriteBlock(block.view.get(), kind, range, position > range ? range : position);
    return;
  }
  // No dialog is running: at the end of the work, close what a dialog left.
  if (range <= position) vskWapiCloseDlgboxStay();
}

void vskWapiCloseDlgboxStay() {
  ::SetLastError(0);
  CloseWalk walk{vskEnvIsGaugeDialogSoftSearch() != 0, vskEnvGetDebugMode() != 0, false};
  // EnumWindows rather than a GetWindow walk: windows closing meanwhile can
  // neither end the walk early nor make it loop.
  ::EnumWindows(CloseIfDialog, reinterpret_cast<LPARAM>(&walk));
  if (!walk.sent) vskWapiKillProcess(bk::progress::kDialogProgram);
}

void vskWapiKillProcess(const char* name) {
  const VskLogHandle log = vskLogOpen("CLIENT.LOG");
  if (name != nullptr && ToolhelpSupported()) TerminateMatching(log, name);
  vskLogClose(log);
}
