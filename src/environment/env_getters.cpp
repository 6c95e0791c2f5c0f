// Typed getters of the client's settings, each with its fixed default.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "environment/env.h"
#include "environment/password_scramble.h"
#include "platform/unique_handle.h"

namespace {

using Value = char[kVskValueSize];

bool Lookup(const char* name, Value& value) { return vskEnvGetValue(name, value, sizeof value) == 1; }

// The four switch flavours: absent gives the default; a present value is on
// when it is YES, compared ignoring case or exactly.
int DefaultOn(const char* name) {
  Value v;
  return !Lookup(name, v) || bk::EqualsIgnoreCase(v, "YES") ? 1 : 0;
}
int DefaultOnExact(const char* name) {
  Value v;
  return !Lookup(name, v) || std::strcmp(v, "YES") == 0 ? 1 : 0;
}
int DefaultOff(const char* name) {
  Value v;
  return Lookup(name, v) && bk::EqualsIgnoreCase(v, "YES") ? 1 : 0;
}
int DefaultOffExact(const char* name) {
  Value v;
  return Lookup(name, v) && std::strcmp(v, "YES") == 0 ? 1 : 0;
}

int UserMode(const char* name) {
  Value v;
  return Lookup(name, v) && bk::EqualsIgnoreCase(v, "USER") ? 0 : 1;
}

// Leading decimal digits as atoi reads them, kept within int without overflow.
int Number(const char* name, int fallback) {
  Value v;
  if (!Lookup(name, v)) return fallback;
  errno = 0;
  const long n = std::strtol(v, nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

// Copies a text value to out; false (out untouched) when absent.
bool Text(const char* name, VskPath& out) { return vskEnvGetValue(name, out, sizeof out) == 1; }

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int vskEnvIsLogEnabled() { return DefaultOn("LogOption"); }
int vskEnvIsGaugeDialog() { return DefaultOn("GaugeDialog"); }
int vskEnvIsGaugeDialogDownLoad() { return DefaultOn("GaugeDialogDownLoad"); }
int vskEnvIsGaugeDialogInstall() { return DefaultOn("GaugeDialogInstall"); }
int vskEnvIsGaugeDialogPackage() { return DefaultOn("GaugeDialogPackage"); }
int vskEnvIsGaugeDialogPkgConnect() { return DefaultOn("GaugeDialogPkgConnect"); }
int vskEnvIsClientStay() { return DefaultOn("ClientStay"); }
int vskEnvIsUserAuthorityOption() { return DefaultOnExact("UserAuthorityOption"); }
int vskEnvIsGaugeSysModal() { return DefaultOff("GaugeSysModal"); }
int vskEnvIsGaugeDialogSoftSearch() { return DefaultOff("GaugeDialogSoftSearch"); }
int vskEnvIsGaugeDialogConnect() { return DefaultOff("GaugeDialogConnect"); }
int vskEnvIsSiteServer() { return DefaultOff("SiteServerOption"); }
int vskEnvIsNetworkAdapterOption() { return DefaultOff("NetworkAdapterOption"); }
int vskEnvIsDownloadInterruptByCloseDialog() { return DefaultOff("DownloadInterruptByCloseDialog"); }
int vskEnvIsInstallPackageNOErrorSet() { return DefaultOffExact("InstallPackageNOErrorSet"); }
int vskEnvIsIPAddressNetworkAdapter() { return DefaultOffExact("IPAddressNetworkAdapter"); }
int vskEnvIsRasConnectOption() { return DefaultOffExact("RasConnectOption"); }
int vskEnvIsRasLoginOption() { return DefaultOffExact("RasLoginOption"); }
int vskEnvIsServerIPChangeOption() { return DefaultOffExact("ServerIPChangeOption"); }
int vskEnvIsEnableRDP() { return DefaultOffExact("EnableRDP"); }

int vskEnvGetGaugeDialogDownLoadCustom() { return UserMode("GaugeDialogDownLoadCustom"); }
int vskEnvGetGaugeDialogInstallCustom() { return UserMode("GaugeDialogInstallCustom"); }
int vskEnvGetGaugeDialogSoftSearchCustom() { return UserMode("GaugeDialogSoftSearchCustom"); }
int vskEnvGetGaugeDialogConnectCustom() { return UserMode("GaugeDialogConnectCustom"); }

int vskEnvIsHostsysSysentKeyIP(unsigned char* out) {
  const int on = DefaultOff("HostsysSysentKeyIP");
  if (out != nullptr) *out = on ? 2 : 0;
  return on;
}

int vskEnvGetConnectRetryCount() { return Number("ConnectRetryCount", 0); }
int vskEnvGetConnectRetryInterval() { return Number("ConnectRetryInterval", 3); }
int vskEnvGetDebugMode() { return Number("DebugMode", 0); }
int vskEnvGetMainLogCount() { return Number("MAINLOGCount", 700); }
int vskEnvGetMainLogSize() { return Number("MAINLOGSize", 192); }
int vskEnvGetUserLogCount() { return Number("USERLOGCount", 700); }
int vskEnvGetUserLogSize() { return Number("USERLOGSize", 384); }
int vskEnvGetFuncLogCount() { return Number("FUNCLOGCount", 2000); }
int vskEnvGetFuncLogSize() { return Number("FUNCLOGSize", 192); }
int vskEnvGetCompoLogCount() { return Number("COMPOLOGCount", 700); }
int vskEnvGetCompoLogSize() { return Number("COMPOLOGSize", 192); }
int vskEnvGetLongLogCount() { return Number("LONGLOGCount", 700); }
int vskEnvGetLongLogSize() { return Number("LONGLOGSize", 300); }
int vskEnvGetLogGenCount() { return Number("LogGenCount", 5); }
int vskEnvGetNetworkAdapterNumber() { return Number("NetworkAdapterNumber", 0); }

int vskEnvGetEventLogLevel() {
  Value v;
  if (!Lookup("EventLogLevel", v)) return 1;
  if (bk::EqualsIgnoreCase(v, "INF")) return 7;
  if (bk::EqualsIgnoreCase(v, "WAR")) return 3;
  return 1;
}

void vskEnvGetPollingNetwork(VskPath& out) {
  if (!Text("PoringNetwork", out)) bk::CopyText(out, sizeof out, "LAN");
}
void vskEnvGetGaugeCustomProgram(VskPath& out) { Text("GaugeDialogCustomPrg", out); }
int vskEnvGetRasLoginUserName(VskPath& out) { return Text("RasLoginUserName", out) ? 1 : 0; }
int vskEnvGetRasLoginPassword(VskPath& out) { return Text("RasLoginPassword", out) ? 1 : 0; }
int vskEnvGetRasLoginDomain(VskPath& out) { return Text("RasLoginDomain", out) ? 1 : 0; }

void vskEnvGetNetworkAdapter(int n, char* out1, char* out2, char* out3, char* out4, char* out5,
                             char* out6) {
  char* outs[6] = {out1, out2, out3, out4, out5, out6};
  for (char* out : outs)
    if (out != nullptr) out[0] = '\0';
  if (n < 1 || n > 8) return;
  char name[] = "NetworkAdapter0";
  name[sizeof name - 2] = static_cast<char>('0' + n);
  Value v;
  if (!Lookup(name, v)) return;
  // A value holds at most kVskValueMaxData bytes, so every field fits an output.
  const char* field = v;
  for (char* out : outs) {
    const char* end = std::strchr(field, ';');
    const std::size_t length = end ? static_cast<std::size_t>(end - field) : std::strlen(field);
    if (out != nullptr) {
      const std::size_t n2 = length < kVskValueMaxData ? length : kVskValueMaxData;
      std::memcpy(out, field, n2);
      out[n2] = '\0';
    }
    if (end == nullptr) break;
    field = end + 1;
  }
}

int vskEnvGetVirtualHostName(char* out) {
  Value v;
  if (!Lookup("VskVirtualHostName", v) || v[0] == '\0') return 1;
  const std::size_t length = std::strlen(v);
  if (length > 64) return 2;
  if (out != nullptr) std::memcpy(out, v, length);
  if (!IsAsciiLetter(v[0])) return 3;
  const char last = v[length - 1];
  if (!IsAsciiLetter(last) && !IsAsciiDigit(last)) return 3;
  for (std::size_t i = 1; i + 1 < length; ++i) {
    const char c = v[i];
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '.' && c != '-') return 3;
  }
  return 0;
}

int vskEnvIsRemoteDesktopMode() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!::GetVersionExA(&version)) return 0;
  if (version.dwPlatformId != VER_PLATFORM_WIN32_NT || version.dwMajorVersion != 5 ||
      version.dwMinorVersion == 0)
    return 0;
  const bool loadedHere = !vskEnvIsLoadAttempted();
  if (loadedHere) vskEnvLoad();
  const int on = vskEnvIsEnableRDP() && !vskEnvIsSiteServer() && vskEnvIsUserAuthorityOption() &&
                 vskEnvIsClientStay();
  if (loadedHere) vskEnvRelease();
  return on ? 1 : 0;
}

int vskEnvCheckAdapterGate() {
  if (!vskEnvIsIPAddressNetworkAdapter()) return -2002;
  if (!vskEnvIsNetworkAdapterOption()) return -2003;
  if (vskEnvGetNetworkAdapterNumber() < 2) return -2004;
  if (vskEnvIsRasConnectOption()) return -2005;
  return 0;
}

int vskEnvGetSysentKey() {
  VskPath dir;
  vskEnvGetSysentPath(dir);
  char path[kVskPathSize + 16];
  std::snprintf(path, sizeof path, "%s\\SYSENT.KEY", dir);
  bk::win::unique_hfile file(::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 255;
  unsigned char byte = 0;
  DWORD read = 0;
  if (!::ReadFile(file.get(), &byte, 1, &read, nullptr) || read != 1) return 255;
  return (byte >= 1 && byte <= 4) ? byte : 255;
}

int vskEnvUnscramblePassword(const char* stored, char* out, std::size_t outSize) {
  return bk::UnscramblePassword(stored, out, outSize);
}
