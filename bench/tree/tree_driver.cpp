// tree_driver: runs the service's exports for the tree benchmark.
//   tree_driver setup INSTALL BACKUPROOT
//       the client's registry configuration (install path, backup root, log
//       on, no progress dialog), INSTALL\LOG and INSTALL\BIN, the backup root
//       and an empty management file in it when there is none (making a
//       backup never creates one).
//   tree_driver backup NAME VERSION GENERATION PATH
//   tree_driver restore NAME VERSION GENERATION
//       loads bkrestore.dll, calls vskAPIBackup or vskAPIRestore and prints
//       the result, the time the call took (loading not included) and the
//       process's peak working set (loading included).
// Exit code: the export's result (0 success), 64 usage, 100 the library or
// the configuration could not be set up.
#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "environment/env.h"
#include "platform/unique_handle.h"
#include "tree_common.h"

namespace {

constexpr int kUsage = 64;
constexpr int kSetupFailed = 100;

bool SetValue(HKEY key, const char* name, const std::string& value) {
  const LONG rc = ::RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>(value.size() + 1));
  if (rc != ERROR_SUCCESS) std::fprintf(stderr, "tree_driver: cannot set %s (error %ld)\n", name, rc);
  return rc == ERROR_SUCCESS;
}

bool MakeDirectory(const std::string& path) {
  if (::CreateDirectoryA(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) return true;
  std::fprintf(stderr, "tree_driver: cannot create %s (error %lu)\n", path.c_str(), ::GetLastError());
  return false;
}

// A management file holding only its header: a record count of 0.
bool MakeEmptyManagementFile(const std::string& root) {
  const std::string path = root + "\\BACKMNG";
  bk::win::unique_hfile file(
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    if (::GetLastError() == ERROR_FILE_EXISTS) return true;
    std::fprintf(stderr, "tree_driver: cannot create %s (error %lu)\n", path.c_str(), ::GetLastError());
    return false;
  }
  unsigned char header[2];
  bk::StoreLe16(header, 0);
  DWORD wrote = 0;
  if (!::WriteFile(file.get(), header, sizeof header, &wrote, nullptr) || wrote != sizeof header) {
    std::fprintf(stderr, "tree_driver: cannot write %s (error %lu)\n", path.c_str(), ::GetLastError());
    return false;
  }
  return true;
}

int Setup(const std::string& install, const std::string& root) {
  bk::win::unique_hkey key;
  const LONG rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kVskRegistryKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    key.put(), nullptr);
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "tree_driver: cannot create the client's registry key (error %ld)\n", rc);
    return kSetupFailed;
  }
  const bool ok = SetValue(key.get(), "PathName", install) && SetValue(key.get(), "RestoreBackupPath", root) &&
                  SetValue(key.get(), "LogOption", "YES") && SetValue(key.get(), "GaugeDialog", "NO") &&
                  MakeDirectory(install) && MakeDirectory(install + "\\LOG") && MakeDirectory(install + "\\BIN") &&
                  MakeDirectory(root) && MakeEmptyManagementFile(root);
  if (!ok) return kSetupFailed;
  std::printf("tree_driver: PathName=%s RestoreBackupPath=%s\n", install.c_str(), root.c_str());
  return 0;
}

using BackupCall = std::uint32_t(__cdecl*)(const char*, const char*, const char*, const char*);
using RestoreCall = std::uint32_t(__cdecl*)(const char*, const char*, const char*);

template <typename Function>
Function Lookup(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(library, name)));
}

double PeakWorkingSetMiB() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

int Report(const char* call, std::uint32_t result, double seconds) {
  std::printf("tree_driver: %s result=%lu seconds=%.3f peak_ws_mib=%.1f\n", call, static_cast<unsigned long>(result),
              seconds, PeakWorkingSetMiB());
  return static_cast<int>(result);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "setup" && argc == 4) return Setup(argv[2], argv[3]);
  const bool backup = command == "backup" && argc == 6;
  const bool restore = command == "restore" && argc == 5;
  if (!backup && !restore) {
    std::fprintf(stderr,
                 "usage: tree_driver setup INSTALL BACKUPROOT\n"
                 "       tree_driver backup NAME VERSION GENERATION PATH\n"
                 "       tree_driver restore NAME VERSION GENERATION\n");
    return kUsage;
  }
  bk::win::unique_hmodule library(::LoadLibraryA("bkrestore.dll"));
  if (!library) {
    std::fprintf(stderr, "tree_driver: cannot load bkrestore.dll (error %lu)\n", ::GetLastError());
    return kSetupFailed;
  }
  if (backup) {
    const auto call = Lookup<BackupCall>(library.get(), "vskAPIBackup");
    if (call == nullptr) {
      std::fprintf(stderr, "tree_driver: bkrestore.dll has no vskAPIBackup\n");
      return kSetupFailed;
    }
    const bk::tree::Stopwatch clock;
    const std::uint32_t result = call(argv[2], argv[3], argv[4], argv[5]);
    return Report("vskAPIBackup", result, clock.Seconds());
  }
  const auto call = Lookup<RestoreCall>(library.get(), "vskAPIRestore");
  if (call == nullptr) {
    std::fprintf(stderr, "tree_driver: bkrestore.dll has no vskAPIRestore\n");
    return kSetupFailed;
  }
  const bk::tree::Stopwatch clock;
  const std::uint32_t result = call(argv[2], argv[3], argv[4]);
  return Report("vskAPIRestore", result, clock.Seconds());
}
