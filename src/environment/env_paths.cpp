// The client's directory and file paths, built from the install path, the
// work path and the backup root.
#include <windows.h>

#include <cstdio>

#include "common/text.h"
#include "environment/env.h"

namespace {

// Builds "<base><suffix>"; the registry values are at most 128 bytes, so every
// path fits a path buffer.
void Join(VskPath& out, const char* base, const char* suffix) {
  std::snprintf(out, sizeof out, "%s%s", base, suffix);
}

// Creates the last directory level of a path when it does not exist yet. A
// failure surfaces later, when the caller uses the path.
void CreateOneLevel(const char* path) {
  if (::GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) ::CreateDirectoryA(path, nullptr);
}

void InstallJoin(VskPath& out, const char* suffix) {
  VskPath install;
  vskEnvGetInstallPath(install);
  Join(out, install, suffix);
}

void WorkJoin(VskPath& out, const char* suffix, bool create) {
  VskPath work;
  vskEnvGetWorkPath(work);
  Join(out, work, suffix);
  if (create) CreateOneLevel(out);
}

void DbJoin(VskPath& out, const char* suffix) {
  VskPath db;
  vskEnvGetDbPath(db);
  Join(out, db, suffix);
}

}  // namespace

void vskEnvGetInstallPath(VskPath& out) {
  if (vskEnvGetValue("PathName", out, sizeof out) != 1) bk::CopyText(out, sizeof out, "C:\\ORLAVSK");
}

void vskEnvGetWorkPath(VskPath& out) {
  if (vskEnvGetValue("CltWorkPath", out, sizeof out) != 1) InstallJoin(out, "\\CLIENT\\WORK");
}

void vskEnvGetBackupPath(VskPath& out) {
  if (vskEnvGetValue("RestoreBackupPath", out, sizeof out) != 1) {
    VskPath work;
    vskEnvGetWorkPath(work);
    Join(out, work, "\\BACKUP");
  }
  CreateOneLevel(out);
}

void vskEnvGetRcvPath(VskPath& out) { WorkJoin(out, "\\RCV", true); }
void vskEnvGetSndPath(VskPath& out) { WorkJoin(out, "\\SND", true); }
void vskEnvGetSndBackPath(VskPath& out) { WorkJoin(out, "\\SNDBACK", false); }
void vskEnvGetInvWorkPath(VskPath& out) { WorkJoin(out, "\\INV", true); }
void vskEnvGetControlFilePath(VskPath& out) { WorkJoin(out, "\\C0.ctr", false); }
void vskEnvGetLogPath(VskPath& out) { InstallJoin(out, "\\LOG"); }
void vskEnvGetBinPath(VskPath& out) { InstallJoin(out, "\\BIN"); }
void vskEnvGetMasterPath(VskPath& out) { InstallJoin(out, "\\MASTER"); }

void vskEnvGetDbPath(VskPath& out) {
  VskPath master;
  vskEnvGetMasterPath(master);
  Join(out, master, "\\DB");
}

void vskEnvGetUplistdPath(VskPath& out) { DbJoin(out, "\\UPLISTD.BON"); }
void vskEnvGetSwlistdPath(VskPath& out) { DbJoin(out, "\\SWLISTD.BON"); }
void vskEnvGetHostsysPath(VskPath& out) { DbJoin(out, "\\HOSTSYS"); }

void vskEnvGetServerIpIniPath(char* out, std::size_t outSize) {
  if (out == nullptr || outSize == 0) return;
  VskPath path;
  DbJoin(path, "\\SERVERIP.ini");
  bk::CopyText(out, outSize, path);
}

void vskEnvGetUserInvPath(VskPath& out) { InstallJoin(out, "\\USERINV"); }
void vskEnvGetResourcePath(VskPath& out) { InstallJoin(out, "\\CLIENT\\RESOURCE\\"); }
void vskEnvGetInstPath(VskPath& out) { InstallJoin(out, "\\CLIENT\\VSKINST\\"); }
void vskEnvGetAclSetFileInfPath(VskPath& out) { InstallJoin(out, "\\PKG\\ACLSETFL.INF"); }
void vskEnvGetAclDirInfPath(VskPath& out) { InstallJoin(out, "\\PKG\\ACLDIR.INF"); }
void vskEnvGetSysentPath(VskPath& out) { InstallJoin(out, "\\CLIENT\\SYSENT"); }

void vskEnvGetClientDirPath(VskClientDir dir, VskPath& out) {
  static constexpr const char* kNames[] = {
      "APBACK", "APGUI",  "BOOT",    "PSM",  "SCHEDULE", "WINSETUP", "REGULAR", "SUSPEND", "RESUME",
      "WINSSUSP", "DIFFREB", "DIFFLOG", "REG", "SPLIT",   "APWORK",   "INV",     "HOLD",    "HOLDDEL"};
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<int>(VskClientDir::HOLDDEL) + 1);
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "\\CLIENT\\%s\\", kNames[static_cast<int>(dir)]);
  InstallJoin(out, suffix);
}
