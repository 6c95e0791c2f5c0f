// HOSTSYS: directories found and assigned, by name and by address, the
// overflow at HOST9999, defective files, and the one-step replacement.
#include <gtest/gtest.h>

#include <string>

#include "multiserver/multiserver.h"
#include "platform/file_commit.h"
#include "support/fake_resolver.h"
#include "support/lookup_fixture.h"

namespace {

using bk::test::Exists;
using bk::test::FakeResolver;
using bk::test::ReadFile;
using bk::test::HostRecord;
using bk::test::WriteFile;

class HostDirectories : public bk::test::LookupTest {
 protected:
  void SetUp() override {
    LookupTest::SetUp();
    bk::test::MakeDir(install / "CLIENT");
    bk::test::MakeDir(install / "CLIENT\\SYSENT");
  }
  void TearDown() override {
    bk::win::ResetWorkCopyOps();
    LookupTest::TearDown();
  }
  std::string hostsys() const { return dbDir() + "\\HOSTSYS"; }
  void NameMode() { WriteFile(install / "CLIENT\\SYSENT\\SYSENT.KEY", "\x01"); }
  std::string Assign(const char* host, const char* service = "orlavs") {
    char dir[kMultisrvDirNameSize] = "unset";
    if (vskMultisrvGetDirNameFromHostName(host, service, dir) != 1) return "failed";
    return dir;
  }
  bk::test::FakeResolverScope resolver;
};

TEST_F(HostDirectories, ServersGetNumbersInFirstSeenOrder) {
  EXPECT_EQ(Assign("10.0.0.1"), "HOST0000");
  EXPECT_EQ(Assign("10.0.0.2"), "HOST0001");
  EXPECT_EQ(Assign("10.0.0.1", "orlavsw"), "HOST0002");  // same host, another service
  EXPECT_EQ(Assign("10.0.0.1", "ORLAVS"), "HOST0000");
  EXPECT_EQ(Assign("10.0.0.1", "anything"), "HOST0002");
  EXPECT_EQ(ReadFile(hostsys()), HostRecord("10.0.0.1", 1, "HOST0000") + HostRecord("10.0.0.2", 1, "HOST0001") +
                                     HostRecord("10.0.0.1", 2, "HOST0002"));
  EXPECT_FALSE(Exists(hostsys() + ".tmp"));
  EXPECT_TRUE(Logged("HOSTSYS File Write : HOSTorIP=10.0.0.2, SERVICE=orlavs, DIRECTORY=HOST0001 "
                     "Func=vskMultisrvGetDirNameFromHostName"));

  // A recorded dotted address is found directly, without asking the resolver.
  FakeResolver().byName = FakeResolver().byAddr = 0;
  EXPECT_EQ(Assign("10.0.0.2"), "HOST0001");
  EXPECT_EQ(FakeResolver().byName + FakeResolver().byAddr, 0);

  char host[kMultisrvHostSize], service[kMultisrvServiceSize];
  ASSERT_EQ(vskMultisrvGetHostNameFromDirName("host0002", host, service), 1);
  EXPECT_STREQ(host, "10.0.0.1");
  EXPECT_STREQ(service, "orlavsw");
  EXPECT_EQ(vskMultisrvGetHostNameFromDirName("HOST0007", host, service), 0);
  EXPECT_TRUE(Sent("This HostID has not been recorded: HostID=HOST0007."));
}

TEST_F(HostDirectories, HostFoundByNameAndLaterByAddress) {
  // Address mode: the record holds the address.
  EXPECT_EQ(Assign("srv1.example"), "HOST0000");
  EXPECT_EQ(Assign("10.0.0.1"), "HOST0000");
  EXPECT_EQ(ReadFile(hostsys()), HostRecord("10.0.0.1", 1, "HOST0000"));
  bk::test::RemoveTree(hostsys());

  // Name mode: the record holds the name; the address is compared through it.
  NameMode();
  EXPECT_EQ(Assign("srv2.example"), "HOST0000");
  EXPECT_EQ(Assign("10.0.0.2"), "HOST0000");
  EXPECT_EQ(Assign("SRV2.example"), "HOST0000");
  EXPECT_EQ(ReadFile(hostsys()), HostRecord("srv2.example", 1, "HOST0000"));

  // Name mode with HostsysSysentKeyIP: the address after all.
  Set("HostsysSysentKeyIP", "yes");
  EXPECT_EQ(Assign("srv1.example"), "HOST0001");
  EXPECT_EQ(ReadFile(hostsys()).substr(kHostsysRecordSize), HostRecord("10.0.0.1", 1, "HOST0001"));

  // A host that resolves to nothing cannot be recorded.
  EXPECT_EQ(Assign("nowhere.example"), "failed");
  EXPECT_TRUE(Logged("HOSTSYS File Cannot Write : HostsysSysentKeyIP=0x2, Because Cannnot Get IP Address"));
  Set("HostsysSysentKeyIP", "NO");
  EXPECT_EQ(Assign("nowhere.example"), "failed");
  EXPECT_TRUE(Logged("CANNOT GET HOST_INFO: HOSTorIP=nowhere.example Func=vskMultisrvGetDirNameFromHostName"));
  EXPECT_EQ(ReadFile(hostsys()).size(), 2 * kHostsysRecordSize);
}

TEST_F(HostDirectories, OverflowAndDefectiveFilesLeaveHostsysAlone) {
  const std::string full = HostRecord("10.0.0.9", 1, "HOST9998") + HostRecord("10.0.0.8", 1, "HOST9999");
  WriteFile(hostsys(), full);
  EXPECT_EQ(Assign("10.0.0.1"), "failed");
  EXPECT_TRUE(Sent("HostManageFile is overflow"));
  EXPECT_TRUE(Logged("HostDirectoryNumber is more than 9999: Number=10000."));
  EXPECT_EQ(ReadFile(hostsys()), full);
  EXPECT_FALSE(Exists(hostsys() + ".tmp"));
  EXPECT_EQ(Assign("10.0.0.8"), "HOST9999");  // known servers are still found

  const std::string partial = HostRecord("10.0.0.9", 1, "HOST0000") + std::string(100, 'x');
  WriteFile(hostsys(), partial);
  EXPECT_EQ(Assign("10.0.0.1"), "failed");
  const std::string size = ". 100 BytesRead. 320 BytesToRead.";
  EXPECT_TRUE(Sent("File Size Error: Path=" + hostsys() + ".tmp" + size));
  char host[kMultisrvHostSize], service[kMultisrvServiceSize];
  EXPECT_EQ(vskMultisrvGetHostNameFromDirName("HOST0001", host, service), 0);
  EXPECT_TRUE(Sent("File Size Error: Path=" + hostsys() + size));
  EXPECT_EQ(ReadFile(hostsys()), partial);

  // A host text filling its field without terminator is read inside it.
  std::string unterminated = HostRecord("", 1, "HOST0000");
  unterminated.replace(0, kHostsysHostWidth, std::string(kHostsysHostWidth, 'h'));
  unterminated[kHostsysKind] = 1;
  WriteFile(hostsys(), unterminated);
  EXPECT_EQ(Assign("10.0.0.1"), "HOST0001");
  ASSERT_EQ(vskMultisrvGetHostNameFromDirName("HOST0000", host, service), 1);
  EXPECT_EQ(std::string(host), std::string(64, 'h'));

  // A last directory name that is no number cannot give the next one.
  WriteFile(hostsys(), HostRecord("10.0.0.9", 1, "HOSTX"));
  EXPECT_EQ(Assign("10.0.0.1"), "failed");
}

BOOL WINAPI RefuseMove(LPCSTR, LPCSTR, DWORD) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST_F(HostDirectories, AssignmentFailsWhenHostsysCannotBeReplaced) {
  EXPECT_EQ(Assign("10.0.0.1"), "HOST0000");
  const std::string before = ReadFile(hostsys());
  bk::win::WorkCopyOpsTable().moveFileEx = RefuseMove;
  // Reporting HOST0001 here would let the next assignment hand it out again.
  EXPECT_EQ(Assign("10.0.0.2"), "failed");
  EXPECT_EQ(ReadFile(hostsys()), before);
  EXPECT_FALSE(Exists(hostsys() + ".tmp"));
  EXPECT_EQ(Assign("10.0.0.1"), "HOST0000");  // finding needs no replacement
  bk::win::ResetWorkCopyOps();
  EXPECT_EQ(Assign("10.0.0.2"), "HOST0001");
}

TEST_F(HostDirectories, AddressTests) {
  EXPECT_EQ(vskMultisrvIsIPAddress("10.0.0.1"), 1);
  EXPECT_EQ(vskMultisrvIsIPAddress("255.255.255.255"), 0);
  EXPECT_EQ(vskMultisrvIsIPAddress("srv1.example"), 0);
  char name[kMultisrvHostSize], ip[kMultisrvIpTextSize];
  vskMultisrvGetHostIP("*", name, ip);
  EXPECT_STREQ(ip, "");
  vskMultisrvGetHostIP("10.0.0.2", name, ip);
  EXPECT_STREQ(name, "srv2.example");
  EXPECT_STREQ(ip, "10.0.0.2");
  vskMultisrvGetHostIP("srv1.example", name, ip);
  EXPECT_STREQ(name, "srv1.example");
  EXPECT_STREQ(ip, "10.0.0.1");
  vskMultisrvGetHostIP("nowhere", name, ip);
  EXPECT_STREQ(ip, "");
  EXPECT_TRUE(Logged("gethostbyname ERROR: HostName=nowhere Func=vskMultisrvGetHostIP"));
  FakeResolver().hosts.push_back({std::string(70, 'n'), "10.0.0.70"});
  vskMultisrvGetHostIP("10.0.0.70", name, ip);
  EXPECT_STREQ(name, "");
  EXPECT_STREQ(ip, "10.0.0.70");
  EXPECT_TRUE(Logged("local hostname too long : gethostbyaddr"));
}

}  // namespace
