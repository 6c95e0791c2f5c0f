// vskAPIGetResourceFileName's body: the archive of a resource key from the
// resource control file C0000000, the current server from C0.ctr, and the
// archive's list file written to the caller's path.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/ar_list.h"
#include "common/text.h"
#include "environment/command_file.h"
#include "environment/env.h"
#include "logging/log.h"
#include "multiserver/multiserver.h"
#include "platform/unique_handle.h"
#include "service/management_file.h"
#include "service/resource_control.h"
#include "service/resource_key.h"
#include "service/service.h"

namespace {

constexpr char kModule[] = "client\\bkrv\\GetRFile";

constexpr int kJobModeResource = 103;

void ApiError(int error, int line, const char* call, const char* path) {
  char info[kVskPathSize + 96];
  std::snprintf(info, sizeof info, "%s: Path=%s", call, path);
  vskLogApiError(kVskApiCLibrary, kVskCategory, info, error, kModule, line);
}

bool Exists(const char* path) { return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// Creates the missing parent directories of path, left to right; the last
// element is the list file itself. The server and share of a UNC path are
// taken as they stand. 0, or the errno of the failed creation.
int MakeParents(const char* path) {
  const std::size_t length = std::strlen(path);
  std::size_t from = 0;
  if (length >= 2 && path[0] == '\\' && path[1] == '\\') {
    int separators = 0;
    for (from = 2; from < length && separators < 2; ++from)
      if (path[from] == '\\') ++separators;
  }
  for (std::size_t at = from; at < length; ++at) {
    if (path[at] != '\\' || at == 0) continue;
    const std::string prefix(path, at);
    if (prefix.back() == ':' || prefix.back() == '\\' || Exists(prefix.c_str())) continue;
    if (::_mkdir(prefix.c_str()) != 0 && !Exists(prefix.c_str())) return errno != 0 ? errno : EIO;
  }
  return 0;
}


// Finds the key's record in C0000000 and its archive name (out:
// kRcfArchiveWidth + 1 bytes). 0 found, else the export's result.
int FindArchiveName(const char* name, const char* version, const char* generation, char* archiveName) {
  VskPath work;
  vskEnvGetWorkPath(work);
  char control[kVskPathSize + 16];
  std::snprintf(control, sizeof control, "%s\\C0000000", work);
  errno = 0;
  bk::win::unique_fd fd(::_open(control, _O_RDONLY | _O_BINARY));
  if (!fd) {
    const int error = errno;
    ApiError(error, __LINE__, "_open", control);
    vskLogTrace(kVskCategory, "%s in vskAPIGetResourceFileName. path=%s, errno=%d", std::strerror(error), control,
                error);
    return error == ENOENT ? 1 : 2;
  }
  unsigned char record[kRcfRecordSize];
  int got = 0;
  for (;;) {
    errno = 0;
    got = vskBKRVReadFull(fd.get(), record, kRcfRecordSize);
    if (got != static_cast<int>(kRcfRecordSize)) break;
    if (!vskRcfRecordMatches(record, name, version, generation)) continue;
    // The name is joined to the resource directory: anything but a plain
    // file name would reach outside it.
    if (!vskRcfArchiveName(record, archiveName)) {
      vskLogTrace(kVskCategory, "Invalid archive name in vskAPIGetResourceFileName. path=%s, name=%.8s", control,
                  archiveName);
      return 2;
    }
    return 0;
  }
  const int error = errno;
  fd.reset();
  if (got == 0) {
    char text[kVskPathSize];
    std::snprintf(text, sizeof text, "No Resource: Resource=%s, Version=%s, Generation=%s", name, version, generation);
    vskLogEvent(kVskMsgInstallError, kVskCategory, text, 0, kModule, __LINE__);
    vskLogTrace(kVskCategory, "NO_RESOURCE in vskAPIGetResourceFileName.");
    return 1;
  }
  char info[kVskPathSize + 96];
  std::snprintf(info, sizeof info, "_read, %d BytesRead, %d BytesToRead, Path=%s", got < 0 ? -1 : got,
                static_cast<int>(kRcfRecordSize), control);
  vskLogApiError(kVskApiCLibrary, kVskCategory, info, error, kModule, __LINE__);
  // A fragment leaves errno at 0, whose text ("Success") would hide the failure.
  char reason[96];
  if (error != 0)
    std::snprintf(reason, sizeof reason, "%s", std::strerror(error));
  else
    std::snprintf(reason, sizeof reason, "Short record (%d of %d bytes)", got, static_cast<int>(kRcfRecordSize));
  vskLogTrace(kVskCategory, "%s in vskAPIGetResourceFileName. path=%s, errno=%d", reason, control, error);
  return 2;
}

// Makes the server of C0.ctr current and gives its resource directory.
bool SelectServer(char* directory) {
  char host[kCtrHostOutSize] = {};
  char second[kCtrSecondOutSize] = {};
  if (vskCfstuGetExecStatus(nullptr, nullptr, host, second) == 0) {
    vskLogTrace(kVskCategory, "vskCfstuGetExecStatus Error in vskAPIGetResourceFileName.");
    return false;
  }
  // An unreadable C0.ctr leaves both fields empty. An empty host would be
  // taken for this machine and recorded in HOSTSYS as a server.
  if (host[0] == '\0' || second[0] == '\0') {
    vskLogTrace(kVskCategory, "vskCfstuGetExecStatus Error in vskAPIGetResourceFileName. host=%s, service=%s", host,
                second);
    return false;
  }
  if (vskMultisrvSetSSIListInfo(host, second, nullptr) == 0) {
    vskLogTrace(kVskCategory, "vskMultisrvSetSSIListInfo Error in vskAPIGetResourceFileName.");
    return false;
  }
  vskMultisrvGetDirPath(kJobModeResource, directory);
  return true;
}

}  // namespace

int vskGetResourceFileList(const char* name, const char* version, const char* generation, const char* path) {
  char archiveName[kRcfArchiveWidth + 1] = {};
  const int found = FindArchiveName(name, version, generation, archiveName);
  if (found != 0) return found;
  char directory[kVskPathSize] = {};
  if (!SelectServer(directory)) return 2;
  char archive[kVskPathSize + 16];
  std::snprintf(archive, sizeof archive, "%s\\%s", directory, archiveName);

  const int mkdirError = MakeParents(path);
  if (mkdirError != 0) {
    ApiError(mkdirError, __LINE__, "mkdir", path);
    vskLogTrace(kVskCategory, "%s in vskAPIGetResourceFileName. path=%s, errno=%d", std::strerror(mkdirError), path,
                mkdirError);
    return 2;
  }
  if (vskarCreatearListFileEx(archive, nullptr, path) != 0) {
    vskLogTrace(kVskCategory, "Error in vskarCreatearListFile");
    return 2;
  }
  return 0;
}
