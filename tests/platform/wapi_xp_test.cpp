// Platform services on Windows 5.1 (this program runs with Wine's Windows XP
// setting): object names stay local outside remote-desktop mode, and traces
// are cut for the classic record.
#include "platform/wapi.h"

#include <gtest/gtest.h>

#include <string>

#include "environment/env.h"
#include "platform/process_info.h"
#include "platform/unique_handle.h"
#include "support/win_fixtures.h"
#include "support/xp_client.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;

using WapiXp = bk::test::XpClientTest;

TEST_F(WapiXp, MutexKeepsItsNameAndTheCallersAttributes) {
  EXPECT_FALSE(vskWapiUsesGlobalNames());
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  bk::win::unique_handle mutex(vskWapiCreateMutex(&inheritable, FALSE, "BkWapiXpMutex", 0));
  ASSERT_TRUE(mutex);
  bk::win::unique_handle byName(::OpenMutexA(SYNCHRONIZE, FALSE, "BkWapiXpMutex"));
  EXPECT_TRUE(byName);
  bk::win::unique_handle global(::OpenMutexA(SYNCHRONIZE, FALSE, "Global\\BkWapiXpMutex"));
  EXPECT_FALSE(global);
  DWORD flags = 0;
  ASSERT_TRUE(::GetHandleInformation(mutex.get(), &flags));
  EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);
}

TEST_F(WapiXp, RemoteDesktopModeUsesGlobalNames) {
  registry.Set("EnableRDP", "YES");
  Reload();
  ASSERT_EQ(vskEnvIsRemoteDesktopMode(), 1);
  EXPECT_TRUE(vskWapiUsesGlobalNames());
  bk::win::unique_handle mutex(vskWapiCreateMutex(nullptr, FALSE, "BkWapiRdpMutex", 0));
  ASSERT_TRUE(mutex);
  bk::win::unique_handle global(::OpenMutexA(SYNCHRONIZE, FALSE, "Global\\BkWapiRdpMutex"));
  EXPECT_TRUE(global);
}

TEST_F(WapiXp, ClientLogCorePiecesFitTheClassicRecord) {
  vskWapiSetTraceCategory(kVskWapiCategory);
  vskWapiOpenWriteCloseClientLogCore("%s", std::string(300, 'q').c_str());
  const std::string data = bk::test::ReadFile(install.Log("CLIENT.LOG"));
  ASSERT_EQ(data.size(), 3u * 192u);
  auto text = [&](int i) {
    std::string t = data.substr(i * 192u + 52u, 138);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
  };
  EXPECT_EQ(data.substr(42, 10), " wapi     ");
  EXPECT_EQ(text(0), std::string(138, 'q'));
  EXPECT_EQ(text(1), std::string(138, 'q'));
  EXPECT_EQ(text(2), std::string(24, 'q'));
}

}  // namespace
