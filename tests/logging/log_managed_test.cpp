// The log writer on Windows 5.1 (this program runs with Wine's Windows XP
// setting): records are placed by the client's log manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "environment/env.h"
#include "logging/log.h"
#include "logging/log_writer.h"
#include "platform/process_info.h"
#include "support/win_fixtures.h"
#include "support/xp_client.h"
#include "vscltmng/vscltmng.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;
using bk::test::ReadFile;

std::string Filled(std::string text, std::size_t length) {
  text.resize(length - 2, ' ');
  return text + "\r\n";
}

// The message of a classic record whose category fits its 8 columns.
std::string ClassicMessage(const std::string& record) {
  std::string text = record.substr(52, record.size() - 54);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

using ManagedLog = bk::test::XpClientTest;

TEST_F(ManagedLog, ClassicRecordsGoWhereTheManagerSays) {
  Reload();
  ASSERT_EQ(vskLogCurrentMode(), VskLogMode::kManagedClassic);
  const VskLogHandle h = vskLogOpen("client.log");
  EXPECT_EQ(h, 6u);
  EXPECT_EQ(vskLogOpen("nosuch.log"), 40u);
  vskLogClose(40);
  vskLogWrite(h, "first", "BKRV");
  vskLogWrite(h, std::string(300, 'y').c_str(), "ar");
  vskLogClose(h);

  const std::string data = ReadFile(install.Log("CLIENT.LOG"));
  ASSERT_EQ(data.size(), 2u * 192u);
  const std::string first = data.substr(0, 192);
  EXPECT_EQ(first.substr(0, 6), "0001  ");
  EXPECT_EQ(first[16], ' ');
  EXPECT_EQ(first.substr(29, 2), " [");
  char thread[16];
  std::snprintf(thread, sizeof thread, "[%010lu]", ::GetCurrentThreadId());
  EXPECT_EQ(first.substr(30, 12), thread);
  EXPECT_EQ(first.substr(42, 10), " BKRV     ");
  EXPECT_EQ(ClassicMessage(first), "first");
  EXPECT_EQ(first.substr(190), "\r\n");
  EXPECT_EQ(data.substr(192 + 52), Filled(std::string(138, 'y'), 140));
}

TEST_F(ManagedLog, FileStaysOpenWhileHandlesAreOutstanding) {
  Reload();
  const VskLogHandle a = vskLogOpen("CLIENT.log");
  const VskLogHandle b = vskLogOpen("CLIENT.LOG");
  EXPECT_EQ(a, b);
  vskLogClose(a);
  vskLogWrite(b, "still open", "BKRV");
  vskLogClose(b);
  vskLogWrite(b, "closed: lost", "BKRV");
  const std::string data = ReadFile(install.Log("CLIENT.LOG"));
  ASSERT_EQ(data.size(), 192u);
  EXPECT_EQ(ClassicMessage(data), "still open");

  // An unbalanced close does not disturb the count: the next open and close
  // pair releases the file again.
  vskLogClose(b);
  const VskLogHandle c = vskLogOpen("CLIENT.log");
  vskLogWrite(c, "reopened", "BKRV");
  vskLogClose(c);
  EXPECT_TRUE(::DeleteFileA(install.Log("CLIENT.LOG").c_str()));
}

TEST_F(ManagedLog, RingWrapsOverTheFirstRecord) {
  ::SetEnvironmentVariableA("VSCLTMNG_RECORDS", "3");
  Reload();
  const VskLogHandle h = vskLogOpen("CLIENT.log");
  for (const char* m : {"r1", "r2", "r3", "r4"}) vskLogWrite(h, m, "BKRV");
  vskLogClose(h);
  const std::string data = ReadFile(install.Log("CLIENT.LOG"));
  ASSERT_EQ(data.size(), 3u * 192u);
  EXPECT_EQ(data.substr(0, 4), "0001");
  EXPECT_EQ(ClassicMessage(data.substr(0, 192)), "r4");
  EXPECT_EQ(ClassicMessage(data.substr(192, 192)), "r2");
}

TEST_F(ManagedLog, MainLinesOfACodedMessage) {
  Reload();
  const VskLogHandle h = vskLogOpen("MAIN.LOG");
  ASSERT_EQ(h, 1u);
  vskLogWriteMainLine(h, "Error        ", "Install \t(BKRV) first part", 1);
  vskLogWriteMainLine(h, "Error        ", "        \t     \tsecond part", 2);
  vskLogClose(h);
  const std::string data = ReadFile(install.Log("MAIN.LOG"));
  ASSERT_EQ(data.size(), 2u * 192u);
  EXPECT_EQ(data.substr(42, 42), " Error         Install \t(BKRV) first part ");
  EXPECT_EQ(data.substr(192), Filled("0002" + std::string(42, ' ') + "        \t     \tsecond part", 192));
}

TEST_F(ManagedLog, RemoteDesktopModeIsSelfManaged) {
  registry.Set("EnableRDP", "YES");
  Reload();
  EXPECT_EQ(vskEnvIsRemoteDesktopMode(), 1);
  EXPECT_EQ(vskLogCurrentMode(), VskLogMode::kSelfManaged);
  vskLogTrace("BKRV", "rdp");
  EXPECT_EQ(ReadFile(install.Log("CLIENT.LOG")).substr(0, 17), "DATA COUNT 0001\r\n");
  registry.Set("ClientStay", "NO");
  Reload();
  EXPECT_EQ(vskEnvIsRemoteDesktopMode(), 0);
}

TEST(LogManagerStandIn, HandsOutDistinctRecordsAcrossThreads) {
  bk::test::LogManagerState ring("9999");
  constexpr int kThreads = 4, kEach = 100;
  std::vector<std::vector<uint32_t>> numbers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&numbers, t] {
      for (int i = 0; i < kEach; ++i) {
        uint32_t length = 0, number = 0;
        const int32_t offset = vsLOGMngWritePosition(6, &length, &number);
        EXPECT_EQ(static_cast<uint32_t>(offset), (number - 1) * length);
        numbers[t].push_back(number);
      }
    });
  for (auto& thread : threads) thread.join();
  std::set<uint32_t> all;
  for (const auto& list : numbers) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_EQ(*all.rbegin(), static_cast<uint32_t>(kThreads * kEach));
}

}  // namespace
