#pragma once
// Multi-server support: every distribution server (host and kind of service)
// gets a job directory name of its own, HOST0000 to HOST9999, recorded in the
// host management file HOSTSYS under a machine-wide mutex; the process's
// current server; the job directories of each job mode; dial-up connections.
//
// HOSTSYS: 320-byte records, no header, in first-seen order.
//   0    260  host text, zero-terminated: IP address in dotted form or host name
//   260  1    service kind: 1 "orlavs", 2 any other service ("orlavsw" when read back)
//   261  59   directory name "HOSTnnnn", zero-terminated and zero-filled
// Multi-server functions return 1 for success and 0 for failure.
#include <cstddef>

inline constexpr std::size_t kHostsysRecordSize = 320;
inline constexpr std::size_t kHostsysHost = 0;
inline constexpr std::size_t kHostsysHostWidth = 260;
inline constexpr std::size_t kHostsysKind = 260;
inline constexpr std::size_t kHostsysDir = 261;
inline constexpr std::size_t kHostsysDirWidth = 59;
inline constexpr unsigned char kHostsysKindOrlavs = 1;
inline constexpr unsigned char kHostsysKindOther = 2;
inline constexpr int kHostsysMaxNumber = 9999;

inline constexpr char kMultisrvMutexName[] = "QX4_ORLA_VS_K_MULTI_SERVER_MUTEX_NAME";
inline constexpr std::size_t kMultisrvDirNameSize = 9;    // "HOSTnnnn"
inline constexpr std::size_t kMultisrvHostSize = 65;
inline constexpr std::size_t kMultisrvServiceSize = 64;
inline constexpr std::size_t kMultisrvIpTextSize = 21;

// --- Host directories -------------------------------------------------------
// Finds the directory of (host, service) or assigns the next one. dirName
// holds at least 9 bytes.
int vskMultisrvGetDirNameFromHostName(const char* host, const char* service, char* dirName);
// The host text (65 bytes) and service name (64 bytes) of a recorded directory.
int vskMultisrvGetHostNameFromDirName(const char* dirName, char* host, char* service);
// Resolves a name or dotted address: official name (65 bytes) and dotted
// address (21 bytes), each empty when not found; either may be null.
void vskMultisrvGetHostIP(const char* host, char* hostName, char* ipText);
// 1 when the text converts to an IPv4 address (255.255.255.255 does not).
int vskMultisrvIsIPAddress(const char* text);

// --- Current server and job directories -----------------------------------------
int vskMultisrvSetSSIListInfo(const char* host, const char* service, const char* dirName);
// The job directory of the mode (path: 260 bytes) with the current server's
// directory appended: 1; mode 1 (the work directory): 1; no current server
// (path without its trailing backslash) or an undefined mode: 0.
int vskMultisrvGetDirPath(int jobMode, char* path);
int vskMultisrvGetCurrentDirName(const char** name);
void vskMultisrvFreeSSIList();
// The other servers named after the current one, in first-seen order.
std::size_t vskMultisrvServerListCount();
const char* vskMultisrvServerListAt(std::size_t index);
// Forgets the current server, the server list and the dialled flag (tests;
// a process sets its current server once).
void vskMultisrvResetForTest();

// --- Dial-up ----------------------------------------------------------------------
// 0 connected or no dial-up needed, -1 the dial-up failed.
int vskMultisrvRasConnect(const char* host);
// 1 when this process must dial up: the program is "vskwinst.exe",
// "PoringNetwork" is "WAN" and "RasConnectOption" is "YES".
int vskMultisrvCheckRasConnect();
