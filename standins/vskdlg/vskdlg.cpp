// Stand-in for the client's progress dialog program "VSKDLG.EXE".
//
//   VSKDLG.EXE KIND [--no-block] [--untitled] [--seconds N]
//
// Creates the progress block of KIND (1 download, 2 install, 4 packaging; 3
// has none) and shows a window titled as the client's dialog of that kind,
// with "position / range" as the block last said. The window closes, and the
// program ends with exit code 7, on the close message. Options for the cases
// a client can leave behind:
//   --no-block   a dialog whose block is gone (a leftover window)
//   --untitled   a dialog program whose window carries no dialog title
//   --seconds N  ends by itself (exit code 3) after N seconds; default 120,
//                so that a failed test never leaves it running
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/progress_block.h"

namespace {

constexpr UINT_PTR kPollTimer = 1;
constexpr UINT_PTR kLifetimeTimer = 2;
constexpr UINT kPollMilliseconds = 20;
constexpr int kClosedExitCode = 7;
constexpr int kExpiredExitCode = 3;
constexpr int kUsageExitCode = 2;

void* g_block = nullptr;
HWND g_position = nullptr;
int g_exitCode = kClosedExitCode;

const char* TitleOf(unsigned kind) {
  switch (kind) {
    case bk::progress::kKindDownload: return bk::progress::kTitleDownload;
    case bk::progress::kKindSoftwareSearch: return bk::progress::kTitleSoftwareSearch;
    default: return bk::progress::kTitleInstalling;  // install and packaging
  }
}

void ShowBlock() {
  if (g_block == nullptr) return;
  if (bk::progress::LoadField(g_block, bk::progress::kMarkerOffset) != 1) return;
  bk::progress::StoreField(g_block, bk::progress::kMarkerOffset, 0);
  char text[32];
  std::snprintf(text, sizeof text, "%u / %u",
                static_cast<unsigned>(bk::progress::LoadField(g_block, bk::progress::kPositionOffset)),
                static_cast<unsigned>(bk::progress::LoadField(g_block, bk::progress::kRangeOffset)));
  ::SetWindowTextA(g_position, text);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      if (wParam == kPollTimer) {
        ShowBlock();
      } else if (wParam == kLifetimeTimer) {
        g_exitCode = kExpiredExitCode;
        ::DestroyWindow(window);
      }
      return 0;
    case WM_CLOSE:
      ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(g_exitCode);
      return 0;
    default:
      return ::DefWindowProcA(window, message, wParam, lParam);
  }
}

// The client's programs share kernel objects across terminal sessions: from
// Windows 6 on, their names live in the Global namespace.
void BlockObjectName(char (&out)[64], const char* name) {
  if (LOBYTE(LOWORD(::GetVersion())) >= 6)
    std::snprintf(out, sizeof out, "Global\\%s", name);
  else
    std::snprintf(out, sizeof out, "%s", name);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  unsigned kind = 0;
  bool withBlock = true, titled = true;
  unsigned seconds = 120;
  for (int i = 1; i < __argc; ++i) {
    const char* arg = __argv[i];
    if (std::strcmp(arg, "--no-block") == 0) {
      withBlock = false;
    } else if (std::strcmp(arg, "--untitled") == 0) {
      titled = false;
    } else if (std::strcmp(arg, "--seconds") == 0 && i + 1 < __argc) {
      seconds = static_cast<unsigned>(std::strtoul(__argv[++i], nullptr, 10));
    } else {
      kind = static_cast<unsigned>(std::strtoul(arg, nullptr, 10));
    }
  }
  if (kind < 1 || kind > 4) return kUsageExitCode;

  HANDLE mapping = nullptr;
  const char* blockName = bk::progress::BlockName(kind);
  if (withBlock && blockName != nullptr) {
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES everyone{sizeof everyone, &descriptor, FALSE};
    char name[64];
    BlockObjectName(name, blockName);
    mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, &everyone, PAGE_READWRITE, 0,
                                   static_cast<DWORD>(bk::progress::kBlockSize), name);
    if (mapping == nullptr) return 1;
    g_block = ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, bk::progress::kBlockSize);
    if (g_block == nullptr) return 1;
    bk::progress::StoreField(g_block, bk::progress::kKindOffset, static_cast<std::uint16_t>(kind));
  }

  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = "VskDlgStandIn";
  ::RegisterClassA(&windowClass);
  HWND window = ::CreateWindowA("VskDlgStandIn", titled ? TitleOf(kind) : "VSKDLG",
                                WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320, 120, nullptr,
                                nullptr, instance, nullptr);
  if (window == nullptr) return 1;
  g_position = ::CreateWindowA("STATIC", "0 / 0", WS_CHILD | WS_VISIBLE, 10, 10, 280, 24, window,
                               nullptr, instance, nullptr);
  ::ShowWindow(window, SW_SHOWNOACTIVATE);
  ::SetTimer(window, kPollTimer, kPollMilliseconds, nullptr);
  ::SetTimer(window, kLifetimeTimer, seconds * 1000u, nullptr);

  MSG message;
  while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  if (g_block != nullptr) ::UnmapViewOfFile(g_block);
  if (mapping != nullptr) ::CloseHandle(mapping);
  return static_cast<int>(message.wParam);
}
