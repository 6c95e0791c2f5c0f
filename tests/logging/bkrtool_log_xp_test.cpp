// `bkrtool log` on classic records that the library wrote on Windows 5.1
// (this program runs with Wine's Windows XP setting), placed by the log
// manager's ring.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "logging/log.h"
#include "logging/log_writer.h"
#include "logging/message_layout.h"
#include "support/tool_run.h"
#include "support/xp_client.h"

namespace {

class BkrtoolLogXp : public bk::test::XpClientTest {
 protected:
  bk::test::ToolRun Log(const std::string& name) {
    return bk::test::RunBeside("bkrtool.exe", "log " + name + " --dir \"" + install.path() + "\\LOG\"");
  }
};

TEST_F(BkrtoolLogXp, ClassicRingIsReadInTheOrderItWasWritten) {
  Reload();
  ::SetEnvironmentVariableA("VSCLTMNG_RECORDS", "3");
  const VskLogHandle h = vskLogOpen("CLIENT.log");
  for (int i = 1; i <= 5; ++i) {
    vskLogWrite(h, ("ring " + std::to_string(i)).c_str(), "BKRV");
    ::Sleep(20);  // distinct time stamps: they give the order of a ring
  }
  vskLogClose(h);
  ::SetEnvironmentVariableA("VSCLTMNG_RECORDS", nullptr);

  const bk::test::ToolRun run = Log("CLIENT.LOG");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  const std::vector<std::string> lines = bk::test::OutputLines(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  char thread[16];
  std::snprintf(thread, sizeof thread, "[%010lu]", ::GetCurrentThreadId());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(bk::test::LogLineText(lines[static_cast<std::size_t>(i)]), "ring " + std::to_string(i + 3));
    EXPECT_NE(lines[static_cast<std::size_t>(i)].find(std::string(thread) + " BKRV | "), std::string::npos)
        << lines[static_cast<std::size_t>(i)];
  }
}

TEST_F(BkrtoolLogXp, FurtherMainLogLinesAreJoined) {
  Reload();
  const std::string text = "The package could not be installed: " + std::string(200, 'w') + " end";
  struct Target {
    VskLogHandle handle;
  } target{vskLogOpen("MAIN.LOG")};
  bk::log::ForEachMainLogLine(
      bk::log::MainLogForm::kClassic, "Install ", "BKRV", text.c_str(), text.size(), bk::log::IsJapaneseLeadByte,
      [](void* context, const char* line, int number) {
        vskLogWriteMainLine(static_cast<Target*>(context)->handle, "Error        ", line, number);
      },
      &target);
  vskLogClose(target.handle);

  const bk::test::ToolRun run = Log("MAIN.LOG");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  const std::vector<std::string> lines = bk::test::OutputLines(run.out);
  ASSERT_EQ(lines.size(), 1u) << run.out;
  EXPECT_NE(lines[0].find("] Error | Install \t(BKRV) " + text), std::string::npos) << lines[0];
}

}  // namespace
