// The three exported calls: one process-wide lock, the per-call frame (load
// the configuration, open CLIENT.log; close and release on every path), the
// argument checks, and one exception boundary each.
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "bkrestore/bkrestore.h"
#include "environment/env.h"
#include "logging/log.h"
#include "service/resource_key.h"
#include "service/restore.h"
#include "service/service.h"

namespace {

std::mutex g_callLock;

constexpr char kBackupModule[] = "client\\bkrv\\vskAPIBackup";
constexpr char kFileNameModule[] = "client\\bkrv\\GetRFile";

// Load the configuration cache and open CLIENT.log; undone in reverse order.
class CallFrame {
 public:
  CallFrame() {
    vskEnvLoad();  // a failed load leaves every getter at its default
    log_ = vskLogOpen("CLIENT.log");
  }
  CallFrame(const CallFrame&) = delete;
  CallFrame& operator=(const CallFrame&) = delete;
  ~CallFrame() {
    vskLogClose(log_);
    vskEnvRelease();
  }

 private:
  VskLogHandle log_;
};

}  // namespace

extern "C" uint32_t BKRESTORE_CALL vskAPIBackup(const char* resourceName, const char* version,
                                                const char* generation, const char* directoryName) {
  try {
    std::lock_guard<std::mutex> lock(g_callLock);
    CallFrame frame;
    if (!vskIsValidKey(resourceName, version, generation) ||
        !vskIsValidArgument(directoryName, kVskMaxPathArgument)) {
      vskReportInputError(kBackupModule, __LINE__, "Input Error in vskAPIBackup", resourceName, version,
                          generation, "DirectoryName", directoryName);
      return 1;
    }
    return vskBackUpPath(resourceName, version, generation, directoryName) == 0 ? 0 : 1;
  } catch (...) {
    return 1;
  }
}

extern "C" uint32_t BKRESTORE_CALL vskAPIGetResourceFileName(const char* resourceName,
                                                             const char* version,
                                                             const char* generation,
                                                             const char* path) {
  try {
    std::lock_guard<std::mutex> lock(g_callLock);
    CallFrame frame;
    if (!vskIsValidKey(resourceName, version, generation) ||
        !vskIsValidArgument(path, kVskMaxPathArgument)) {
      vskReportInputError(kFileNameModule, __LINE__, "Input Error in vskAPIGetResourceFileName",
                          resourceName, version, generation, "Path", path);
      return 2;
    }
    const int result = vskGetResourceFileList(resourceName, version, generation, path);
    return (result == 0 || result == 1) ? static_cast<uint32_t>(result) : 2;
  } catch (...) {
    return 2;
  }
}

extern "C" uint32_t BKRESTORE_CALL vskAPIRestore(const char* resourceName, const char* version,
                                                 const char* generation) {
  try {
    std::lock_guard<std::mutex> lock(g_callLock);
    CallFrame frame;
    const uint32_t result = vskDoRestore(resourceName, version, generation);
    vskDeleteBackupLoadMarker();
    return result;
  } catch (...) {
    return 2;
  }
}
