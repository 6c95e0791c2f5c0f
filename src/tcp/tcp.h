#pragma once
// Host names and addresses (IPv4, WinSock 1.1): this machine's name and
// address (with the configured network-adapter address and virtual host name),
// the host resolver that the profile file "SERVERIP.ini" can override, the
// same-host test, and the routing of network errors to the log or the event
// log. Each operation starts and ends its own WinSock use.
#include <winsock2.h>

#include <cstddef>
#include <cstdint>

#include "logging/log.h"

// Results of the internal host routines.
inline constexpr int kTcpStart = -1001;
inline constexpr int kTcpNoHostName = -1002;     // gethostname failed
inline constexpr int kTcpEmptyHostName = -1003;
inline constexpr int kTcpNotResolved = -1004;
inline constexpr int kTcpNameTooLong = -1005;    // official name over 64 characters
inline constexpr int kTcpNoAdapter = -1008;
inline constexpr int kTcpBadAdapter = -1009;

inline constexpr std::size_t kTcpHostNameSize = 65;  // 64 characters and the terminator
inline constexpr char kTcpSourceFile[] = "share\\Current\\debug\\tcp\\tcpsock";

// Flags of vskTcpMy_gethostbyname.
inline constexpr unsigned kTcpWantName = 1;
inline constexpr unsigned kTcpWantAddress = 2;
inline constexpr unsigned kTcpUseAdapter = 4;

// The host lookup, consulting "SERVERIP.ini" first where the client is set up
// for it (not a site server, "ServerIPChangeOption" YES, system-entry kind 1,
// 3 or 255). The record from the file lives until the next call. log may be 0
// (the call then opens "client.log" for its traces when it reads the file).
hostent* Tcp_get(const char* host, VskLogHandle log, const char* callerTag);

// 0 the host is this machine (buffer, 65 bytes or more, holds this machine's
// name, or its address when the host was given as the address); 1 another
// machine; -1 this machine's name or address could not be found.
int vskTcpIsMyHost(const char* host, char* buffer);

// 1 when a name and an address were found for the host (a name or a dotted
// address); outputs are cut to their sizes less one.
int vskTcpGetHostIp(const char* host, char* name, std::size_t nameSize, char* address, std::size_t addressSize);

// 1 when the comparison was made; *same tells whether a and b denote one host.
int vskTcpHostCompare(const char* a, const char* b, int* same);

// This machine's address in dotted form (process-wide storage), or null.
const char* vskTcpGetMyIPAddr();

// Traces a network error (to CLIENT.log when this machine's address is
// 127.0.0.1, or on Windows before 5), else reports it as a coded message.
void vskTcpErrorMainLog(const char* text, std::int32_t error, const char* sourceFile, std::int32_t line);

// Internal routines, for the multi-server module and tests.
// This machine's name into out (kTcpHostNameSize); 0, or a negative result.
int vskTcpGetMySub(VskLogHandle log, char* out);
// This machine's name and/or address (flags), the adapter address replacing
// the resolved one when asked for and found, the virtual host name replacing
// the name where it applies. name: kTcpHostNameSize bytes; address: 16 bytes.
int vskTcpMy_gethostbyname(VskLogHandle log, const char* caller, int line, unsigned flags, char* name,
                           char* address);
// The first enabled adapter entry's address into address (16 bytes), its
// index into *index. 0, -1008, -1009 or the gate's result (-2002..-2005).
int vskTcpGetNetworkAdapterMyIPAddress(char* address, int* index);
// Replaces name (kTcpHostNameSize bytes) by "VskVirtualHostName" where it applies.
void vskTcpVirtualHostNameSet(char* name, unsigned flags);

// True when the text is a dotted IPv4 address: it converts, is shorter than
// 16 characters and holds exactly three dots.
bool vskTcpIsDottedAddress(const char* text);

namespace bk::tcp {

// The system's name services, replaceable by tests (the lookups of a test
// machine cannot be relied on). Null entries mean the WinSock function.
struct Resolver {
  int(WSAAPI* gethostname)(char* name, int length);
  hostent*(WSAAPI* gethostbyname)(const char* name);
  hostent*(WSAAPI* gethostbyaddr)(const char* address, int length, int type);
  int(WSAAPI* lastError)();
};
Resolver& ResolverTable();
void ResetResolver();
// The name services through the table.
int GetHostName(char* name, int length);
hostent* GetHostByName(const char* name);
hostent* GetHostByAddr(const char* address, int length, int type);
int LastError();

// Starts WinSock 1.1 for a scope.
class WinSockSession {
 public:
  WinSockSession();
  ~WinSockSession();
  WinSockSession(const WinSockSession&) = delete;
  WinSockSession& operator=(const WinSockSession&) = delete;
  bool Started() const { return started_; }

 private:
  bool started_ = false;
};

}  // namespace bk::tcp
