#pragma once
// Client configuration: the string values of the client's registry key, read
// into a process-wide cache at the start of each exported call, with one
// getter per setting (each with a fixed default) and the builders of the
// client's directory and file paths.
//
// Key: HKEY_LOCAL_MACHINE\SoftWare\VELMORA\ORLA/VS/K ("ORLA/VS/K" is one key
// whose name contains slashes). The library never writes it.
#include <cstddef>
#include <cstdint>

inline constexpr char kVskRegistryKey[] = "SoftWare\\VELMORA\\ORLA/VS/K";

inline constexpr std::size_t kVskPathSize = 260;     // every path buffer
inline constexpr std::size_t kVskMaxValues = 512;    // cached values
inline constexpr std::size_t kVskNameSize = 128;     // cached value name, terminated
inline constexpr std::size_t kVskValueSize = 260;    // cached value text, terminated
inline constexpr std::size_t kVskValueMaxData = 128; // longest value data read

using VskPath = char[kVskPathSize];

// --- Cache ------------------------------------------------------------------
int vskEnvLoad();     // 1 loaded (also: already loaded, key absent); 0 failed
void vskEnvRelease(); // empties the cache; the next call reads the registry again
bool vskEnvIsLoaded();
// True from any vskEnvLoad (also one that failed half way, whose values read
// so far stay cached) to the next vskEnvRelease. Code that loads the cache
// for itself only when nobody did asks this, never vskEnvIsLoaded: releasing
// a partial load it did not make would drop the caller's values.
bool vskEnvIsLoadAttempted();
// The results of opening the key that mean "no key": not found (2, 3) and
// ERROR_RESOURCE_DATA_NOT_FOUND (1812).
bool vskEnvKeyIsAbsent(long error);
// 1 and the value copied (cut to outSize, terminated) when the name is cached;
// else 0 and out untouched. Names compare case-sensitively.
int vskEnvGetValue(const char* name, char* out, std::size_t outSize);

// --- Switches ---------------------------------------------------------------
int vskEnvIsLogEnabled();                 // "LogOption", on unless not YES
int vskEnvIsGaugeDialog();                // "GaugeDialog"
int vskEnvIsGaugeDialogDownLoad();        // "GaugeDialogDownLoad"
int vskEnvIsGaugeDialogInstall();         // "GaugeDialogInstall"
int vskEnvIsGaugeDialogPackage();         // "GaugeDialogPackage"
int vskEnvIsGaugeDialogPkgConnect();      // "GaugeDialogPkgConnect"
int vskEnvIsClientStay();                 // "ClientStay"
int vskEnvIsUserAuthorityOption();        // "UserAuthorityOption", exact YES
int vskEnvIsGaugeSysModal();              // "GaugeSysModal"
int vskEnvIsGaugeDialogSoftSearch();      // "GaugeDialogSoftSearch"
int vskEnvIsGaugeDialogConnect();         // "GaugeDialogConnect"
int vskEnvIsSiteServer();                 // "SiteServerOption"
int vskEnvIsNetworkAdapterOption();       // "NetworkAdapterOption"
int vskEnvIsDownloadInterruptByCloseDialog();  // "DownloadInterruptByCloseDialog"
int vskEnvIsInstallPackageNOErrorSet();   // "InstallPackageNOErrorSet", exact YES
int vskEnvIsIPAddressNetworkAdapter();    // "IPAddressNetworkAdapter", exact YES
int vskEnvIsRasConnectOption();           // "RasConnectOption", exact YES
int vskEnvIsRasLoginOption();             // "RasLoginOption", exact YES
int vskEnvIsServerIPChangeOption();       // "ServerIPChangeOption", exact YES
int vskEnvIsEnableRDP();                  // "EnableRDP", exact YES

// Modes: 0 only when the value is USER (any case), else 1.
int vskEnvGetGaugeDialogDownLoadCustom();
int vskEnvGetGaugeDialogInstallCustom();
int vskEnvGetGaugeDialogSoftSearchCustom();
int vskEnvGetGaugeDialogConnectCustom();

// "HostsysSysentKeyIP": YES (any case) stores 2 in *out and gives 1; else 0, 0.
int vskEnvIsHostsysSysentKeyIP(unsigned char* out);

// --- Numbers ----------------------------------------------------------------
int vskEnvGetConnectRetryCount();
int vskEnvGetConnectRetryInterval();
int vskEnvGetDebugMode();
int vskEnvGetMainLogCount();
int vskEnvGetMainLogSize();
int vskEnvGetUserLogCount();
int vskEnvGetUserLogSize();
int vskEnvGetFuncLogCount();
int vskEnvGetFuncLogSize();
int vskEnvGetCompoLogCount();
int vskEnvGetCompoLogSize();
int vskEnvGetLongLogCount();
int vskEnvGetLongLogSize();
int vskEnvGetLogGenCount();
int vskEnvGetNetworkAdapterNumber();
int vskEnvGetEventLogLevel();  // INF 7, WAR 3, else 1

// --- Texts ------------------------------------------------------------------
void vskEnvGetPollingNetwork(VskPath& out);       // "PoringNetwork", default LAN
void vskEnvGetGaugeCustomProgram(VskPath& out);   // untouched when absent
int vskEnvGetRasLoginUserName(VskPath& out);      // 1 found; 0 absent, untouched
int vskEnvGetRasLoginPassword(VskPath& out);      // stored (scrambled) form
int vskEnvGetRasLoginDomain(VskPath& out);

// Splits "NetworkAdapter<n>" (n 1..8) at ';' into up to six fields. Each given
// output must hold kVskValueMaxData + 1 bytes; null outputs are skipped.
void vskEnvGetNetworkAdapter(int n, char* out1, char* out2, char* out3, char* out4,
                             char* out5, char* out6);

// "VskVirtualHostName": 1 absent or empty; 2 longer than 64; otherwise the
// characters are copied to out (no terminator added; out holds 64 bytes) and
// the result is 0 when the name is valid, 3 when not.
int vskEnvGetVirtualHostName(char* out);

// 1 on Windows 5.1/5.2 with EnableRDP on, SiteServerOption off,
// UserAuthorityOption on and ClientStay on; else 0. Loads the cache if needed.
int vskEnvIsRemoteDesktopMode();

// 0 when the adapter settings allow choosing an adapter by number, else the
// first failing condition: -2002, -2003, -2004, -2005.
int vskEnvCheckAdapterGate();

// First byte of SYSENT.KEY: 1..4, else 255.
int vskEnvGetSysentKey();

// Unscrambles the stored dial-up password (4 to 63 characters) into out (at
// most 30 bytes with its terminator). 1 done; 0 not a valid stored form.
int vskEnvUnscramblePassword(const char* stored, char* out, std::size_t outSize);

// --- Paths (out holds kVskPathSize bytes) -------------------------------------
void vskEnvGetInstallPath(VskPath& out);
void vskEnvGetWorkPath(VskPath& out);
void vskEnvGetBackupPath(VskPath& out);      // created (one level) when missing
void vskEnvGetRcvPath(VskPath& out);         // created
void vskEnvGetSndPath(VskPath& out);         // created
void vskEnvGetSndBackPath(VskPath& out);
void vskEnvGetInvWorkPath(VskPath& out);     // created
void vskEnvGetControlFilePath(VskPath& out);
void vskEnvGetLogPath(VskPath& out);
void vskEnvGetBinPath(VskPath& out);
void vskEnvGetMasterPath(VskPath& out);
void vskEnvGetDbPath(VskPath& out);
void vskEnvGetUplistdPath(VskPath& out);
void vskEnvGetSwlistdPath(VskPath& out);
void vskEnvGetHostsysPath(VskPath& out);
void vskEnvGetServerIpIniPath(char* out, std::size_t outSize);
void vskEnvGetUserInvPath(VskPath& out);
void vskEnvGetResourcePath(VskPath& out);
void vskEnvGetInstPath(VskPath& out);
void vskEnvGetAclSetFileInfPath(VskPath& out);
void vskEnvGetAclDirInfPath(VskPath& out);
void vskEnvGetSysentPath(VskPath& out);      // install\CLIENT\SYSENT, no trailing backslash

// install\CLIENT\<name>\ for the client's fixed directory names.
enum class VskClientDir {
  APBACK, APGUI, BOOT, PSM, SCHEDULE, WINSETUP, REGULAR, SUSPEND, RESUME, WINSSUSP,
  DIFFREB, DIFFLOG, REG, SPLIT, APWORK, INV, HOLD, HOLDDEL
};
void vskEnvGetClientDirPath(VskClientDir dir, VskPath& out);
