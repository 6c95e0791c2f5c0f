// The process's current server, the other servers named after it, the job
// directories of each job mode, and the decision to dial up.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/text.h"
#include "environment/env.h"
#include "logging/log.h"
#include "multiserver/multiserver.h"
#include "multiserver/ras.h"

namespace {

constexpr char kCategory[] = "multisrv";
constexpr char kModule[] = "client\\multisrv\\multidir";

struct CurrentServer {
  char dir[kMultisrvDirNameSize] = {};
  char host[kMultisrvHostSize] = {};
  char service[kMultisrvServiceSize] = {};
  std::vector<std::string> others;  // directory names, first-seen order
  bool dialled = false;
};
CurrentServer g_server;

void Log(const char* text) {
  const VskLogHandle log = vskLogOpen("CLIENT.LOG");
  vskLogWrite(log, text, kCategory);
  vskLogClose(log);
}

}  // namespace

int vskMultisrvCheckRasConnect() {
  char module[MAX_PATH + 1];
  const DWORD length = ::GetModuleFileNameA(nullptr, module, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    char text[96];
    std::snprintf(text, sizeof text, "vskMultisrvCheckRasConnect:GetModuleFileName Err(%lu)", ::GetLastError());
    Log(text);
    return 0;
  }
  module[length] = '\0';
  const char* slash = std::strrchr(module, '\\');
  const char* name = slash != nullptr ? slash + 1 : module;
  if (!bk::EqualsIgnoreCase(name, "vskwinst.exe")) return 0;
  VskPath network;
  vskEnvGetPollingNetwork(network);
  return std::strcmp(network, "WAN") == 0 && vskEnvIsRasConnectOption() ? 1 : 0;
}

int vskMultisrvRasConnect(const char* host) {
  // Handle 0 means that logging is switched off, which never fails a caller.
  const VskLogHandle log = vskLogOpen("CLIENT.LOG");
  int result = 0;
  if (vskMultisrvCheckRasConnect() && !g_server.dialled) {
    char text[kVskPathSize + 64];
    std::snprintf(text, sizeof text, "vskMultisrvRasConnect:vskRasProcDial Call(%s)", host ? host : "");
    vskLogWrite(log, text, kCategory);
    if (vskRasProcDial(host) == 1)
      g_server.dialled = true;
    else
      result = -1;
  }
  vskLogClose(log);
  return result;
}

int vskMultisrvSetSSIListInfo(const char* host, const char* service, const char* dirName) {
  if (g_server.dir[0] == '\0') {
    if (dirName == nullptr) {
      if (host == nullptr || service == nullptr) return 0;
      if (vskMultisrvRasConnect(host) == -1) return 0;
      char dir[kMultisrvDirNameSize] = {};
      if (vskMultisrvGetDirNameFromHostName(host, service, dir) != 1) return 0;
      bk::CopyText(g_server.dir, sizeof g_server.dir, dir);
      bk::CopyText(g_server.host, sizeof g_server.host, host);
      bk::CopyText(g_server.service, sizeof g_server.service, service);
      return 1;
    }
    char foundHost[kMultisrvHostSize] = {}, foundService[kMultisrvServiceSize] = {};
    if (vskMultisrvGetHostNameFromDirName(dirName, foundHost, foundService) != 1) return 0;
    bk::CopyText(g_server.host, sizeof g_server.host, foundHost);
    bk::CopyText(g_server.service, sizeof g_server.service, foundService);
    bk::CopyText(g_server.dir, sizeof g_server.dir, dirName);
    return 1;
  }

  char dir[kMultisrvDirNameSize] = {};
  if (dirName == nullptr) {
    if (host == nullptr || service == nullptr) return 0;
    if (vskMultisrvRasConnect(host) == -1) return 0;
    if (vskMultisrvGetDirNameFromHostName(host, service, dir) != 1) return 0;
  } else {
    bk::CopyText(dir, sizeof dir, dirName);
  }
  if (bk::EqualsIgnoreCase(dir, g_server.dir)) return 1;
  for (const std::string& other : g_server.others)
    if (bk::EqualsIgnoreCase(other.c_str(), dir)) return 1;
  try {
    g_server.others.emplace_back(dir);
  } catch (const std::bad_alloc&) {
    vskLogApiError(kVskApiCLibrary, kCategory, "malloc: size=16", ENOMEM, kModule, __LINE__);
    char text[128];
    std::snprintf(text, sizeof text, "Out Of Memory: size=%d, Error=%d, Finc=vskMultisrvSetSSIListInfo", 16, ENOMEM);
    Log(text);
    vskMultisrvFreeSSIList();
    return 0;
  }
  return 1;
}

int vskMultisrvGetDirPath(int jobMode, char* path) {
  if (path == nullptr) return 0;
  struct Mode {
    int mode;
    bool work;          // under the work directory, else the install path
    const char* suffix;
  };
  static constexpr Mode kModes[] = {
      {2, false, "\\CLIENT\\SCHEDULE\\"}, {3, false, "\\CLIENT\\BOOT\\"},    {5, false, "\\CLIENT\\WINSETUP\\"},
      {6, false, "\\CLIENT\\APGUI\\"},    {7, false, "\\CLIENT\\APBACK\\"},  {8, false, "\\CLIENT\\PSM\\"},
      {10, false, "\\CLIENT\\REGULAR\\"}, {11, false, "\\CLIENT\\SUSPEND\\"}, {12, false, "\\CLIENT\\RESUME\\"},
      {13, false, "\\CLIENT\\WINSSUSP\\"}, {14, false, "\\CLIENT\\DIFFREB\\"}, {15, false, "\\CLIENT\\DIFFLOG\\"},
      {16, false, "\\CLIENT\\APWORK\\"},  {17, false, "\\CLIENT\\INV\\"},    {18, false, "\\CLIENT\\HOLD\\"},
      {19, false, "\\CLIENT\\HOLDDEL\\"}, {99, true, "\\RCV\\"},             {100, true, "\\INV\\"},
      {101, true, "\\SND\\"},             {102, true, "\\SNDBACK\\"},        {103, false, "\\CLIENT\\RESOURCE\\"},
      {104, false, "\\CLIENT\\VSKINST\\"}, {105, false, "\\CLIENT\\REG\\"},  {106, false, "\\MASTER\\DB\\"},
      {107, false, "\\CLIENT\\SPLIT\\"},  {108, false, "\\USERINV\\"},
  };
  if (jobMode == 1) {
    VskPath work;
    vskEnvGetWorkPath(work);
    bk::CopyText(path, kVskPathSize, work);
    return 1;
  }
  const Mode* found = nullptr;
  for (const Mode& m : kModes)
    if (m.mode == jobMode) found = &m;
  if (found == nullptr) {
    char text[64];
    std::snprintf(text, sizeof text, "Undefined JobMode: JobMode=%d", jobMode);
    vskLogEvent(kVskMsgInstallError, kCategory, text, 0, kModule, __LINE__);
    Log("switch[Mode]default:ON_vskMultisrvGetDirPath");
    return 0;
  }
  VskPath base;
  if (found->work)
    vskEnvGetWorkPath(base);
  else
    vskEnvGetInstallPath(base);
  char full[2 * kVskPathSize];
  std::snprintf(full, sizeof full, "%s%s%s", base, found->suffix, g_server.dir);
  bk::CopyText(path, kVskPathSize, full);
  if (g_server.dir[0] != '\0') return 1;
  char* last = std::strrchr(path, '\\');
  if (last != nullptr) *last = '\0';
  return 0;
}

int vskMultisrvGetCurrentDirName(const char** name) {
  if (g_server.dir[0] == '\0') return 0;
  if (name != nullptr) *name = g_server.dir;
  return 1;
}

void vskMultisrvFreeSSIList() {
  g_server.others.clear();
  g_server.others.shrink_to_fit();
}

std::size_t vskMultisrvServerListCount() { return g_server.others.size(); }
const char* vskMultisrvServerListAt(std::size_t index) {
  return index < g_server.others.size() ? g_server.others[index].c_str() : nullptr;
}

void vskMultisrvResetForTest() { g_server = CurrentServer(); }
