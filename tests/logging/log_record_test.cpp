#include "logging/log_record.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using bk::log::Stamp;

Stamp SampleStamp() {
  Stamp s{};
  s.year = 2026;
  s.month = 3;
  s.day = 7;
  s.hour = 9;
  s.minute = 5;
  s.second = 4;
  s.millisecond = 21;
  s.threadId = 1234567;
  s.processId = 4321;
  s.sessionId = 2;
  s.program = "clienta";
  return s;
}

std::string Classic(std::size_t length, unsigned number, const char* category, const char* message) {
  std::string out(length, '?');
  bk::log::BuildClassicRecord(out.data(), length, number, SampleStamp(), category, message);
  return out;
}

std::string Long(std::size_t length, unsigned number, const char* category, const char* message) {
  std::string out(length, '?');
  bk::log::BuildLongRecord(out.data(), length, number, SampleStamp(), category, message);
  return out;
}

std::string Filled(std::string text, std::size_t length) {
  text.resize(length - 2, ' ');
  return text + "\r\n";
}

TEST(LogRecord, ClassicLayoutIsExact) {
  EXPECT_EQ(Classic(192, 7, "BKRV", "hello"),
            Filled("0007  2026/03/07 09:05:04:021 [0001234567] BKRV     hello", 192));
}

TEST(LogRecord, LongLayoutIsExact) {
  EXPECT_EQ(Long(192, 12345, "BKRV", "hello"),
            Filled("12345 2026/03/07 09:05:04:021 04321:34567:002 clienta  BKRV     hello", 192));
}

TEST(LogRecord, LongMessageIsCutAtTheRecordLength) {
  const std::string message(2000, 'x');
  for (std::size_t length : {65u, 66u, 192u, 300u, 1024u}) {
    const std::string record = Long(length, 1, "ar", message.c_str());
    ASSERT_EQ(record.size(), length);
    EXPECT_EQ(record.substr(length - 2), "\r\n");
    EXPECT_EQ(record.substr(63, length - 65), std::string(length - 65, 'x')) << length;
  }
  const std::string classic = Classic(54, 1, "ar", message.c_str());
  EXPECT_EQ(classic, Filled("0001  2026/03/07 09:05:04:021 [0001234567] ar       ", 54));
}

TEST(LogRecord, LongCategoryPushesFieldsRightButKeepsTheLength) {
  const std::string record = Long(100, 1, "multisrvlong", "message");
  EXPECT_EQ(record.size(), 100u);
  EXPECT_EQ(record.substr(45, 23), "clienta  multisrvlong m");
  EXPECT_EQ(record.substr(98), "\r\n");
}

TEST(LogRecord, MainLinesCarryTheSeverityOrBlanks) {
  std::string out(192, '?');
  bk::log::BuildMainLine(out.data(), 192, false, 3, SampleStamp(), "Error        ", "Install \t(BKRV) text", 1);
  EXPECT_EQ(out, Filled("0003  2026/03/07 09:05:04:021 [0001234567] Error         Install \t(BKRV) text", 192));
  bk::log::BuildMainLine(out.data(), 192, false, 4, SampleStamp(), "Error        ", "more", 2);
  EXPECT_EQ(out, Filled("0004" + std::string(42, ' ') + "more", 192));
  bk::log::BuildMainLine(out.data(), 192, true, 5, SampleStamp(), "Warning      ", "first", 1);
  EXPECT_EQ(out, Filled("0005 2026/03/07 09:05:04:021 04321:34567:002 clienta  Warning       first", 192));
  bk::log::BuildMainLine(out.data(), 192, true, 6, SampleStamp(), "Warning      ", "next", 2);
  EXPECT_EQ(out, Filled("0006" + std::string(61, ' ') + "next", 192));
}

TEST(LogRecord, ApiErrorMessages) {
  char out[bk::log::kMaxRecord];
  struct Case {
    int kind;
    const char* expected;
  } cases[] = {
      {1, "Windows API error occurred. Error 5, Info: _open: Path=C:\\x [client\\bkrv\\rstore:72]"},
      {2, "C library error occurred. Error 5, Info: _open: Path=C:\\x [client\\bkrv\\rstore:72]"},
      {3, "WinSock API error occured. Error 5, Info: _open: Path=C:\\x [client\\bkrv\\rstore:72]"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(bk::log::FormatApiError(out, c.kind, "_open: Path=C:\\x", 5, "client\\bkrv\\rstore", 72));
    EXPECT_STREQ(out, c.expected);
  }
  EXPECT_FALSE(bk::log::FormatApiError(out, 4, "info", 5, "file", 1));
}

TEST(LogRecord, ApiErrorInfoIsCutAt767Bytes) {
  char out[bk::log::kMaxRecord];
  const std::string info(2000, 'i');
  ASSERT_TRUE(bk::log::FormatApiError(out, 2, info.c_str(), 1, "f", 2));
  const std::string text = out;
  EXPECT_EQ(text, "C library error occurred. Error 1, Info: " + std::string(767, 'i') + " [f:2]");
}

}  // namespace
