// The current server, job directories and the dial-up layer (through a
// stand-in for the Remote Access Service: Wine's is a stub).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "environment/password_scramble.h"
#include "multiserver/multiserver.h"
#include "multiserver/ras.h"
#include "support/fake_resolver.h"
#include "support/lookup_fixture.h"

namespace {

using bk::test::HostRecord;
using bk::test::WriteFile;

class JobDirectories : public bk::test::LookupTest {
 protected:
  void SetUp() override {
    LookupTest::SetUp();
    vskMultisrvResetForTest();
    WriteFile(dbDir() + "\\HOSTSYS", HostRecord("10.0.0.5", 1, "HOST0000") + HostRecord("10.0.0.6", 1, "HOST0001") +
                                         HostRecord("10.0.0.1", 1, "HOST0002"));
  }
  void TearDown() override {
    vskMultisrvResetForTest();
    LookupTest::TearDown();
  }
  std::string Path(int mode, int* result) {
    char path[kVskPathSize] = "untouched";
    *result = vskMultisrvGetDirPath(mode, path);
    return path;
  }
  bk::test::FakeResolverScope resolver;
};

TEST_F(JobDirectories, WithoutCurrentServer) {
  int result = -1;
  EXPECT_EQ(Path(103, &result), install / "CLIENT\\RESOURCE");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Path(99, &result), workDir() + "\\RCV");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Path(106, &result), install / "MASTER\\DB");
  EXPECT_EQ(Path(1, &result), workDir());
  EXPECT_EQ(result, 1);
  for (int mode : {0, 4, 9, 20, 98, 109, -1}) {
    EXPECT_EQ(Path(mode, &result), "untouched") << mode;
    EXPECT_EQ(result, 0);
  }
  EXPECT_TRUE(Sent("Undefined JobMode: JobMode=4"));
  EXPECT_TRUE(Logged("switch[Mode]default:ON_vskMultisrvGetDirPath"));
  const char* name = nullptr;
  EXPECT_EQ(vskMultisrvGetCurrentDirName(&name), 0);
}

TEST_F(JobDirectories, CurrentServerIsSetOnce) {
  EXPECT_EQ(vskMultisrvSetSSIListInfo(nullptr, nullptr, "HOST0009"), 0);  // not recorded
  ASSERT_EQ(vskMultisrvSetSSIListInfo(nullptr, nullptr, "HOST0002"), 1);
  int result = -1;
  EXPECT_EQ(Path(99, &result), workDir() + "\\RCV\\HOST0002");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Path(1, &result), workDir());
  EXPECT_EQ(Path(2, &result), install / "CLIENT\\SCHEDULE\\HOST0002");
  const char* name = nullptr;
  ASSERT_EQ(vskMultisrvGetCurrentDirName(&name), 1);
  EXPECT_STREQ(name, "HOST0002");

  // Another server joins the list; the current one stays.
  EXPECT_EQ(vskMultisrvSetSSIListInfo("10.0.0.5", "orlavs", nullptr), 1);
  EXPECT_EQ(vskMultisrvSetSSIListInfo("10.0.0.5", "orlavs", nullptr), 1);
  EXPECT_EQ(vskMultisrvSetSSIListInfo("srv1.example", "orlavs", nullptr), 1);  // HOST0002 itself
  EXPECT_EQ(vskMultisrvSetSSIListInfo("10.0.0.2", "orlavs", nullptr), 1);      // new: HOST0003
  ASSERT_EQ(vskMultisrvServerListCount(), 2u);
  EXPECT_STREQ(vskMultisrvServerListAt(0), "HOST0000");
  EXPECT_STREQ(vskMultisrvServerListAt(1), "HOST0003");
  EXPECT_EQ(Path(103, &result), install / "CLIENT\\RESOURCE\\HOST0002");
  vskMultisrvFreeSSIList();
  EXPECT_EQ(vskMultisrvServerListCount(), 0u);
  // Logging switched off does not stop the lookup.
  Set("LogOption", "NO");
  EXPECT_EQ(vskMultisrvSetSSIListInfo("10.0.0.6", "orlavs", nullptr), 1);
  EXPECT_EQ(vskMultisrvServerListCount(), 1u);
  // This test program is not the installer: no dial-up.
  EXPECT_EQ(vskMultisrvCheckRasConnect(), 0);
}

// --- the Remote Access Service stand-in ------------------------------------------

struct FakeRas {
  std::vector<std::string> entries{"SRV1.EXAMPLE", "OTHER"};
  std::vector<std::string> connected;
  DWORD dialResult = 0;
  int loads = 0, releases = 0, dials = 0, hangUps = 0;
  std::vector<DWORD> pauses;
  std::string user, password, domain, entry;
};
FakeRas& Ras() {
  static FakeRas ras;
  return ras;
}

DWORD WINAPI FakeEnumEntries(LPCSTR, LPCSTR, VskRasEntryName* out, LPDWORD size, LPDWORD count) {
  const std::size_t n = Ras().entries.size();
  *count = static_cast<DWORD>(n);
  if (*size < n * sizeof(VskRasEntryName)) {
    *size = static_cast<DWORD>(n * sizeof(VskRasEntryName));
    return n == 0 ? 0 : kRasBufferTooSmall;
  }
  for (std::size_t i = 0; i < n; ++i) bk::CopyText(out[i].szEntryName, sizeof out[i].szEntryName, Ras().entries[i].c_str());
  return 0;
}
DWORD WINAPI FakeEnumConnections(VskRasConn* out, LPDWORD size, LPDWORD count) {
  const std::size_t n = Ras().connected.size();
  *count = static_cast<DWORD>(n);
  if (*size < n * sizeof(VskRasConn)) {
    *size = static_cast<DWORD>(n * sizeof(VskRasConn));
    return kRasBufferTooSmall;
  }
  for (std::size_t i = 0; i < n; ++i) bk::CopyText(out[i].szEntryName, sizeof out[i].szEntryName, Ras().connected[i].c_str());
  return 0;
}
DWORD WINAPI FakeDial(LPVOID, LPCSTR, VskRasDialParams* p, DWORD, LPVOID, VskRasConnection* connection) {
  ++Ras().dials;
  Ras().entry = p->szEntryName;
  Ras().user = p->szUserName;
  Ras().password = p->szPassword;
  Ras().domain = p->szDomain;
  *connection = reinterpret_cast<VskRasConnection>(static_cast<std::uintptr_t>(0x100 + Ras().dials));
  return Ras().dialResult;
}
DWORD WINAPI FakeHangUp(VskRasConnection) {
  ++Ras().hangUps;
  return 0;
}
HMODULE FakeLoad() {
  ++Ras().loads;
  return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x5000));
}
FARPROC FakeGetProc(HMODULE, const char* name) {
  const std::string n = name;
  void* fn = n == "RasEnumEntriesA"       ? reinterpret_cast<void*>(FakeEnumEntries)
             : n == "RasEnumConnectionsA" ? reinterpret_cast<void*>(FakeEnumConnections)
             : n == "RasDialA"            ? reinterpret_cast<void*>(FakeDial)
             : n == "RasHangUpA"          ? reinterpret_cast<void*>(FakeHangUp)
                                          : nullptr;
  return reinterpret_cast<FARPROC>(fn);
}
void FakeRelease(HMODULE) { ++Ras().releases; }
void FakePause(DWORD ms) { Ras().pauses.push_back(ms); }

class DialUp : public bk::test::LookupTest {
 protected:
  void SetUp() override {
    LookupTest::SetUp();
    bk::ras::CallsTable() = {FakeLoad, FakeGetProc, FakeRelease, FakePause};
    vskRasApiHandUp(nullptr);  // a connection left up by an earlier test keeps the library
    Ras() = FakeRas();
    Set("RasLoginOption", "YES");
    Set("RasLoginUserName", "dialer");
    char stored[64];
    ASSERT_TRUE(bk::ScramblePassword("s3cret", 7, stored, sizeof stored));
    Set("RasLoginPassword", stored);
    Set("RasLoginDomain", "CORP");
  }
  void TearDown() override {
    bk::ras::ResetCalls();
    LookupTest::TearDown();
  }
};

TEST_F(DialUp, RetriesWithPausesAndHangsUpEachFailure) {
  Set("ConnectRetryCount", "2");
  Set("ConnectRetryInterval", "5");
  Ras().dialResult = 678;
  EXPECT_EQ(vskRasProcDial("srv1.example"), 0);
  EXPECT_EQ(Ras().dials, 3);
  EXPECT_EQ(Ras().hangUps, 3);
  EXPECT_EQ(LoggedCount("vskRasProcDial Error ( retry count ="), 2u);
  EXPECT_TRUE(Logged("vskRasProcDial Error ( retry count = 2 )"));
  EXPECT_EQ(std::count(Ras().pauses.begin(), Ras().pauses.end(), 5000u), 2);
  EXPECT_EQ(std::count(Ras().pauses.begin(), Ras().pauses.end(), 3000u), 3);  // after each hang-up
  EXPECT_EQ(Ras().loads, Ras().releases);
  EXPECT_TRUE(Logged("RasDial Error rc = 678"));
}

TEST_F(DialUp, ConnectsWithTheUnscrambledLogin) {
  EXPECT_EQ(vskRasProcDial("srv1.example"), 1);
  EXPECT_EQ(Ras().dials, 1);
  EXPECT_EQ(Ras().hangUps, 0);
  EXPECT_EQ(Ras().entry, "SRV1.EXAMPLE");
  EXPECT_EQ(Ras().user, "dialer");
  EXPECT_EQ(Ras().password, "s3cret");
  EXPECT_EQ(Ras().domain, "CORP");
  EXPECT_TRUE(Logged("vskRasApiDial stop rc = 0"));
}

TEST_F(DialUp, AlreadyConnectedNoEntryNoUser) {
  Ras().connected = {"ELSEWHERE", "srv1.example"};
  VskRasConnection connection = reinterpret_cast<VskRasConnection>(1);
  EXPECT_EQ(vskRasApiDial("srv1.example", &connection), 0u);
  EXPECT_EQ(connection, nullptr);
  EXPECT_EQ(Ras().dials, 0);
  EXPECT_TRUE(Logged("Dialup to: srv1.example ,Already dialup to: ELSEWHERE,srv1.example. vskRasApiEnumConnections stop."));
  EXPECT_EQ(vskRasApiEnumConnections("OTHER"), 3);
  Ras().connected.clear();
  EXPECT_EQ(vskRasApiEnumConnections("OTHER"), 0);

  Set("ConnectRetryCount", "2");
  EXPECT_EQ(vskRasProcDial("nowhere"), 0);
  EXPECT_EQ(LoggedCount("vskRasApiDial start"), 2u);  // no retries
  EXPECT_TRUE(Logged("RasEntry Not Found HostName = nowhere"));
  EXPECT_EQ(Ras().dials, 0);
  EXPECT_TRUE(Ras().pauses.empty());

  Ras().entries.clear();
  EXPECT_EQ(vskRasApiDial("srv1.example", &connection), kRasCannotFindPhonebookEntry);
  EXPECT_TRUE(Logged("vskRasApiDial::RasEnumEntries No Entry"));

  Ras().entries = {"SRV1.EXAMPLE"};
  Set("RasLoginOption", "NO");
  EXPECT_EQ(vskRasApiDial("srv1.example", &connection), kRasAuthenticationFailure);
  EXPECT_TRUE(Logged("RasDialParam.szUserName None"));
  EXPECT_EQ(vskRasApiHandUp(nullptr), kRasInvalidHandle);
  EXPECT_TRUE(Logged("GetProcAddress( RasHangUp ) hRasHandle None"));
  EXPECT_EQ(Ras().loads, Ras().releases);
}

}  // namespace
