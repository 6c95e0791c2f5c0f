#include "tcp/tcp.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/text.h"
#include "environment/env.h"
#include "logging/log.h"

namespace bk::tcp {

namespace {
Resolver g_resolver{};
}

Resolver& ResolverTable() { return g_resolver; }
void ResetResolver() { g_resolver = Resolver{}; }

WinSockSession::WinSockSession() {
  WSADATA data;
  started_ = ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
}
WinSockSession::~WinSockSession() {
  if (started_) ::WSACleanup();
}

}  // namespace bk::tcp

namespace bk::tcp {

int GetHostName(char* name, int length) {
  auto fn = ResolverTable().gethostname;
  return fn != nullptr ? fn(name, length) : ::gethostname(name, length);
}
hostent* GetHostByName(const char* name) {
  auto fn = ResolverTable().gethostbyname;
  return fn != nullptr ? fn(name) : ::gethostbyname(name);
}
hostent* GetHostByAddr(const char* address, int length, int type) {
  auto fn = ResolverTable().gethostbyaddr;
  return fn != nullptr ? fn(address, length, type) : ::gethostbyaddr(address, length, type);
}
int LastError() {
  auto fn = ResolverTable().lastError;
  return fn != nullptr ? fn() : ::WSAGetLastError();
}

}  // namespace bk::tcp

namespace {

using bk::tcp::GetHostByAddr;
using bk::tcp::GetHostByName;
using bk::tcp::GetHostName;
using bk::tcp::LastError;

constexpr char kCategory[] = "tcp";

// "[tcpsock] pid=%06d:tid=%06d " and the text (276 bytes at most), or for an
// error "Error:" and the text (269 bytes); nothing without a log handle.
void Trace(VskLogHandle log, bool error, const char* format, ...) __attribute__((format(gnu_printf, 3, 4)));
void Trace(VskLogHandle log, bool error, const char* format, ...) {
  if (log == 0) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  text[error ? 269 : 276] = '\0';
  char line[640];
  std::snprintf(line, sizeof line, "[tcpsock] pid=%06lu:tid=%06lu %s%s", ::GetCurrentProcessId(),
                ::GetCurrentThreadId(), error ? "Error:" : "", text);
  vskLogWrite(log, line, kCategory);
}

// The first IPv4 address of a host entry in dotted form; false when it has none.
bool FirstAddress(const hostent* h, char* out, std::size_t size) {
  if (h == nullptr || h->h_addrtype != AF_INET || h->h_length != 4 || h->h_addr_list == nullptr ||
      h->h_addr_list[0] == nullptr)
    return false;
  in_addr address;
  std::memcpy(&address, h->h_addr_list[0], 4);
  const char* text = ::inet_ntoa(address);
  if (text == nullptr) return false;
  bk::CopyText(out, size, text);
  return true;
}

// The record that Tcp_get returns for a host found in "SERVERIP.ini".
struct ProfileRecord {
  char name[kVskPathSize];
  char* aliases[1];
  in_addr address;
  char* addresses[2];
  hostent entry;
};
ProfileRecord g_profile;

hostent* ProfileEntry(const char* host, unsigned long address) {
  bk::CopyText(g_profile.name, sizeof g_profile.name, host);
  g_profile.aliases[0] = nullptr;
  g_profile.address.s_addr = address;
  g_profile.addresses[0] = reinterpret_cast<char*>(&g_profile.address);
  g_profile.addresses[1] = nullptr;
  g_profile.entry.h_name = g_profile.name;
  g_profile.entry.h_aliases = g_profile.aliases;
  g_profile.entry.h_addrtype = AF_INET;
  g_profile.entry.h_length = 4;
  g_profile.entry.h_addr_list = g_profile.addresses;
  return &g_profile.entry;
}

class OwnLog {
 public:
  explicit OwnLog(VskLogHandle given) : handle_(given) {
    if (handle_ == 0) handle_ = own_ = vskLogOpen("client.log");
  }
  ~OwnLog() {
    if (own_ != 0) vskLogClose(own_);
  }
  OwnLog(const OwnLog&) = delete;
  OwnLog& operator=(const OwnLog&) = delete;
  VskLogHandle get() const { return handle_; }

 private:
  VskLogHandle handle_ = 0, own_ = 0;
};

// This machine's name for vskTcpIsMyHost: its official name when it
// resolves, else the short name. 0 or -1 (reported).
int MyHostName(char* out) {
  char name[kTcpHostNameSize] = {};
  if (GetHostName(name, static_cast<int>(sizeof name - 1)) != 0) {
    vskTcpErrorMainLog("gethostname", LastError(), kTcpSourceFile, __LINE__);
    return -1;
  }
  name[sizeof name - 1] = '\0';
  if (name[0] == '\0') {
    vskLogEvent(kVskMsgShareError, kCategory, "gethostname : My Host Name Get Failed", 0, kTcpSourceFile, __LINE__);
    return -1;
  }
  const hostent* h = GetHostByName(name);
  if (h == nullptr || h->h_name == nullptr) {
    bk::CopyText(out, kTcpHostNameSize, name);
    return 0;
  }
  if (std::strlen(h->h_name) >= kTcpHostNameSize) {
    vskLogEvent(kVskMsgHostError, kCategory, nullptr, 0, kTcpSourceFile, __LINE__);
    vskLogTrace(kCategory, "local hostname too long");
    return -1;
  }
  bk::CopyText(out, kTcpHostNameSize, h->h_name);
  return 0;
}

}  // namespace

bool vskTcpIsDottedAddress(const char* text) {
  if (text == nullptr || std::strlen(text) >= 16) return false;
  int dots = 0;
  for (const char* p = text; *p != '\0'; ++p)
    if (*p == '.') ++dots;
  return dots == 3 && ::inet_addr(text) != INADDR_NONE;
}

hostent* Tcp_get(const char* host, VskLogHandle log, const char* callerTag) {
  if (host == nullptr) return nullptr;
  const char* tag = callerTag != nullptr ? callerTag : "";
  const int kind = vskEnvGetSysentKey();
  const bool consult = !vskEnvIsSiteServer() && vskEnvIsServerIPChangeOption() &&
                       (kind == 1 || kind == 3 || kind == 255) && host[0] != '\0';
  if (!consult) return GetHostByName(host);

  OwnLog traces(log);
  char path[kVskPathSize];
  vskEnvGetServerIpIniPath(path, sizeof path);
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    Trace(traces.get(), false, "%s(%d)%s:rtn,host,IP,Key=%d,%s,0x%02x", "Tcp_get", __LINE__, tag, -1, host, kind);
    return GetHostByName(host);
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) ::SetFileAttributesA(path, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});

  char check[64] = {};
  const DWORD checkLength = ::GetPrivateProfileStringA("#-filecheck", "key", "", check, sizeof check, path);
  if (checkLength == 0 || std::strcmp(check, "Programcheck") != 0) {
    if (checkLength == 0)
      Trace(traces.get(), true, "%s(%d)%s : key check error() = %d : host=%s", "Tcp_get", __LINE__, tag, 0, host);
    else
      Trace(traces.get(), true, "%s(%d)%s : Section check error() = %d : host=%s", "Tcp_get", __LINE__, tag,
            static_cast<int>(checkLength), host);
    ::WritePrivateProfileStringA(nullptr, nullptr, nullptr, path);  // flush the profile cache
    if (!::DeleteFileA(path))
      Trace(traces.get(), true, "%s(%d)%s : DeleteFile error = 0x%08lx : host=%s", "Tcp_get", __LINE__, tag,
            ::GetLastError(), host);
    return GetHostByName(host);
  }

  char ip[69] = {};
  const DWORD ipLength = ::GetPrivateProfileStringA(host, "IPaddress", "", ip, sizeof ip, path);
  Trace(traces.get(), false, "%s(%d)%s:rtn,host,IP,Key=%d,%s,%s,0x%02x", "Tcp_get", __LINE__, tag,
        static_cast<int>(ipLength), host, ip, kind);
  if (ipLength == 0 || ip[0] == '\0') return GetHostByName(host);

  const unsigned long address = ::inet_addr(ip);
  if (address == 0 || address == INADDR_NONE) {
    Trace(traces.get(), true, "%s(%d)%s : s_addr,IP,Key=%d,%s,0x%02x", "Tcp_get", __LINE__, tag,
          static_cast<int>(address), ip, kind);
    if (!::WritePrivateProfileStringA(host, nullptr, nullptr, path))
      Trace(traces.get(), true, "%s(%d)%s: WritePPS error=0x%08lx:IP=%s", "Tcp_get", __LINE__, tag, ::GetLastError(),
            ip);
    return GetHostByName(host);
  }
  return ProfileEntry(host, address);
}

int vskTcpGetMySub(VskLogHandle log, char* out) {
  char name[kTcpHostNameSize] = {};
  if (GetHostName(name, static_cast<int>(sizeof name - 1)) != 0) {
    Trace(log, true, "%s(%d) : gethostname : WSAGetLastError() = %d", "vskTcpGetMySub", __LINE__, LastError());
    return kTcpNoHostName;
  }
  name[sizeof name - 1] = '\0';
  if (name[0] == '\0') {
    Trace(log, true, "%s(%d) : gethostname : My Host Name Get Failed.", "vskTcpGetMySub", __LINE__);
    return kTcpEmptyHostName;
  }
  if (out != nullptr) bk::CopyText(out, kTcpHostNameSize, name);
  return 0;
}

int vskTcpGetNetworkAdapterMyIPAddress(char* address, int* index) {
  const int gate = vskEnvCheckAdapterGate();
  if (gate != 0) return gate;
  int count = vskEnvGetNetworkAdapterNumber();
  if (count > 8) count = 8;
  // An entry is "switch;address": the first switched "ON" with an address wins.
  for (int n = 1; n <= count; ++n) {
    char on[kVskValueMaxData + 1], ip[kVskValueMaxData + 1];
    vskEnvGetNetworkAdapter(n, on, ip, nullptr, nullptr, nullptr, nullptr);
    if (std::strcmp(on, "ON") != 0 || ip[0] == '\0') continue;
    if (!vskTcpIsDottedAddress(ip)) return kTcpBadAdapter;
    if (address != nullptr) bk::CopyText(address, 16, ip);
    if (index != nullptr) *index = n;
    return 0;
  }
  return kTcpNoAdapter;
}

void vskTcpVirtualHostNameSet(char* name, unsigned flags) {
  if (name == nullptr || (flags & (kTcpWantName | kTcpWantAddress)) != (kTcpWantName | kTcpWantAddress)) return;
  if (vskEnvIsSiteServer() || vskEnvGetSysentKey() != 1) return;
  char virtualName[kTcpHostNameSize] = {};
  const int rc = vskEnvGetVirtualHostName(virtualName);
  if (rc == 0) {
    bk::CopyText(name, kTcpHostNameSize, virtualName);
  } else if (rc == 2) {
    vskLogTrace(kCategory, "vskTcpVirtualHostNameSet:VskVirtualHostName Length Over 64");
  } else if (rc == 3) {
    vskLogTrace(kCategory, "vskTcpVirtualHostNameSet:VskVirtualHostName Use Invalid Character[%s]", virtualName);
  }
}

int vskTcpMy_gethostbyname(VskLogHandle log, const char* caller, int line, unsigned flags, char* name,
                           char* address) {
  if (caller == nullptr) caller = "";
  if (name != nullptr) name[0] = '\0';
  if (address != nullptr) address[0] = '\0';
  char local[kTcpHostNameSize];
  const int got = vskTcpGetMySub(log, local);
  if (got != 0) return got;
  const hostent* h = GetHostByName(local);
  if (h == nullptr || h->h_name == nullptr) {
    Trace(log, true, "%s(%d) : gethostbyname : WSAGetLastError() = %d", caller, line, LastError());
    return kTcpNotResolved;
  }
  const std::size_t length = std::strlen(h->h_name);
  if (length >= kTcpHostNameSize) {
    Trace(log, true, "%s(%d) : gethostbyname : strlen() = %d", caller, line, static_cast<int>(length));
    return kTcpNameTooLong;
  }
  if (name != nullptr && (flags & kTcpWantName)) bk::CopyText(name, kTcpHostNameSize, h->h_name);
  if (address != nullptr && (flags & kTcpWantAddress) && !FirstAddress(h, address, 16)) {
    Trace(log, true, "%s(%d) : gethostbyname : WSAGetLastError() = %d", caller, line, LastError());
    return kTcpNotResolved;
  }
  if (flags & kTcpUseAdapter) {
    char adapter[16];
    int index = 0;
    const int rc = vskTcpGetNetworkAdapterMyIPAddress(adapter, &index);
    if (rc == 0) {
      if (address != nullptr) bk::CopyText(address, 16, adapter);
    } else if (rc != kTcpNoAdapter) {
      Trace(log, true, "%s(%d) : vskTcpGetNetworkAdapterMyIPAddress() = %d", caller, line, rc);
    }
  }
  vskTcpVirtualHostNameSet(name, flags);
  return 0;
}

const char* vskTcpGetMyIPAddr() {
  static char address[16];
  bk::tcp::WinSockSession session;
  const int rc = vskTcpMy_gethostbyname(0, "vskTcpGetMyIPAddr", __LINE__, kTcpWantAddress, nullptr, address);
  if (rc == kTcpNoHostName) vskTcpErrorMainLog("gethostname", LastError(), kTcpSourceFile, 4420);
  if (rc == kTcpEmptyHostName)
    vskLogEvent(kVskMsgShareError, kCategory, "gethostname : My Host Name Get Failed", 0, kTcpSourceFile, 4388);
  if (rc != 0 || address[0] == '\0') return nullptr;
  return address;
}

void vskTcpErrorMainLog(const char* text, std::int32_t error, const char* sourceFile, std::int32_t line) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  bool trace = true;
  if (::GetVersionExA(&version) && version.dwMajorVersion >= 5) {
    bk::tcp::WinSockSession session;
    char address[16];
    trace = vskTcpMy_gethostbyname(0, "vskTcpErrorMainLog", __LINE__, kTcpWantAddress, nullptr, address) == 0 &&
            std::strcmp(address, "127.0.0.1") == 0;
  }
  if (trace)
    vskLogApiError(kVskApiWinSock, kCategory, text, error, sourceFile, line);
  else
    vskLogEvent(kVskMsgNetworkError, kCategory, text, error, sourceFile, line);
}

int vskTcpGetHostIp(const char* host, char* name, std::size_t nameSize, char* address, std::size_t addressSize) {
  if (name != nullptr && nameSize > 0) name[0] = '\0';
  if (address != nullptr && addressSize > 0) address[0] = '\0';
  if (host == nullptr || host[0] == '\0') return 0;
  bk::tcp::WinSockSession session;

  bool found = false;
  std::string foundName, foundAddress;
  if (!vskTcpIsDottedAddress(host)) {
    const hostent* h = Tcp_get(host, 0, "vskTcpGetHostIp");
    char text[16];
    if (h != nullptr && h->h_name != nullptr && FirstAddress(h, text, sizeof text)) {
      foundName = h->h_name;
      foundAddress = text;
      found = true;
    }
  } else {
    in_addr value;
    value.s_addr = ::inet_addr(host);
    const hostent* h = GetHostByAddr(reinterpret_cast<const char*>(&value), 4, AF_INET);
    if (h != nullptr && h->h_name != nullptr) {
      foundName = h->h_name;
      foundAddress = host;
      found = true;
    }
  }

  if (vskEnvIsNetworkAdapterOption()) {
    char myName[kTcpHostNameSize], adapter[16];
    int index = 0;
    if (vskTcpMy_gethostbyname(0, "vskTcpGetHostIp", __LINE__, kTcpWantName | kTcpWantAddress | kTcpUseAdapter,
                               myName, nullptr) == 0 &&
        vskTcpGetNetworkAdapterMyIPAddress(adapter, &index) == 0) {
      auto mine = [&](const char* text) {
        return bk::EqualsIgnoreCase(text, myName) || bk::EqualsIgnoreCase(text, "localhost");
      };
      if (mine(host) || (found && mine(foundName.c_str()))) {
        foundAddress = adapter;
        if (!found && foundName.empty()) foundName = myName;
        found = !foundName.empty();
      }
    }
  }
  if (!found) return 0;
  if (name != nullptr && nameSize > 0) bk::CopyText(name, nameSize, foundName.c_str());
  if (address != nullptr && addressSize > 0) bk::CopyText(address, addressSize, foundAddress.c_str());
  return 1;
}

int vskTcpHostCompare(const char* a, const char* b, int* same) {
  if (same != nullptr) *same = 0;
  if (a == nullptr || b == nullptr || a[0] == '\0' || b[0] == '\0') return 0;
  char nameA[kVskPathSize], addressA[16], nameB[kVskPathSize], addressB[16];
  const bool resolvedA = vskTcpGetHostIp(a, nameA, sizeof nameA, addressA, sizeof addressA) == 1;
  const bool resolvedB = vskTcpGetHostIp(b, nameB, sizeof nameB, addressB, sizeof addressB) == 1;
  using bk::EqualsIgnoreCase;
  bool result;
  if (resolvedA && resolvedB)
    result = EqualsIgnoreCase(nameA, nameB) || EqualsIgnoreCase(addressA, addressB);
  else if (resolvedB)
    result = EqualsIgnoreCase(a, nameB) || EqualsIgnoreCase(a, addressB);
  else if (resolvedA)
    result = EqualsIgnoreCase(b, nameA) || EqualsIgnoreCase(b, addressA);
  else
    result = EqualsIgnoreCase(a, b);
  if (same != nullptr) *same = result ? 1 : 0;
  return 1;
}

int vskTcpIsMyHost(const char* host, char* buffer) {
  if (host == nullptr || buffer == nullptr) return -1;
  bk::tcp::WinSockSession session;
  if (MyHostName(buffer) != 0) return -1;
  if (bk::EqualsIgnoreCase(host, buffer)) return 0;
  const char* mine = vskTcpGetMyIPAddr();
  if (mine == nullptr) return -1;
  if (bk::EqualsIgnoreCase(host, mine)) {
    bk::CopyText(buffer, kTcpHostNameSize, mine);
    return 0;
  }
  int same = 0;
  return vskTcpHostCompare(host, buffer, &same) == 1 && same ? 0 : 1;
}
