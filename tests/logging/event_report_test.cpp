// Coded messages on Windows 6 and later (Wine's default): the event log seen
// through recorded calls, the registration key for real, MAIN.LOG as
// self-managed records, and the site-server form of the managed mode.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "logging/event_fixture.h"
#include "logging/event_observer.h"
#include "logging/log.h"
#include "logging/log_writer.h"
#include "logging/user_log.h"
#include "platform/process_info.h"
#include "support/log_files.h"

namespace {

using bk::test::CodedMessages;
using bk::test::g_eventLog;
using bk::test::ReadFile;
using bk::test::RecordText;

constexpr std::size_t kRecord = 192;
// Long record header with the 13-column severity label in the category field.
constexpr std::size_t kSeverityHeader = 68;

struct MainRecord {
  std::string severity;  // the category column
  std::string text;
};

class EventReport : public CodedMessages {
 protected:
  std::vector<MainRecord> MainLog() {
    std::vector<MainRecord> out;
    const std::string data = ReadFile(install.Log("MAIN.LOG"));
    if (data.size() < 17) return out;
    const unsigned count = static_cast<unsigned>(std::stoul(data.substr(11, 4)));
    for (unsigned i = 0; i < count && 17 + (i + 1) * kRecord <= data.size(); ++i) {
      const std::string record = data.substr(17 + i * kRecord, kRecord);
      out.push_back({record.substr(54, 14), RecordText(record, kSeverityHeader)});
    }
    return out;
  }
};

TEST_F(EventReport, ErrorReachesTheEventLogAndMainLog) {
  vskLogEvent(0xC0001B65, "BKRV", "xyz", 0, "..\\..\\client\\bkrv\\rstore", 72);

  ASSERT_EQ(g_eventLog.reported.size(), 1u);
  const auto& event = g_eventLog.reported[0];
  EXPECT_EQ(event.source, "QVClient");
  EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(event.category, 0);
  EXPECT_EQ(event.id, 0xC0001B65u);
  EXPECT_EQ(event.strings, (std::vector<std::string>{"xyz [rstore:72]", "0"}));
  // The registration is given back after each message.
  EXPECT_EQ(g_eventLog.deregistered, 1);

  const auto key = bk::test::ReadSourceKey("QVClient");
  ASSERT_TRUE(key.exists);
  EXPECT_EQ(key.keyClass, "ORLA/VS/K");
  EXPECT_EQ(key.fileType, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(key.messageFile, messageLibrary);
  EXPECT_EQ(key.typesSupported, 7u);

  const auto lines = MainLog();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, "Error         ");
  EXPECT_EQ(lines[0].text, "Install  BKRV     Install error: xyz [rstore:72]");
}

TEST_F(EventReport, FixedInsertionsAndCodesWithoutText) {
  vskLogEvent(0xC0000000, "BKRV", "t", -5, nullptr, 0);
  vskLogEvent(0xC0001B6A, "multisrv", nullptr, 0, "client\\multisrv\\multiman", 9);
  vskLogEvent(0xC00003EB, "tcp", "connect", 10061, "share\\tcp\\tcpsock", 300);
  vskLogEvent(0xC0004E20, "tcp", "gethostname : My Host Name Get Failed", 0, "share\\tcp\\tcpsock", 120);
  ASSERT_EQ(g_eventLog.reported.size(), 4u);
  EXPECT_EQ(g_eventLog.reported[0].strings, (std::vector<std::string>{"t", "-5"}));
  EXPECT_EQ(g_eventLog.reported[1].strings, (std::vector<std::string>{"", "0"}));
  EXPECT_EQ(g_eventLog.reported[2].strings, (std::vector<std::string>{"connect [tcpsock:300]", "10061"}));
  EXPECT_EQ(g_eventLog.reported[3].strings,
            (std::vector<std::string>{"gethostname : My Host Name Get Failed [tcpsock:120]", "0"}));
  for (const auto& event : g_eventLog.reported) EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
  const auto lines = MainLog();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].text, "System   BKRV     An error occurred: t (-5)");
  EXPECT_EQ(lines[1].text, "Install  multisrv The server host information could not be processed.");
  EXPECT_EQ(lines[2].text, "TCP/IP   tcp      Network communication failed: connect [tcpsock:300] (error 10061)");
  EXPECT_EQ(lines[3].text, "Share    tcp      Shared service error: gethostname : My Host Name Get Failed [tcpsock:120]");
}

TEST_F(EventReport, LongMessagesTakeSeveralRecords) {
  // "Install error: " (15 bytes) + 190 bytes: 104 + 101 bytes.
  vskLogEvent(0xC0001B65, "BKRV", std::string(190, 'm').c_str(), 0, nullptr, 0);
  const auto lines = MainLog();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "Install  BKRV     Install error: " + std::string(89, 'm'));
  EXPECT_EQ(lines[1].text, "Install  BKRV     " + std::string(101, 'm'));
}

TEST_F(EventReport, SeverityFilterFollowsEventLogLevel) {
  const std::uint32_t codes[] = {0x00001B69, 0x40001B67, 0x80001B68, 0xC0001B65};
  struct Case {
    const char* level;  // null: no value
    std::vector<WORD> types;
  } const cases[] = {
      {nullptr, {EVENTLOG_ERROR_TYPE}},
      {"ERR", {EVENTLOG_ERROR_TYPE}},
      {"WAR", {EVENTLOG_WARNING_TYPE, EVENTLOG_ERROR_TYPE}},
      {"INF", {EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_ERROR_TYPE}},
  };
  for (const Case& c : cases) {
    if (c.level != nullptr)
      registry.Set("EventLogLevel", c.level);
    else
      registry.Remove("EventLogLevel");
    Reload();
    g_eventLog = bk::test::EventLogRecorder{};
    bk::test::RemoveTree(install.Log("MAIN.LOG"));
    for (std::uint32_t code : codes) vskLogEvent(code, "BKRV", "s", 0, nullptr, 0);

    std::vector<WORD> types;
    for (const auto& event : g_eventLog.reported) types.push_back(event.type);
    EXPECT_EQ(types, c.types) << (c.level ? c.level : "(none)");
    // MAIN.LOG records every coded message, whatever the filter.
    const auto lines = MainLog();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].severity, "Success       ");
    EXPECT_EQ(lines[0].text, "Install  BKRV     Install step completed: s");
    EXPECT_EQ(lines[1].severity, "Informational ");
    EXPECT_EQ(lines[2].severity, "Warning       ");
    EXPECT_EQ(lines[2].text, "Install  BKRV     Install warning: s");
    EXPECT_EQ(lines[3].severity, "Error         ");
  }
}

TEST_F(EventReport, RegistrationKeyIsRepairedOnlyWhenItNamesAnotherFile) {
  struct Case {
    std::string existing;
    bool rewritten;
  } const cases[] = {
      {"C:\\other\\vscltmsg.dll", true},
      {messageLibrary, false},
      {messageLibrary.substr(0, messageLibrary.size() - 12) + "VSCLTMSG.DLL", true},  // letter case counts
  };
  for (const Case& c : cases) {
    bk::test::DeleteEventSources();
    bk::test::WriteSourceKey("QVClient", c.existing, 99);
    vskLogEvent(0xC0001B65, "BKRV", "k", 0, nullptr, 0);
    const auto key = bk::test::ReadSourceKey("QVClient");
    EXPECT_EQ(key.messageFile, messageLibrary) << c.existing;
    EXPECT_EQ(key.typesSupported, c.rewritten ? 7u : 99u) << c.existing;
  }
  EXPECT_EQ(g_eventLog.reported.size(), 3u);
}

TEST_F(EventReport, MissingLibraryStillWritesMainLog) {
  bk::test::RemoveTree(install / "BIN");
  vskLogEvent(0xC0001B65, "BKRV", "gone", 0, nullptr, 0);
  EXPECT_TRUE(g_eventLog.registered.empty());
  EXPECT_TRUE(g_eventLog.reported.empty());
  EXPECT_FALSE(bk::test::ReadSourceKey("QVClient").exists);
  const auto lines = MainLog();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "Install  BKRV");
}

TEST_F(EventReport, LinesOfOneMessageStayTogetherAcrossThreads) {
  constexpr int kThreads = 3, kEach = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        // Two records each: the number leads the text and closes it.
        const std::string tag = std::to_string(t * 100 + i);
        vskLogEvent(0xC0001B65, "BKRV", (tag + std::string(150, '-') + tag).c_str(), 0, nullptr, 0);
      }
    });
  for (auto& thread : threads) thread.join();
  const auto lines = MainLog();
  ASSERT_EQ(lines.size(), 2u * kThreads * kEach);
  for (std::size_t i = 0; i < lines.size(); i += 2) {
    const std::string head = lines[i].text.substr(33);  // after the labels and "Install error: "
    const std::string tag = head.substr(0, head.find('-'));
    const std::string& tail = lines[i + 1].text;
    EXPECT_EQ(tail.substr(tail.size() - tag.size()), tag) << i;
  }
  EXPECT_EQ(g_eventLog.reported.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST_F(EventReport, LoggingOffStillReportsTheEvent) {
  registry.Set("LogOption", "NO");
  Reload();
  vskLogEvent(0xC0001B65, "BKRV", "quiet", 0, nullptr, 0);
  EXPECT_EQ(g_eventLog.reported.size(), 1u);
  EXPECT_FALSE(bk::test::Exists(install.Log("MAIN.LOG")));
}

TEST_F(EventReport, ObserverSeesTheCallersArguments) {
  static std::vector<std::string> seen;
  seen.clear();
  vskLogSetEventObserver([](std::uint32_t code, const char* category, const char* text, std::int32_t number,
                            const char* source, std::int32_t line) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, "%08X %s %s %d %s %d", static_cast<unsigned>(code), category, text,
                  static_cast<int>(number), source, static_cast<int>(line));
    seen.push_back(buffer);
  });
  vskLogEvent(0xC0001B65, "ar", "seen", 3, "client\\ar\\armain", 17);
  vskLogSetEventObserver(nullptr);
  EXPECT_EQ(seen, std::vector<std::string>{"C0001B65 ar seen 3 client\\ar\\armain 17"});
  EXPECT_EQ(g_eventLog.reported.size(), 1u);
}

TEST_F(EventReport, ThreadLocaleIsPutBack) {
  const LCID before = ::GetThreadLocale();
  for (LCID locale : {LCID{1036}, LCID{1041}}) {
    ASSERT_TRUE(::SetThreadLocale(locale));
    vskLogEvent(0xC0001B65, "BKRV", "l", 0, nullptr, 0);
    EXPECT_EQ(::GetThreadLocale(), locale);
  }
  ::SetThreadLocale(before);
}

TEST_F(EventReport, SiteServerUsesItsSourceAndTheManagedLines) {
  bk::test::LogManagerState ring;
  registry.Set("SiteServerOption", "YES");
  Reload();
  ASSERT_EQ(vskLogCurrentMode(), VskLogMode::kManagedSiteServer);
  // "Install error: " + 90 bytes = 105 bytes: 104 fit the first line with "BKRV".
  vskLogEvent(0xC0001B65, "BKRV", std::string(90, 's').c_str(), 0, nullptr, 0);

  ASSERT_EQ(g_eventLog.registered, std::vector<std::string>{"QVSubManager"});
  EXPECT_EQ(bk::test::ReadSourceKey("QVSubManager").messageFile, messageLibrary);
  EXPECT_FALSE(bk::test::ReadSourceKey("QVClient").exists);

  char name[32];
  std::snprintf(name, sizeof name, "MAIN_%04u.LOG", bk::win::CurrentSessionId() % 1000u);
  const std::string data = ReadFile(install.Log(name));
  ASSERT_EQ(data.size(), 2 * kRecord);
  const std::string first = data.substr(0, kRecord), second = data.substr(kRecord);
  EXPECT_EQ(first.substr(0, 5), "0001 ");
  EXPECT_EQ(first.substr(54, 14), "Error         ");
  EXPECT_EQ(RecordText(first, kSeverityHeader), "Install \t(BKRV) Install error: " + std::string(89, 's'));
  EXPECT_EQ(second.substr(0, 65), "0002" + std::string(61, ' '));
  EXPECT_EQ(RecordText(second, 65), "      \t     \ts");
  EXPECT_EQ(second.substr(kRecord - 2), "\r\n");
}

// --- The user log ---------------------------------------------------------------

class UserLog : public CodedMessages {
 protected:
  std::vector<std::string> Records() {
    return bk::test::SelfManagedMessages(install.Log("USER_CLT.LOG"), kRecord);
  }
  void Send(const std::string& operation) {
    const std::uintptr_t values[] = {reinterpret_cast<std::uintptr_t>(operation.c_str()), 0};
    vskLogUserMessage(320, values, "cltmlib");
  }
};

TEST_F(UserLog, ShortMessageIsOneRecord) {
  Send("vskSample()");
  EXPECT_EQ(Records(), std::vector<std::string>{"An unexpected error stopped vskSample(). The details are in DUMP.LOG."});
  const std::string record = ReadFile(install.Log("USER_CLT.LOG")).substr(17);
  EXPECT_EQ(record.substr(54, 9), "cltmlib  ");
}

TEST_F(UserLog, LongMessageContinuesIndentedBy28Blanks) {
  // 28 + 200 + 30 bytes: 127 in the first record, then 99 and 32 after the indent.
  const std::string operation(200, 'o');
  Send(operation);
  const std::string text = "An unexpected error stopped " + operation + ". The details are in DUMP.LOG.";
  EXPECT_EQ(Records(), (std::vector<std::string>{text.substr(0, 127), std::string(28, ' ') + text.substr(127, 99),
                                                  std::string(28, ' ') + text.substr(226)}));
}

TEST_F(UserLog, NothingWithoutTheLibraryOrTheMessage) {
  vskLogUserMessage(999, nullptr, "cltmlib");
  EXPECT_FALSE(bk::test::Exists(install.Log("USER_CLT.LOG")));
  bk::test::RemoveTree(install / "BIN");
  Send("x");
  EXPECT_FALSE(bk::test::Exists(install.Log("USER_CLT.LOG")));
}

}  // namespace
