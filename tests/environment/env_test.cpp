#include "environment/env.h"

#include <gtest/gtest.h>

#include <string>

#include "environment/password_scramble.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::ClientRegistry;
using bk::test::TempDir;

class Env : public ::testing::Test {
 protected:
  void Load() {
    vskEnvRelease();
    ASSERT_EQ(vskEnvLoad(), 1);
  }
  void TearDown() override { vskEnvRelease(); }
  ClientRegistry registry;
};

std::string Path(void (*getter)(VskPath&)) {
  VskPath out;
  getter(out);
  return out;
}

TEST_F(Env, AbsentKeyGivesTheDefaults) {
  Load();
  EXPECT_TRUE(vskEnvIsLoaded());
  EXPECT_EQ(Path(vskEnvGetInstallPath), "C:\\ORLAVSK");
  EXPECT_EQ(Path(vskEnvGetWorkPath), "C:\\ORLAVSK\\CLIENT\\WORK");
  EXPECT_EQ(Path(vskEnvGetLogPath), "C:\\ORLAVSK\\LOG");
  EXPECT_EQ(Path(vskEnvGetUplistdPath), "C:\\ORLAVSK\\MASTER\\DB\\UPLISTD.BON");
  EXPECT_EQ(Path(vskEnvGetPollingNetwork), "LAN");
  EXPECT_EQ(vskEnvIsLogEnabled(), 1);
  EXPECT_EQ(vskEnvIsSiteServer(), 0);
  EXPECT_EQ(vskEnvGetMainLogCount(), 700);
  EXPECT_EQ(vskEnvGetMainLogSize(), 192);
  EXPECT_EQ(vskEnvGetUserLogSize(), 384);
  EXPECT_EQ(vskEnvGetFuncLogCount(), 2000);
  EXPECT_EQ(vskEnvGetLongLogSize(), 300);
  EXPECT_EQ(vskEnvGetLogGenCount(), 5);
  EXPECT_EQ(vskEnvGetConnectRetryInterval(), 3);
  EXPECT_EQ(vskEnvGetEventLogLevel(), 1);
  EXPECT_EQ(vskEnvGetSysentKey(), 255);
  EXPECT_EQ(vskEnvCheckAdapterGate(), -2002);
  char host[65] = "unchanged";
  EXPECT_EQ(vskEnvGetVirtualHostName(host), 1);
  EXPECT_STREQ(host, "unchanged");
  VskPath user = "untouched";
  EXPECT_EQ(vskEnvGetRasLoginUserName(user), 0);
  EXPECT_STREQ(user, "untouched");
}

TEST_F(Env, SwitchFlavours) {
  struct Case {
    const char* name;
    const char* value;  // null: absent
    int (*getter)();
    int expected;
  } cases[] = {
      {"LogOption", nullptr, vskEnvIsLogEnabled, 1},
      {"LogOption", "yes", vskEnvIsLogEnabled, 1},
      {"LogOption", "NO", vskEnvIsLogEnabled, 0},
      {"UserAuthorityOption", nullptr, vskEnvIsUserAuthorityOption, 1},
      {"UserAuthorityOption", "YES", vskEnvIsUserAuthorityOption, 1},
      {"UserAuthorityOption", "yes", vskEnvIsUserAuthorityOption, 0},
      {"SiteServerOption", nullptr, vskEnvIsSiteServer, 0},
      {"SiteServerOption", "Yes", vskEnvIsSiteServer, 1},
      {"EnableRDP", "YES", vskEnvIsEnableRDP, 1},
      {"EnableRDP", "Yes", vskEnvIsEnableRDP, 0},
      {"InstallPackageNOErrorSet", "yes", vskEnvIsInstallPackageNOErrorSet, 0},
      {"GaugeDialogInstallCustom", "user", vskEnvGetGaugeDialogInstallCustom, 0},
      {"GaugeDialogInstallCustom", "NORMAL", vskEnvGetGaugeDialogInstallCustom, 1},
      {"GaugeDialogConnectCustom", nullptr, vskEnvGetGaugeDialogConnectCustom, 1},
      {"EventLogLevel", "war", vskEnvGetEventLogLevel, 3},
      {"EventLogLevel", "INF", vskEnvGetEventLogLevel, 7},
      {"EventLogLevel", "ERR", vskEnvGetEventLogLevel, 1},
      {"MAINLOGCount", "42abc", vskEnvGetMainLogCount, 42},
      {"MAINLOGCount", "x", vskEnvGetMainLogCount, 0},
      {"MAINLOGCount", "99999999999999", vskEnvGetMainLogCount, 2147483647},
  };
  for (const Case& c : cases) {
    if (c.value) registry.Set(c.name, c.value); else registry.Remove(c.name);
    Load();
    EXPECT_EQ(c.getter(), c.expected) << c.name << "=" << (c.value ? c.value : "(absent)");
  }
}

TEST_F(Env, NamesAreCaseSensitive) {
  registry.Set("pathname", "D:\\OTHER");
  Load();
  char value[kVskValueSize] = "untouched";
  EXPECT_EQ(vskEnvGetValue("PathName", value, sizeof value), 0);
  EXPECT_STREQ(value, "untouched");
  EXPECT_EQ(vskEnvGetValue("pathname", value, sizeof value), 1);
  EXPECT_STREQ(value, "D:\\OTHER");
  EXPECT_EQ(Path(vskEnvGetInstallPath), "C:\\ORLAVSK");
}

TEST_F(Env, ValueOver128BytesStopsTheLoad) {
  // Values are enumerated in creation order under Wine, as on Windows.
  registry.Set("A1", "first");
  registry.Set("A2", std::string(200, 'v'));
  registry.Set("A3", "third");
  vskEnvRelease();
  EXPECT_EQ(vskEnvLoad(), 0);
  EXPECT_FALSE(vskEnvIsLoaded());
  char value[kVskValueSize];
  EXPECT_EQ(vskEnvGetValue("A1", value, sizeof value), 1);
  EXPECT_EQ(vskEnvGetValue("A3", value, sizeof value), 0);
  EXPECT_TRUE(vskEnvIsLoadAttempted());  // the values read so far are held
  vskEnvRelease();
  EXPECT_FALSE(vskEnvIsLoadAttempted());
}

TEST(EnvKey, AbsentMeansNotFoundOrNoResourceData) {
  const struct {
    long error;
    bool absent;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, true},           {ERROR_PATH_NOT_FOUND, true},
      {ERROR_RESOURCE_DATA_NOT_FOUND, true},  // 1812
      {ERROR_RESOURCE_TYPE_NOT_FOUND, false},  // 1813
      {ERROR_ACCESS_DENIED, false},           {ERROR_SUCCESS, false},
  };
  for (const auto& c : cases) EXPECT_EQ(vskEnvKeyIsAbsent(c.error), c.absent) << c.error;
}

TEST_F(Env, ValueOfExactly128BytesIsKept) {
  std::vector<unsigned char> data(128, 'k');  // no terminator
  registry.SetRaw("Raw", REG_BINARY, data);
  Load();
  char value[kVskValueSize];
  ASSERT_EQ(vskEnvGetValue("Raw", value, sizeof value), 1);
  EXPECT_EQ(std::string(value), std::string(128, 'k'));
}

TEST_F(Env, ReleaseMakesTheNextLoadReadTheRegistryAgain) {
  registry.Set("PathName", "D:\\ONE");
  Load();
  EXPECT_EQ(Path(vskEnvGetInstallPath), "D:\\ONE");
  registry.Set("PathName", "D:\\TWO");  // Set releases the cache
  EXPECT_EQ(Path(vskEnvGetInstallPath), "C:\\ORLAVSK");
  Load();
  EXPECT_EQ(Path(vskEnvGetInstallPath), "D:\\TWO");
}

TEST_F(Env, PathsFollowTheRootsAndCreateOneLevel) {
  TempDir dir;
  registry.Set("PathName", dir.path());
  Load();
  EXPECT_EQ(Path(vskEnvGetWorkPath), dir / "CLIENT\\WORK");
  EXPECT_EQ(Path(vskEnvGetResourcePath), dir / "CLIENT\\RESOURCE\\");
  EXPECT_EQ(Path(vskEnvGetSysentPath), dir / "CLIENT\\SYSENT");
  EXPECT_EQ(Path(vskEnvGetAclDirInfPath), dir / "PKG\\ACLDIR.INF");
  VskPath holddel;
  vskEnvGetClientDirPath(VskClientDir::HOLDDEL, holddel);
  EXPECT_EQ(std::string(holddel), dir / "CLIENT\\HOLDDEL\\");
  char ini[20];
  vskEnvGetServerIpIniPath(ini, sizeof ini);
  EXPECT_EQ(std::string(ini), (dir / "MASTER\\DB\\SERVERIP.ini").substr(0, 19));

  // The backup root is created one level deep only: its parent is missing.
  EXPECT_EQ(Path(vskEnvGetBackupPath), dir / "CLIENT\\WORK\\BACKUP");
  EXPECT_FALSE(bk::test::Exists(dir / "CLIENT\\WORK\\BACKUP"));
  bk::test::MakeDir(dir / "CLIENT");
  bk::test::MakeDir(dir / "CLIENT\\WORK");
  Path(vskEnvGetBackupPath);
  EXPECT_TRUE(bk::test::Exists(dir / "CLIENT\\WORK\\BACKUP"));
  EXPECT_EQ(Path(vskEnvGetRcvPath), dir / "CLIENT\\WORK\\RCV");
  EXPECT_TRUE(bk::test::Exists(dir / "CLIENT\\WORK\\RCV"));
  EXPECT_EQ(Path(vskEnvGetSndBackPath), dir / "CLIENT\\WORK\\SNDBACK");
  EXPECT_FALSE(bk::test::Exists(dir / "CLIENT\\WORK\\SNDBACK"));

  registry.Set("CltWorkPath", dir / "W");
  registry.Set("RestoreBackupPath", dir / "B");
  Load();
  EXPECT_EQ(Path(vskEnvGetControlFilePath), dir / "W\\C0.ctr");
  EXPECT_EQ(Path(vskEnvGetBackupPath), dir / "B");
  EXPECT_TRUE(bk::test::Exists(dir / "B"));
}

TEST_F(Env, VirtualHostName) {
  struct Case {
    const char* value;
    int expected;
  } cases[] = {
      {"", 1}, {"web-host7", 0}, {"a.b-c", 0}, {"7host", 3}, {"host-", 3}, {"ho_st", 3}, {"A", 0},
  };
  for (const Case& c : cases) {
    registry.Set("VskVirtualHostName", c.value);
    Load();
    char out[65] = {};
    EXPECT_EQ(vskEnvGetVirtualHostName(out), c.expected) << c.value;
    if (c.expected != 1) {
      EXPECT_STREQ(out, c.value);
    }
  }
  registry.Set("VskVirtualHostName", std::string(65, 'h'));
  Load();
  char out[65] = {};
  EXPECT_EQ(vskEnvGetVirtualHostName(out), 2);
  EXPECT_STREQ(out, "");
}

TEST_F(Env, NetworkAdapterFields) {
  registry.Set("NetworkAdapter3", "eth0;10.0.0.1;;mask;gw;dns;extra");
  Load();
  char f[6][kVskValueMaxData + 1];
  vskEnvGetNetworkAdapter(3, f[0], f[1], f[2], f[3], f[4], f[5]);
  EXPECT_STREQ(f[0], "eth0");
  EXPECT_STREQ(f[1], "10.0.0.1");
  EXPECT_STREQ(f[2], "");
  EXPECT_STREQ(f[3], "mask");
  EXPECT_STREQ(f[5], "dns");
  vskEnvGetNetworkAdapter(3, nullptr, f[1], nullptr, nullptr, nullptr, nullptr);
  EXPECT_STREQ(f[1], "10.0.0.1");
  vskEnvGetNetworkAdapter(9, f[0], f[1], f[2], f[3], f[4], f[5]);
  EXPECT_STREQ(f[0], "");
  vskEnvGetNetworkAdapter(1, f[0], f[1], f[2], f[3], f[4], f[5]);
  EXPECT_STREQ(f[1], "");
}

TEST_F(Env, AdapterGateNamesTheFirstFailingCondition) {
  registry.Set("IPAddressNetworkAdapter", "YES");
  Load();
  EXPECT_EQ(vskEnvCheckAdapterGate(), -2003);
  registry.Set("NetworkAdapterOption", "yes");
  Load();
  EXPECT_EQ(vskEnvCheckAdapterGate(), -2004);
  registry.Set("NetworkAdapterNumber", "2");
  Load();
  EXPECT_EQ(vskEnvCheckAdapterGate(), 0);
  registry.Set("RasConnectOption", "YES");
  Load();
  EXPECT_EQ(vskEnvCheckAdapterGate(), -2005);
}

TEST_F(Env, RemoteDesktopModeIsOffOnWindows6) {
  registry.Set("EnableRDP", "YES");
  Load();
  EXPECT_EQ(vskEnvIsRemoteDesktopMode(), 0);
  EXPECT_TRUE(vskEnvIsLoaded());  // a loaded cache is left loaded
}

TEST_F(Env, SysentKeyFirstByte) {
  TempDir dir;
  registry.Set("PathName", dir.path());
  bk::test::MakeDir(dir / "CLIENT");
  bk::test::MakeDir(dir / "CLIENT\\SYSENT");
  Load();
  const std::string key = dir / "CLIENT\\SYSENT\\SYSENT.KEY";
  for (int byte : {1, 2, 3, 4, 0, 5, 255}) {
    bk::test::WriteFile(key, std::string(1, static_cast<char>(byte)));
    EXPECT_EQ(vskEnvGetSysentKey(), (byte >= 1 && byte <= 4) ? byte : 255) << byte;
  }
  bk::test::WriteFile(key, "");
  EXPECT_EQ(vskEnvGetSysentKey(), 255);
}

TEST_F(Env, StoredPasswordIsUnscrambled) {
  char stored[64];
  ASSERT_TRUE(bk::ScramblePassword("dial-up secret", 77, stored, sizeof stored));
  registry.Set("RasLoginPassword", stored);
  Load();
  VskPath value;
  ASSERT_EQ(vskEnvGetRasLoginPassword(value), 1);
  char plain[30];
  ASSERT_EQ(vskEnvUnscramblePassword(value, plain, sizeof plain), 1);
  EXPECT_STREQ(plain, "dial-up secret");
}

}  // namespace
