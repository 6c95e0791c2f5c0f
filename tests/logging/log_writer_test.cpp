// The log writer on Windows 6 and later (Wine's default): self-managed files,
// and the site-server form of the managed mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "environment/env.h"
#include "logging/log.h"
#include "logging/log_writer.h"
#include "platform/process_info.h"
#include "support/log_files.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;
using bk::test::ReadFile;
using bk::test::SelfManagedMessages;

class SelfManagedLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(bk::win::WindowsMajorVersion(), 6u);
    vskEnvLoad();
  }
  void TearDown() override { vskEnvRelease(); }
  void Reload() {
    vskEnvRelease();
    vskEnvLoad();
  }
  void Write(const char* file, const std::string& message, const char* category = "BKRV") {
    const VskLogHandle h = vskLogOpen(file);
    vskLogWrite(h, message.c_str(), category);
    vskLogClose(h);
  }

  ClientRegistry registry;
  ClientInstall install{registry};
};

TEST_F(SelfManagedLog, HandlesAreTablePositions) {
  Reload();
  ASSERT_EQ(vskLogCurrentMode(), VskLogMode::kSelfManaged);
  EXPECT_EQ(vskLogOpen("client.log"), 5u);
  EXPECT_EQ(vskLogOpen("CLIENT.LOG"), 5u);
  EXPECT_EQ(vskLogOpen("MAIN.LOG"), 0u);
  EXPECT_EQ(vskLogOpen("nosuch.log"), 39u);
  EXPECT_FALSE(bk::test::Exists(install.Log("CLIENT.LOG")));  // opening creates nothing
}

TEST_F(SelfManagedLog, FirstRecordFollowsTheHeader) {
  Reload();
  Write("CLIENT.log", "first message");
  const std::string data = ReadFile(install.Log("CLIENT.LOG"));
  ASSERT_EQ(data.size(), 17u + 192u);
  EXPECT_EQ(data.substr(0, 17), "DATA COUNT 0001\r\n");
  const std::string record = data.substr(17);
  EXPECT_EQ(record.substr(0, 5), "0001 ");
  EXPECT_EQ(record.substr(45, 18), "log_writ BKRV     ");
  EXPECT_EQ(bk::test::LongRecordMessage(record), "first message");
  EXPECT_EQ(record.substr(190), "\r\n");
}

TEST_F(SelfManagedLog, RecordLengthComesFromTheSizeClass) {
  registry.Set("USERLOGSize", "100");
  registry.Set("LONGLOGSize", "80");
  Reload();
  Write("SCRIPT.LOG", "class two");
  Write("DUMP.log", "class five");
  EXPECT_EQ(ReadFile(install.Log("SCRIPT.LOG")).size(), 117u);
  EXPECT_EQ(ReadFile(install.Log("DUMP.LOG")).size(), 97u);
  EXPECT_EQ(SelfManagedMessages(install.Log("DUMP.LOG"), 80), std::vector<std::string>{"class five"});
}

TEST_F(SelfManagedLog, LongMessagesAreCutAndLongCategoriesShiftTheText) {
  Reload();
  Write("CLIENT.log", std::string(400, 'x'));
  Write("CLIENT.log", "shifted", "categorylong");
  const auto records = bk::test::SelfManagedRecords(install.Log("CLIENT.LOG"), 192);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].substr(63), std::string(127, 'x') + "\r\n");
  EXPECT_EQ(records[1].substr(54, 21), "categorylong shifted ");
  EXPECT_EQ(records[1].substr(190), "\r\n");
}

TEST_F(SelfManagedLog, FullLogRotatesIntoGenerations) {
  registry.Set("MAINLOGCount", "3");
  registry.Set("LogGenCount", "3");  // two renames a rotation: their order shows
  Reload();
  const std::string main = install.Log("MAIN.LOG");
  for (int i = 1; i <= 3; ++i) Write("MAIN.LOG", "m" + std::to_string(i));
  EXPECT_FALSE(bk::test::Exists(main + "1"));
  const std::string full = ReadFile(main);

  Write("MAIN.LOG", "m4");
  EXPECT_EQ(ReadFile(main + "1"), full);
  EXPECT_EQ(ReadFile(main).substr(0, 17), "DATA COUNT 0001\r\n");
  const auto records = bk::test::SelfManagedRecords(main, 192);
  ASSERT_EQ(records.size(), 3u);  // the file is never shortened
  EXPECT_EQ(bk::test::LongRecordMessage(records[0]), "m4");
  EXPECT_EQ(bk::test::LongRecordMessage(records[1]), "m2");

  for (int i = 5; i <= 13; ++i) Write("MAIN.LOG", "m" + std::to_string(i));
  // Rotations happened before m4, m7, m10 and m13; three generations are
  // kept, the oldest (m1 to m3) is gone.
  EXPECT_EQ(SelfManagedMessages(main, 192), (std::vector<std::string>{"m13"}));
  EXPECT_EQ(SelfManagedMessages(main + "1", 192), (std::vector<std::string>{"m10", "m11", "m12"}));
  EXPECT_EQ(SelfManagedMessages(main + "2", 192), (std::vector<std::string>{"m7", "m8", "m9"}));
  EXPECT_EQ(SelfManagedMessages(main + "3", 192), (std::vector<std::string>{"m4", "m5", "m6"}));
  EXPECT_FALSE(bk::test::Exists(main + "4"));
}

TEST_F(SelfManagedLog, CountsBeyondFourDigitsAreCapped) {
  registry.Set("FUNCLOGCount", "20000");
  Reload();
  bk::test::WriteFile(install.Log("CLIENT.LOG"), "DATA COUNT 9999\r\n");
  Write("CLIENT.log", "after the largest count");
  EXPECT_EQ(ReadFile(install.Log("CLIENT.LOG")).substr(0, 17), "DATA COUNT 0001\r\n");
  EXPECT_EQ(ReadFile(install.Log("CLIENT.LOG1")).substr(0, 17), "DATA COUNT 9999\r\n");
}

TEST_F(SelfManagedLog, ForeignHeaderCountsAsEmpty) {
  Reload();
  bk::test::WriteFile(install.Log("CLIENT.LOG"), std::string(300, 'z'));
  Write("CLIENT.log", "starts over");
  EXPECT_EQ(SelfManagedMessages(install.Log("CLIENT.LOG"), 192), std::vector<std::string>{"starts over"});
}

TEST_F(SelfManagedLog, NothingIsWrittenWhenRefused) {
  // Logging switched off: no file is created.
  registry.Set("LogOption", "NO");
  Reload();
  Write("CLIENT.log", "never written");
  vskLogApiError(1, "BKRV", "info", 5, "file", 1);
  EXPECT_FALSE(bk::test::Exists(install.Log("CLIENT.LOG")));
  registry.Remove("LogOption");

  // Record lengths a record cannot hold: the record is dropped.
  for (const char* size : {"64", "1025"}) {
    registry.Set("FUNCLOGSize", size);
    Reload();
    Write("CLIENT.log", "never written");
    EXPECT_EQ(ReadFile(install.Log("CLIENT.LOG")), "") << size;
  }
  registry.Remove("FUNCLOGSize");

  Reload();
  bk::test::RemoveTree(install / "LOG");  // the writer never creates the folder
  Write("CLIENT.log", "never written");
  EXPECT_FALSE(bk::test::Exists(install / "LOG"));
}

TEST_F(SelfManagedLog, ApiErrorTraces) {
  Reload();
  vskLogApiError(4, "BKRV", "kind four", 5, "client\\bkrv\\rstore", 10);
  vskLogApiError(2, "BKRV", nullptr, 5, "client\\bkrv\\rstore", 11);
  vskLogApiError(2, "BKRV", "_open: Path=C:\\X", 2, "client\\bkrv\\rstore", 12);
  vskLogTrace("BKRV", "File Open Error in %s. errno=%d", "vskAPIMakeBackup", 13);
  EXPECT_EQ(SelfManagedMessages(install.Log("CLIENT.LOG"), 192),
            (std::vector<std::string>{
                "C library error occurred. Error 2, Info: _open: Path=C:\\X [client\\bkrv\\rstore:12]",
                "File Open Error in vskAPIMakeBackup. errno=13"}));
}

TEST_F(SelfManagedLog, ThreadsNeverShareARecord) {
  Reload();
  constexpr int kThreads = 4, kEach = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) Write("CLIENT.log", "t" + std::to_string(t) + "-" + std::to_string(i));
    });
  for (auto& thread : threads) thread.join();
  auto messages = SelfManagedMessages(install.Log("CLIENT.LOG"), 192);
  ASSERT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kEach));
  std::sort(messages.begin(), messages.end());
  EXPECT_EQ(std::unique(messages.begin(), messages.end()), messages.end());
}

// Site server on Windows 6 or later: managed, per-session file, long records.
TEST_F(SelfManagedLog, SiteServerUsesTheLogManagerWithSessionFileNames) {
  bk::test::LogManagerState ring;
  registry.Set("SiteServerOption", "YES");
  Reload();
  ASSERT_EQ(vskLogCurrentMode(), VskLogMode::kManagedSiteServer);
  const VskLogHandle h = vskLogOpen("CLIENT.log");
  EXPECT_EQ(h, 6u);
  vskLogWrite(h, "one", "BKRV");
  vskLogWrite(h, "two", "BKRV");
  vskLogClose(h);

  char name[32];
  std::snprintf(name, sizeof name, "CLIENT_%04u.LOG", bk::win::CurrentSessionId() % 1000u);
  const std::string data = ReadFile(install.Log(name));
  ASSERT_EQ(data.size(), 2u * 192u);
  EXPECT_EQ(data.substr(0, 5), "0001 ");
  EXPECT_EQ(bk::test::LongRecordMessage(data.substr(0, 192)), "one");
  EXPECT_EQ(bk::test::LongRecordMessage(data.substr(192, 192)), "two");
}

}  // namespace
