// Coded messages on Windows 5.1 (this program runs with Wine's Windows XP
// setting): MAIN.LOG lines in the classic form of the managed mode, and the
// user log with the classic record header.
#include <gtest/gtest.h>

#include <string>

#include "logging/event_fixture.h"
#include "logging/log.h"
#include "logging/log_writer.h"
#include "logging/user_log.h"
#include "platform/process_info.h"

namespace {

using bk::test::ReadFile;
using bk::test::RecordText;

constexpr std::size_t kRecord = 192;
constexpr std::size_t kClassicSeverityHeader = 57;  // classic header with the 13-column label
constexpr std::size_t kClassicHeader = 52;

class ClassicEventReport : public bk::test::CodedMessages {
 protected:
  void SetUp() override {
    ASSERT_EQ(bk::win::WindowsMajorVersion(), 5u) << "run with the Windows XP setting";
    CodedMessages::SetUp();
    ASSERT_EQ(vskLogCurrentMode(), VskLogMode::kManagedClassic);
  }

  bk::test::LogManagerState ring_;
};

// Text after a header of `header` bytes, filled up to the line end.
std::string Filled(std::string text, std::size_t header = 0) {
  text.resize(kRecord - 2 - header, ' ');
  return text + "\r\n";
}

TEST_F(ClassicEventReport, MessageOf114BytesFitsOneLine) {
  // "Install error: " (15 bytes) + 99 bytes = 114 = 120 - 6 ("BKRV" and its brackets).
  vskLogEvent(0xC0001B65, "BKRV", std::string(99, 'a').c_str(), 0, nullptr, 0);
  const std::string data = ReadFile(install.Log("MAIN.LOG"));
  ASSERT_EQ(data.size(), kRecord);
  EXPECT_EQ(data.substr(0, 6), "0001  ");
  EXPECT_EQ(data.substr(42, 15), " Error         ");
  EXPECT_EQ(data.substr(kClassicSeverityHeader),
            Filled("Install \t(BKRV) Install error: " + std::string(99, 'a'), kClassicSeverityHeader));
  ASSERT_EQ(bk::test::g_eventLog.reported.size(), 1u);
}

TEST_F(ClassicEventReport, MessageOf115BytesTakesTwoLines) {
  vskLogEvent(0xC0001B65, "BKRV", std::string(100, 'b').c_str(), 0, nullptr, 0);
  const std::string data = ReadFile(install.Log("MAIN.LOG"));
  ASSERT_EQ(data.size(), 2 * kRecord);
  EXPECT_EQ(RecordText(data.substr(0, kRecord), kClassicSeverityHeader),
            "Install \t(BKRV) Install error: " + std::string(99, 'b'));
  EXPECT_EQ(data.substr(kRecord), Filled("0002" + std::string(42, ' ') + "        \t     \tb"));
}

TEST_F(ClassicEventReport, UserLogRecordsHoldTheClassicWidth) {
  // 192 - 54 = 138 bytes of text per record.
  const std::string operation(150, 'o');
  const std::uintptr_t values[] = {reinterpret_cast<std::uintptr_t>(operation.c_str()), 0};
  vskLogUserMessage(320, values, "cltmlib");
  const std::string text = "An unexpected error stopped " + operation + ". The details are in DUMP.LOG.";
  const std::string data = ReadFile(install.Log("USER_CLT.LOG"));
  ASSERT_EQ(data.size(), 2 * kRecord);
  EXPECT_EQ(RecordText(data.substr(0, kRecord), kClassicHeader), text.substr(0, 138));
  EXPECT_EQ(RecordText(data.substr(kRecord), kClassicHeader), std::string(28, ' ') + text.substr(138));
}

}  // namespace
