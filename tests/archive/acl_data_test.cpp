// Security data of archive entries: capture for real (Wine synthesizes a
// descriptor from the mode bits), application through a recorded call (Wine
// keeps no applied descriptor), the fixed files of mode 1.
#include "archive/acl_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/byte_order.h"
#include "environment/env.h"
#include "support/log_files.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;

struct AppliedSecurity {
  std::string path;
  SECURITY_INFORMATION information;
  std::vector<unsigned char> descriptor;
};
std::vector<AppliedSecurity> g_applied;
DWORD g_applyError = 0;  // 0: the call succeeds

BOOL WINAPI RecordSetFileSecurity(LPCSTR path, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
  const DWORD length = ::GetSecurityDescriptorLength(descriptor);
  const auto* bytes = static_cast<const unsigned char*>(descriptor);
  g_applied.push_back({path, information, std::vector<unsigned char>(bytes, bytes + length)});
  if (g_applyError != 0) {
    ::SetLastError(g_applyError);
    return FALSE;
  }
  return TRUE;
}

struct Payload {
  unsigned char* data = nullptr;
  std::uint32_t length = 0;
  Payload() = default;
  Payload(const Payload&) = delete;
  Payload& operator=(const Payload&) = delete;
  ~Payload() { vskarReleaseACLData(data); }
  std::vector<unsigned char> bytes() const { return std::vector<unsigned char>(data, data + length); }
};

class AclData : public ::testing::Test {
 protected:
  void SetUp() override {
    g_applied.clear();
    g_applyError = 0;
    vskarSetFileSecurityCall(RecordSetFileSecurity);
    vskEnvLoad();
    file = install / "data.txt";
    bk::test::WriteFile(file, "content");
  }
  void TearDown() override {
    vskarSetFileSecurityCall(nullptr);
    vskEnvRelease();
  }
  std::vector<std::string> ClientLog() { return bk::test::SelfManagedMessages(install.Log("CLIENT.LOG"), 192); }

  ClientRegistry registry;
  ClientInstall install{registry};
  std::string file;
};

TEST_F(AclData, CapturesOwnerGroupAndDaclOfAFileOrDirectory) {
  for (const std::string& path : {file, install / "LOG"}) {
    Payload payload;
    EXPECT_EQ(vskarGetACLData(path.c_str(), &payload.data, &payload.length), 1);
    ASSERT_GT(payload.length, 20u) << path;
    ASSERT_NE(payload.data, nullptr);
    EXPECT_TRUE(::IsValidSecurityDescriptor(payload.data));
    EXPECT_EQ(::GetSecurityDescriptorLength(payload.data), payload.length);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(payload.data, &owner, &defaulted));
    EXPECT_NE(owner, nullptr);
  }
  EXPECT_TRUE(ClientLog().empty());
}

TEST_F(AclData, UnreadableDescriptorGivesNoData) {
  const std::string missing = install / "missing.txt";
  Payload payload;
  EXPECT_EQ(vskarGetACLData(missing.c_str(), &payload.data, &payload.length), 1);
  EXPECT_EQ(payload.length, 0u);
  EXPECT_EQ(payload.data, nullptr);
  const auto log = ClientLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("Windows API error occurred. Error 2, Info: GetFileSecurity, Path=" + missing +
                             " [client\\ar\\argetacl:",
                         0),
            0u)
      << log[0];
}

TEST_F(AclData, AppliesTheStoredDescriptor) {
  Payload payload;
  vskarGetACLData(file.c_str(), &payload.data, &payload.length);
  ASSERT_GT(payload.length, 0u);
  const std::string target = install / "restored.txt";
  // The stored bytes may sit at any address inside an archive.
  std::vector<unsigned char> stored(payload.length + 1);
  std::copy(payload.data, payload.data + payload.length, stored.begin() + 1);

  EXPECT_EQ(vskarSetACLData(target.c_str(), stored.data() + 1, payload.length), 1);
  ASSERT_EQ(g_applied.size(), 1u);
  EXPECT_EQ(g_applied[0].path, target);
  EXPECT_EQ(g_applied[0].information, 7u);
  EXPECT_EQ(g_applied[0].descriptor, payload.bytes());
  EXPECT_TRUE(ClientLog().empty());

  g_applyError = ERROR_PRIVILEGE_NOT_HELD;  // may not set the owner
  EXPECT_EQ(vskarSetACLData(target.c_str(), payload.data, payload.length), 0);
  const auto log = ClientLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("Windows API error occurred. Error 1314, Info: SetFileSecurity, Path=" + target, 0), 0u)
      << log[0];
}

TEST_F(AclData, MalformedPayloadsAreNeverApplied) {
  Payload payload;
  vskarGetACLData(file.c_str(), &payload.data, &payload.length);
  ASSERT_GT(payload.length, 20u);
  const std::vector<unsigned char> good = payload.bytes();
  const std::uint32_t ownerAt = bk::LoadLe32(good.data() + 4);
  const std::uint32_t daclAt = bk::LoadLe32(good.data() + 16);
  ASSERT_NE(ownerAt, 0u);
  ASSERT_NE(daclAt, 0u);

  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
  };
  std::vector<Case> cases;
  auto changed = [&](const char* what, auto change) {
    std::vector<unsigned char> bytes = good;
    change(bytes);
    cases.push_back({what, bytes});
  };
  changed("revision 2", [](auto& b) { b[0] = 2; });
  changed("not self-relative", [](auto& b) { b[3] &= 0x7F; });
  changed("owner past the end", [&](auto& b) { bk::StoreLe32(b.data() + 4, static_cast<std::uint32_t>(b.size())); });
  changed("owner inside the header", [](auto& b) { bk::StoreLe32(b.data() + 4, 8); });
  changed("owner with too many sub-authorities", [&](auto& b) { b[ownerAt + 1] = 16; });
  changed("access list past the end", [&](auto& b) { bk::StoreLe32(b.data() + 16, 0xFFFFFFF0u); });
  changed("access list larger than the payload", [&](auto& b) { bk::StoreLe16(b.data() + daclAt + 2, 0xFFF0); });
  changed("more entries than the list holds", [&](auto& b) { bk::StoreLe16(b.data() + daclAt + 4, 200); });
  changed("entry of size 0", [&](auto& b) {
    if (bk::LoadLe16(b.data() + daclAt + 4) == 0) bk::StoreLe16(b.data() + daclAt + 4, 1);
    bk::StoreLe16(b.data() + daclAt + 8 + 2, 0);
  });
  cases.push_back({"header only", std::vector<unsigned char>(good.begin(), good.begin() + 20)});
  cases.push_back({"shorter than a header", std::vector<unsigned char>(good.begin(), good.begin() + 19)});
  cases.push_back({"one byte short", std::vector<unsigned char>(good.begin(), good.end() - 1)});

  const std::string target = install / "restored.txt";
  for (const Case& c : cases) {
    EXPECT_EQ(vskarSetACLData(target.c_str(), c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size())), 0)
        << c.what;
  }
  EXPECT_EQ(vskarSetACLData(target.c_str(), nullptr, 40), 0);
  EXPECT_TRUE(g_applied.empty());
  for (const auto& line : ClientLog())
    EXPECT_EQ(line.rfind("Windows API error occurred. Error 1338, Info: SetFileSecurity, Path=" + target, 0), 0u)
        << line;
}

TEST_F(AclData, FixedFilesAreReadForEveryEntry) {
  const std::string setFile = install / "PKG\\ACLSETFL.INF";
  const std::string dirFile = install / "PKG\\ACLDIR.INF";
  // Without the files: no data, one line per entry.
  for (int i = 0; i < 3; ++i) {
    Payload payload;
    EXPECT_EQ(vskarCaptureACLData(kVskarSecurityFromFiles, file.c_str(), false, &payload.data, &payload.length), 1);
    EXPECT_EQ(payload.length, 0u);
  }
  Payload forDirectory;
  vskarCaptureACLData(kVskarSecurityFromFiles, install.path().c_str(), true, &forDirectory.data, &forDirectory.length);
  EXPECT_EQ(ClientLog(), (std::vector<std::string>{"ACL information file does not exist:" + setFile,
                                                    "ACL information file does not exist:" + setFile,
                                                    "ACL information file does not exist:" + setFile,
                                                    "ACL information file does not exist:" + dirFile}));

  bk::test::MakeDir(install / "PKG");
  bk::test::WriteFile(setFile, std::string("file\0bytes", 10));
  bk::test::WriteFile(dirFile, "directory bytes");
  Payload a, b;
  vskarCaptureACLData(kVskarSecurityFromFiles, file.c_str(), false, &a.data, &a.length);
  vskarCaptureACLData(kVskarSecurityFromFiles, install.path().c_str(), true, &b.data, &b.length);
  EXPECT_EQ(std::string(a.data, a.data + a.length), std::string("file\0bytes", 10));
  EXPECT_EQ(std::string(b.data, b.data + b.length), "directory bytes");

  bk::test::WriteFile(setFile, "");
  Payload empty;
  vskarCaptureACLData(kVskarSecurityFromFiles, file.c_str(), false, &empty.data, &empty.length);
  EXPECT_EQ(empty.length, 0u);
  EXPECT_EQ(empty.data, nullptr);
}

TEST_F(AclData, ModesChooseTheSource) {
  Payload own, direct;
  vskarCaptureACLData(kVskarSecurityPerEntry, file.c_str(), false, &own.data, &own.length);
  vskarGetACLData(file.c_str(), &direct.data, &direct.length);
  ASSERT_GT(own.length, 0u);
  EXPECT_EQ(own.bytes(), direct.bytes());
  for (int mode : {0, 3}) {
    Payload none;
    vskarCaptureACLData(mode, file.c_str(), false, &none.data, &none.length);
    EXPECT_EQ(none.length, 0u) << mode;
  }
  EXPECT_TRUE(ClientLog().empty());
}

}  // namespace
