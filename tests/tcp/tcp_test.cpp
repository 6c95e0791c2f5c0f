// Host names and addresses: the "SERVERIP.ini" override, this machine's name
// and address, the adapter override and the virtual host name, the same-host
// test and where network errors are reported.
#include "tcp/tcp.h"

#include <gtest/gtest.h>

#include <string>

#include "support/fake_resolver.h"
#include "support/lookup_fixture.h"

namespace {

using bk::test::Exists;
using bk::test::FakeResolver;
using bk::test::WriteFile;

std::string Address(const hostent* h) {
  if (h == nullptr) return "";
  in_addr a;
  std::memcpy(&a, h->h_addr_list[0], 4);
  return ::inet_ntoa(a);
}

class Hosts : public bk::test::LookupTest {
 protected:
  void SetUp() override {
    LookupTest::SetUp();
    bk::test::MakeDir(install / "CLIENT");
    bk::test::MakeDir(install / "CLIENT\\SYSENT");
  }
  std::string ini() const { return dbDir() + "\\SERVERIP.ini"; }
  void Sysent(char kind) { WriteFile(install / "CLIENT\\SYSENT\\SYSENT.KEY", std::string(1, kind)); }
  std::string Profile(const std::string& section, const std::string& key) const {
    char value[128] = {};
    ::GetPrivateProfileStringA(section.c_str(), key.c_str(), "", value, sizeof value, ini().c_str());
    return value;
  }
  bk::test::FakeResolverScope resolver;
  bk::tcp::WinSockSession session;
};

TEST_F(Hosts, ServerIpFileOverridesTheResolver) {
  Set("ServerIPChangeOption", "YES");
  WriteFile(ini(), "[#-filecheck]\r\nkey=Programcheck\r\n[SRV1]\r\nIPaddress=10.0.0.5\r\n");
  hostent* h = Tcp_get("SRV1", 0, "test");
  ASSERT_NE(h, nullptr);
  EXPECT_STREQ(h->h_name, "SRV1");
  EXPECT_EQ(Address(h), "10.0.0.5");
  EXPECT_EQ(FakeResolver().byName, 0);
  EXPECT_TRUE(Logged("Tcp_get("));
  EXPECT_TRUE(Logged("test:rtn,host,IP,Key=8,SRV1,10.0.0.5,0xff"));

  // A host without a section goes to the resolver.
  EXPECT_EQ(Address(Tcp_get("srv2.example", 0, "test")), "10.0.0.2");
  EXPECT_EQ(FakeResolver().byName, 1);

  // System-entry kinds 2 and 4 never consult the file; 1 and 3 do.
  for (char kind : {'\x02', '\x04', '\x01', '\x03'}) {
    Sysent(kind);
    const bool consulted = kind == 1 || kind == 3;
    EXPECT_EQ(Tcp_get("SRV1", 0, "test") != nullptr, consulted) << int(kind);
  }
  Sysent('\xff');
  // Off on a site server or without the option.
  Set("SiteServerOption", "YES");
  EXPECT_EQ(Tcp_get("SRV1", 0, "test"), nullptr);
  Set("SiteServerOption", "NO");
  Set("ServerIPChangeOption", "yes");  // exactly YES
  EXPECT_EQ(Tcp_get("SRV1", 0, "test"), nullptr);
}

TEST_F(Hosts, InvalidEntryIsRemovedAndInvalidFileDeleted) {
  Set("ServerIPChangeOption", "YES");
  WriteFile(ini(), "[#-filecheck]\r\nkey=Programcheck\r\n[srv1.example]\r\nIPaddress=0.0.0.0\r\n[OTHER]\r\nIPaddress=10.0.0.9\r\n");
  EXPECT_EQ(Address(Tcp_get("srv1.example", 0, "test")), "10.0.0.1");  // the resolver's answer
  EXPECT_EQ(FakeResolver().byName, 1);
  EXPECT_EQ(Profile("srv1.example", "IPaddress"), "");
  EXPECT_EQ(Profile("OTHER", "IPaddress"), "10.0.0.9");
  EXPECT_TRUE(Logged("Error:Tcp_get("));
  EXPECT_TRUE(Logged("test : s_addr,IP,Key=0,0.0.0.0,0xff"));

  // A read-only file without the check section is deleted at the first lookup.
  WriteFile(ini(), "[SRV1]\r\nIPaddress=10.0.0.5\r\n");
  ::SetFileAttributesA(ini().c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Tcp_get("SRV1", 0, "test"), nullptr);
  EXPECT_FALSE(Exists(ini()));
  EXPECT_TRUE(Logged("test : key check error() = 0 : host=SRV1"));

  WriteFile(ini(), "[#-filecheck]\r\nkey=programcheck\r\n[SRV1]\r\nIPaddress=10.0.0.5\r\n");
  EXPECT_EQ(Tcp_get("SRV1", 0, "test"), nullptr);
  EXPECT_FALSE(Exists(ini()));
  EXPECT_TRUE(Logged("test : Section check error() = 12 : host=SRV1"));
}

TEST_F(Hosts, IsMyHostByNameAddressAndResolution) {
  char buffer[kTcpHostNameSize];
  EXPECT_EQ(vskTcpIsMyHost("TESTPC", buffer), 0);
  EXPECT_STREQ(buffer, "testpc");
  EXPECT_EQ(vskTcpIsMyHost("192.0.2.10", buffer), 0);
  EXPECT_STREQ(buffer, "192.0.2.10");
  EXPECT_EQ(vskTcpIsMyHost("srv1.example", buffer), 1);
  EXPECT_EQ(vskTcpIsMyHost("10.0.0.1", buffer), 1);
  EXPECT_STREQ(vskTcpGetMyIPAddr(), "192.0.2.10");

  FakeResolver().myName = "";
  EXPECT_EQ(vskTcpIsMyHost("testpc", buffer), -1);
  EXPECT_TRUE(Sent("gethostname : My Host Name Get Failed"));
}

TEST_F(Hosts, HostCompareRules) {
  struct Case {
    const char *a, *b;
    int same;
  };
  const Case cases[] = {
      {"srv1.example", "10.0.0.1", 1}, {"SRV1.EXAMPLE", "srv1.example", 1}, {"srv1.example", "srv2.example", 0},
      {"unknown-a", "UNKNOWN-A", 1},   {"unknown-a", "unknown-b", 0},       {"srv1.example", "unknown", 0},
  };
  for (const Case& c : cases) {
    int same = -1;
    EXPECT_EQ(vskTcpHostCompare(c.a, c.b, &same), 1) << c.a << " " << c.b;
    EXPECT_EQ(same, c.same) << c.a << " " << c.b;
  }
  int same = 7;
  EXPECT_EQ(vskTcpHostCompare("", "srv1.example", &same), 0);
  EXPECT_EQ(same, 0);

  char name[16], address[8];
  ASSERT_EQ(vskTcpGetHostIp("10.0.0.2", name, sizeof name, address, sizeof address), 1);
  EXPECT_STREQ(name, "srv2.example");
  EXPECT_STREQ(address, "10.0.0.");  // cut to the buffer
}

TEST_F(Hosts, AdapterAddressReplacesThisMachinesAddress) {
  Set("NetworkAdapterOption", "YES");
  Set("IPAddressNetworkAdapter", "YES");
  Set("NetworkAdapterNumber", "2");
  Set("NetworkAdapter1", "OFF;10.1.1.1");
  Set("NetworkAdapter2", "ON;10.9.9.9");
  char address[16];
  int index = 0;
  ASSERT_EQ(vskTcpGetNetworkAdapterMyIPAddress(address, &index), 0);
  EXPECT_STREQ(address, "10.9.9.9");
  EXPECT_EQ(index, 2);

  char name[kTcpHostNameSize];
  ASSERT_EQ(vskTcpGetHostIp("localhost", name, sizeof name, address, sizeof address), 1);
  EXPECT_STREQ(address, "10.9.9.9");
  ASSERT_EQ(vskTcpGetHostIp("TestPC", name, sizeof name, address, sizeof address), 1);
  EXPECT_STREQ(address, "10.9.9.9");
  ASSERT_EQ(vskTcpGetHostIp("srv1.example", name, sizeof name, address, sizeof address), 1);
  EXPECT_STREQ(address, "10.0.0.1");
  char buffer[kTcpHostNameSize];
  EXPECT_EQ(vskTcpIsMyHost("localhost", buffer), 0);  // compared through the adapter address

  Set("NetworkAdapter2", "ON;10.9.9.999");
  EXPECT_EQ(vskTcpGetNetworkAdapterMyIPAddress(address, &index), kTcpBadAdapter);
  Set("NetworkAdapter2", "OFF;10.9.9.9");
  EXPECT_EQ(vskTcpGetNetworkAdapterMyIPAddress(address, &index), kTcpNoAdapter);
  Set("RasConnectOption", "YES");
  EXPECT_EQ(vskTcpGetNetworkAdapterMyIPAddress(address, &index), -2005);
}

TEST_F(Hosts, VirtualHostNameForSystemEntryKindOne) {
  Set("VskVirtualHostName", "virt-host1");
  char name[kTcpHostNameSize], address[16];
  ASSERT_EQ(vskTcpMy_gethostbyname(0, "t", 1, kTcpWantName | kTcpWantAddress, name, address), 0);
  EXPECT_STREQ(name, "testpc");  // kind 255
  Sysent('\x01');
  ASSERT_EQ(vskTcpMy_gethostbyname(0, "t", 1, kTcpWantName | kTcpWantAddress, name, address), 0);
  EXPECT_STREQ(name, "virt-host1");
  EXPECT_STREQ(address, "192.0.2.10");
  Set("VskVirtualHostName", "1bad");
  ASSERT_EQ(vskTcpMy_gethostbyname(0, "t", 1, kTcpWantName | kTcpWantAddress, name, address), 0);
  EXPECT_STREQ(name, "testpc");
  EXPECT_TRUE(Logged("vskTcpVirtualHostNameSet:VskVirtualHostName Use Invalid Character[1bad"));
}

TEST_F(Hosts, NetworkErrorsGoToTheLogOnlyOnALoopbackOnlyMachine) {
  vskTcpErrorMainLog("connect", 10061, kTcpSourceFile, 10);
  ASSERT_EQ(bk::test::LookupEvents().size(), 1u);
  EXPECT_EQ(bk::test::LookupEvents()[0].code, kVskMsgNetworkError);

  bk::test::LookupEvents().clear();
  FakeResolver().hosts[0].address = "127.0.0.1";
  vskTcpErrorMainLog("connect", 10061, kTcpSourceFile, 10);
  EXPECT_TRUE(bk::test::LookupEvents().empty());
  EXPECT_TRUE(Logged("connect"));
}

}  // namespace
