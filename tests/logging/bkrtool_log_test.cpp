// `bkrtool log` on logs that the library itself wrote on Windows 6 and later
// (Wine's default): self-managed files with generations, the managed
// site-server form, and files damaged afterwards.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "environment/env.h"
#include "logging/log.h"
#include "platform/process_info.h"
#include "platform/unique_handle.h"
#include "support/tool_run.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;
using bk::test::ReadFile;
using bk::test::WriteFile;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class BkrtoolLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(bk::win::WindowsMajorVersion(), 6u);
    Reload();
  }
  void TearDown() override { vskEnvRelease(); }
  void Reload() {
    vskEnvRelease();
    vskEnvLoad();
  }
  void Write(const std::string& message, const char* category = "BKRV", const char* file = "CLIENT.log") {
    const VskLogHandle h = vskLogOpen(file);
    vskLogWrite(h, message.c_str(), category);
    vskLogClose(h);
  }
  bk::test::ToolRun Log(const std::string& arguments) {
    return bk::test::RunBeside("bkrtool.exe", "log " + arguments + " --dir \"" + install.path() + "\\LOG\"");
  }

  ClientRegistry registry;
  ClientInstall install{registry};
};

TEST_F(BkrtoolLog, ReadsEveryGenerationOldestFirst) {
  registry.Set("FUNCLOGCount", "3");
  registry.Set("LogGenCount", "2");
  Reload();
  for (int i = 1; i <= 8; ++i) Write("message " + std::to_string(i));
  // CLIENT.LOG2 holds 1-3, CLIENT.LOG1 4-6, CLIENT.LOG 7 and 8 with 6 left over.
  ASSERT_TRUE(bk::test::Exists(install.Log("CLIENT.LOG2")));
  ASSERT_FALSE(bk::test::Exists(install.Log("CLIENT.LOG3")));

  const bk::test::ToolRun run = Log("CLIENT.LOG");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  const std::vector<std::string> lines = bk::test::OutputLines(run.out);
  ASSERT_EQ(lines.size(), 8u) << run.out;
  char writer[64];
  std::snprintf(writer, sizeof writer, " %05lu:%05lu:%03lu bkrtool_ BKRV | ",
                ::GetCurrentProcessId() % 100000ul, ::GetCurrentThreadId() % 100000ul,
                bk::win::CurrentSessionId() % 1000ul);
  const char* files[] = {"CLIENT.LOG2", "CLIENT.LOG2", "CLIENT.LOG2", "CLIENT.LOG1", "CLIENT.LOG1",
                         "CLIENT.LOG1", "CLIENT.LOG",  "CLIENT.LOG"};
  const char* numbers[] = {"#0001", "#0002", "#0003", "#0001", "#0002", "#0003", "#0001", "#0002"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].substr(0, lines[i].find(' ')), files[i]) << lines[i];
    EXPECT_TRUE(Has(lines[i], std::string(" ") + numbers[i] + " ")) << lines[i];
    EXPECT_TRUE(Has(lines[i], writer)) << lines[i] << " / " << writer;
    EXPECT_EQ(bk::test::LogLineText(lines[i]), "message " + std::to_string(i + 1));
  }
  // The left-over record 3 of the current file is not shown again, but said.
  EXPECT_TRUE(Has(run.err, "CLIENT.LOG: not shown: 1 record(s) after record 2,")) << run.err;

  const bk::test::ToolRun tail = Log("CLIENT.LOG --tail 3");
  const std::vector<std::string> last = bk::test::OutputLines(tail.out);
  ASSERT_EQ(last.size(), 3u);
  EXPECT_EQ(bk::test::LogLineText(last[0]), "message 6");
  EXPECT_EQ(bk::test::LogLineText(last[2]), "message 8");

  const bk::test::ToolRun json = Log("CLIENT.LOG --json --tail 2");
  EXPECT_EQ(json.exitCode, 0u);
  EXPECT_TRUE(Has(json.out, "\"name\": \"CLIENT.LOG2\", \"selfManaged\": true, \"count\": 3, \"recordLength\": 192"))
      << json.out;
  EXPECT_TRUE(Has(json.out, "\"name\": \"CLIENT.LOG\", \"selfManaged\": true, \"count\": 2, \"recordLength\": 192, "
                            "\"layout\": \"long\", \"staleRecords\": 1"));
  EXPECT_FALSE(Has(json.out, "\"text\": \"message 6\""));
  EXPECT_TRUE(Has(json.out, "\"state\": \"record\", \"layout\": \"long\", \"number\": 2"));
  EXPECT_TRUE(Has(json.out, "\"category\": \"BKRV\", \"text\": \"message 8\", \"joined\": 0}"));
}

TEST_F(BkrtoolLog, JoinsIndentedPiecesAndKeepsLongLabels) {
  Reload();
  Write("Could not copy the file C:\\A\\B.TXT");
  Write(std::string(28, ' ') + "to C:\\BACKUP\\UPI_AAAA");
  Write("label wider than its column", "multisrv-x");
  Write(std::string(500, 'z'));
  const bk::test::ToolRun run = Log("client.log");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  const std::vector<std::string> lines = bk::test::OutputLines(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  EXPECT_EQ(bk::test::LogLineText(lines[0]), "Could not copy the file C:\\A\\B.TXTto C:\\BACKUP\\UPI_AAAA");
  EXPECT_TRUE(Has(lines[1], " multisrv-x | label wider than its column")) << lines[1];
  EXPECT_EQ(bk::test::LogLineText(lines[2]), std::string(192 - 65, 'z'));  // as the writer cut it
}

TEST_F(BkrtoolLog, ShowsDamagedRecordsAndSaysSo) {
  Reload();
  for (int i = 1; i <= 4; ++i) Write("message " + std::to_string(i));
  std::string data = ReadFile(install.Log("CLIENT.LOG"));
  ASSERT_EQ(data.size(), 17u + 4u * 192u);
  data[17 + 2 * 192 - 1] = ' ';            // record 2 loses its line end
  data.replace(17 + 2 * 192 + 5, 4, "20x6");  // record 3: no date
  data.resize(17 + 3 * 192 + 50);           // record 4 torn
  WriteFile(install.Log("CLIENT.LOG"), data);

  const bk::test::ToolRun run = Log("CLIENT.LOG");
  EXPECT_EQ(run.exitCode, 1u);
  const std::vector<std::string> lines = bk::test::OutputLines(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_EQ(bk::test::LogLineText(lines[0]), "message 1");
  EXPECT_TRUE(Has(lines[1], "CLIENT.LOG #0002 TORN RECORD (no line end)")) << lines[1];
  EXPECT_TRUE(Has(lines[2], "CLIENT.LOG #0003 NOT A RECORD (no date)")) << lines[2];
  EXPECT_TRUE(Has(lines[2], "message 3"));  // the raw text is shown
  EXPECT_TRUE(Has(lines[3], "CLIENT.LOG #0004 TORN RECORD (the file ends after 50 of 192 bytes)")) << lines[3];

  // A header whose count is not a number: every record, in file order.
  data.replace(11, 4, "00?2");
  WriteFile(install.Log("CLIENT.LOG"), data);
  const bk::test::ToolRun header = Log("CLIENT.LOG");
  EXPECT_EQ(header.exitCode, 1u);
  EXPECT_EQ(bk::test::OutputLines(header.out).size(), 4u);
  EXPECT_TRUE(Has(header.err, "CLIENT.LOG: damaged header")) << header.err;
}

TEST_F(BkrtoolLog, ShowsControlBytesEscapedAndANulAsDamage) {
  Reload();
  Write("first part second part");
  Write("colour me");
  std::string data = ReadFile(install.Log("CLIENT.LOG"));
  const std::size_t first = data.find("first part"), colour = data.find("colour me");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(colour, std::string::npos);
  data[first + 10] = '\0';  // no writer puts a NUL into a message
  data.replace(colour, 5, "\x1b[31m");  // a terminal's escape sequence, the record keeps its length
  WriteFile(install.Log("CLIENT.LOG"), data);

  const bk::test::ToolRun run = Log("CLIENT.LOG");
  EXPECT_EQ(run.exitCode, 1u);
  const std::vector<std::string> lines = bk::test::OutputLines(run.out);
  ASSERT_EQ(lines.size(), 2u) << run.out;
  EXPECT_TRUE(Has(lines[0], "NOT A RECORD (a NUL byte inside the message)")) << lines[0];
  EXPECT_TRUE(Has(lines[0], "first part\\x00second part")) << lines[0];
  EXPECT_TRUE(Has(lines[1], "| \\x1B[31mr me")) << lines[1];
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
}

TEST_F(BkrtoolLog, ReadsWhileTheClientHoldsTheLogOpen) {
  Reload();
  Write("first");
  // Open as the writer opens it: read and write, shared for reading and writing.
  bk::win::unique_hfile held(::CreateFileA(install.Log("CLIENT.LOG").c_str(), GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  Write("second");
  const bk::test::ToolRun run = Log("CLIENT.LOG");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  const std::vector<std::string> lines = bk::test::OutputLines(run.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(bk::test::LogLineText(lines[1]), "second");
  // The log is unchanged by reading it.
  EXPECT_EQ(ReadFile(install.Log("CLIENT.LOG")).substr(0, 17), "DATA COUNT 0002\r\n");
}

TEST_F(BkrtoolLog, ReadsTheSiteServerFormOfTheManagedMode) {
  bk::test::LogManagerState ring;
  registry.Set("SiteServerOption", "YES");
  Reload();
  Write("on the site server");
  Write("second record");
  char name[32];
  std::snprintf(name, sizeof name, "CLIENT_%04lu.LOG", bk::win::CurrentSessionId() % 1000ul);
  const bk::test::ToolRun run = Log(name);
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  const std::vector<std::string> lines = bk::test::OutputLines(run.out);
  ASSERT_EQ(lines.size(), 2u) << run.out;
  EXPECT_EQ(bk::test::LogLineText(lines[0]), "on the site server");
  EXPECT_TRUE(Has(lines[1], " bkrtool_ BKRV | second record")) << lines[1];
}

TEST_F(BkrtoolLog, RefusesWhatItCannotRead) {
  const bk::test::ToolRun missing = Log("NOSUCH.LOG");
  EXPECT_EQ(missing.exitCode, 2u);
  EXPECT_TRUE(Has(missing.err, "no log")) << missing.err;
  EXPECT_EQ(Log("CLIENT.LOG --tail 0").exitCode, 2u);
  EXPECT_EQ(bk::test::RunBeside("bkrtool.exe", "log").exitCode, 2u);
}

}  // namespace
