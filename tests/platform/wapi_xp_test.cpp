// Platform services on Windows 5.1 (this program runs with Wine's Windows XP
// setting): object names stay local outside remote-desktop mode, and traces
// are cut for the classic record.
#include "platform/wapi.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "environment/env.h"
#include "logging/log.h"
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

DWORD WINAPI TraceWithABadLabel(void*) {
  vskWapiSetTraceCategory(reinterpret_cast<const char*>(static_cast<std::uintptr_t>(16)));
  vskWapiOpenWriteCloseClientLogCore("%s", "never written");
  vskWapiSetTraceCategory(kVskWapiCategory);
  vskLogTrace(kVskWapiCategory, "after the fault");
  return 0;
}

// Records placed by the log manager: a fault caught in a guarded trace must
// not leave the writer's lock held, or the report (which writes the logs
// itself) and every later record wait for it forever.
TEST_F(WapiXp, FaultInAGuardedTraceReturnsAndTracingGoesOn) {
  bk::win::unique_handle thread(::CreateThread(nullptr, 0, TraceWithABadLabel, nullptr, 0, nullptr));
  ASSERT_TRUE(thread);
  ASSERT_EQ(::WaitForSingleObject(thread.get(), 20000), WAIT_OBJECT_0) << "the guarded trace never returned";
  const std::string data = bk::test::ReadFile(install.Log("CLIENT.LOG"));
  EXPECT_NE(data.find("vskWapiOpenWriteCloseClientLogCore(): Exception occured. ExceptionCode=0xC0000005"),
            std::string::npos);
  EXPECT_NE(data.find("after the fault"), std::string::npos);
  EXPECT_EQ(data.find("never written"), std::string::npos);
}

// A load that stops at a value over 128 bytes keeps what it read. On Windows
// 5.x the log writer asks for remote-desktop mode before every open: that
// check must not release the caller's partial load, or the rest of the call
// runs on the defaults (install path C:\ORLAVSK).
TEST_F(WapiXp, RemoteDesktopCheckKeepsAPartialLoad) {
  registry.Set("ZZTooLong", std::string(200, 'v'));  // enumerated after PathName
  vskEnvRelease();
  ASSERT_EQ(vskEnvLoad(), 0);
  ASSERT_FALSE(vskEnvIsLoaded());
  VskPath path;
  vskEnvGetInstallPath(path);
  ASSERT_EQ(std::string(path), install.path());

  EXPECT_EQ(vskEnvIsRemoteDesktopMode(), 0);
  const VskLogHandle log = vskLogOpen("CLIENT.log");
  vskLogClose(log);
  vskEnvGetInstallPath(path);
  EXPECT_EQ(std::string(path), install.path());
  vskWapiSetTraceCategory(kVskWapiCategory);
  vskWapiOpenWriteCloseClientLogCore("%s", "after a partial load");
  vskEnvGetInstallPath(path);
  EXPECT_EQ(std::string(path), install.path());
}

}  // namespace
