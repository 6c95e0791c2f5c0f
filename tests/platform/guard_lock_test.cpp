// A processor exception caught inside a guarded trace leaves no lock of the
// log writer held: afterwards another thread and another process (a copy of
// this program started with "--write-line TEXT") still write to CLIENT.LOG.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "environment/env.h"
#include "logging/log.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"
#include "support/log_files.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;
using bk::test::SelfManagedMessages;

// A category label that points nowhere: reading it faults.
const char* const kBadLabel = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(16));

DWORD WINAPI WriteFromThread(void*) {
  vskLogTrace(kVskWapiCategory, "from another thread");
  return 0;
}

class GuardedLog : public ::testing::Test {
 protected:
  void SetUp() override { vskEnvLoad(); }
  void TearDown() override {
    vskWapiSetTraceCategory(kVskWapiCategory);
    vskEnvRelease();
  }
  std::vector<std::string> ClientLog() { return SelfManagedMessages(install.Log("CLIENT.LOG"), 192); }

  ClientRegistry registry;
  ClientInstall install{registry};
};

TEST_F(GuardedLog, FaultInAGuardedTraceLeavesTheLogToOtherWriters) {
  vskWapiSetTraceCategory(kBadLabel);
  vskWapiOpenWriteCloseClientLogCore("%s", "never written");
  vskWapiSetTraceCategory(kVskWapiCategory);

  bk::win::unique_handle thread(::CreateThread(nullptr, 0, WriteFromThread, nullptr, 0, nullptr));
  ASSERT_TRUE(thread);
  EXPECT_EQ(::WaitForSingleObject(thread.get(), 20000), WAIT_OBJECT_0) << "the other thread waits for the log";

  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string commandLine = std::string("\"") + self + "\" --write-line \"from another process\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(::CreateProcessA(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
  ::CloseHandle(process.hThread);
  bk::win::unique_handle child(process.hProcess);
  const DWORD waited = ::WaitForSingleObject(child.get(), 20000);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the other process waits for the log";
  if (waited != WAIT_OBJECT_0) ::TerminateProcess(child.get(), 1);

  const auto lines = ClientLog();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "vskWapiOpenWriteCloseClientLogCore(): Exception occured. ExceptionCode=0xC0000005");
  EXPECT_EQ(lines[1], "from another thread");
  EXPECT_EQ(lines[2], "from another process");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-line") == 0) {
    vskEnvLoad();
    vskLogTrace(kVskWapiCategory, "%s", argv[2]);
    vskEnvRelease();
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
