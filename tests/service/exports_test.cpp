// The exported calls' frame and argument checks, linked into the test so that
// the coded messages can be observed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bkrestore/bkrestore.h"
#include "environment/env.h"
#include "logging/event_observer.h"
#include "service/service.h"
#include "support/log_files.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;

struct Event {
  uint32_t code;
  std::string category, text, source;
};
std::vector<Event> g_events;

void Observe(uint32_t code, const char* category, const char* text, int32_t, const char* source, int32_t line) {
  EXPECT_GT(line, 0);
  g_events.push_back({code, category ? category : "", text ? text : "", source ? source : ""});
}

class Exports : public ::testing::Test {
 protected:
  void SetUp() override {
    g_events.clear();
    vskLogSetEventObserver(Observe);
    registry.Set("RestoreBackupPath", install / "BACKUP");
  }
  void TearDown() override { vskLogSetEventObserver(nullptr); }

  std::vector<std::string> Lines() { return bk::test::SelfManagedMessages(install.Log("CLIENT.LOG"), 192); }
  std::string LastLine() {
    const auto lines = Lines();
    return lines.empty() ? std::string() : lines.back();
  }

  ClientRegistry registry;
  ClientInstall install{registry};
};

const std::string k44(44, 'N'), k45(45, 'N'), v8(8, '1'), v9(9, '1'), g4(4, '2'), g5(5, '2');
const std::string p260 = "C:\\" + std::string(257, 'p'), p261 = p260 + "p";

struct BadArgs {
  const char* name;
  const char* version;
  const char* generation;
  const char* path;
};

const BadArgs kBadArgs[] = {
    {k45.c_str(), "1", "1", "C:\\x"}, {"R", v9.c_str(), "1", "C:\\x"}, {"R", "1", g5.c_str(), "C:\\x"},
    {"R", "1", "1", p261.c_str()},    {"", "1", "1", "C:\\x"},         {"R", "", "1", "C:\\x"},
    {"R", "1", "", "C:\\x"},          {"R", "1", "1", ""},             {nullptr, "1", "1", "C:\\x"},
    {"R", nullptr, "1", "C:\\x"},     {"R", "1", nullptr, "C:\\x"},    {"R", "1", "1", nullptr},
};

std::string Shown(const char* s) { return s ? s : ""; }

TEST_F(Exports, BackupRejectsArgumentsOutOfRange) {
  for (const BadArgs& a : kBadArgs) {
    g_events.clear();
    EXPECT_EQ(vskAPIBackup(a.name, a.version, a.generation, a.path), 1u);
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].code, 0xC0001B65u);
    EXPECT_EQ(g_events[0].category, "BKRV");
    EXPECT_EQ(g_events[0].source, "client\\bkrv\\vskAPIBackup");
    EXPECT_EQ(g_events[0].text, "Input Error:ResourceName=" + Shown(a.name) + ", Version=" + Shown(a.version) +
                                    ", Generation=" + Shown(a.generation) + ", DirectoryName=" + Shown(a.path));
    EXPECT_EQ(LastLine(), "Input Error in vskAPIBackup");
    EXPECT_FALSE(vskEnvIsLoaded());
  }
  EXPECT_EQ(Lines().size(), std::size(kBadArgs));
}

TEST_F(Exports, FileLookupRejectsArgumentsOutOfRange) {
  for (const BadArgs& a : kBadArgs) {
    g_events.clear();
    EXPECT_EQ(vskAPIGetResourceFileName(a.name, a.version, a.generation, a.path), 2u);
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].source, "client\\bkrv\\GetRFile");
    EXPECT_EQ(g_events[0].text, "Input Error:ResourceName=" + Shown(a.name) + ", Version=" + Shown(a.version) +
                                    ", Generation=" + Shown(a.generation) + ", Path=" + Shown(a.path));
    EXPECT_EQ(LastLine(), "Input Error in vskAPIGetResourceFileName");
  }
}

TEST_F(Exports, ArgumentsAtTheLimitsAreAccepted) {
  vskAPIBackup(k44.c_str(), v8.c_str(), g4.c_str(), p260.c_str());
  vskAPIGetResourceFileName(k44.c_str(), v8.c_str(), g4.c_str(), p260.c_str());
  vskAPIRestore(k44.c_str(), v8.c_str(), g4.c_str());
  for (const Event& e : g_events) EXPECT_EQ(e.text.find("Input Error"), std::string::npos) << e.text;
  for (const std::string& line : Lines()) {
    EXPECT_EQ(line.find("Input Error"), std::string::npos) << line;
    EXPECT_EQ(line.find("ERROR_INVALID"), std::string::npos) << line;
  }
}

TEST_F(Exports, RestoreReportsTheFirstBadArgumentOnly) {
  struct Case {
    const char *name, *version, *generation, *line;
  } cases[] = {
      {k45.c_str(), v9.c_str(), g5.c_str(), "ERROR_INVALID_RESOURCENAME"},
      {nullptr, "1", "1", "ERROR_INVALID_RESOURCENAME"},
      {"R", v9.c_str(), g5.c_str(), "ERROR_INVALID_VER-REVSION"},
      {"R", "", "1", "ERROR_INVALID_VER-REVSION"},
      {"R", "1", g5.c_str(), "ERROR_INVALID_GENNO"},
      {"R", "1", nullptr, "ERROR_INVALID_GENNO"},
  };
  for (const Case& c : cases) {
    g_events.clear();
    const std::size_t before = Lines().size();
    EXPECT_EQ(vskAPIRestore(c.name, c.version, c.generation), 2u);
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].source, "client\\bkrv\\rstore");
    EXPECT_EQ(g_events[0].text, "Input Error:ResourceName=" + Shown(c.name) + ", Version=" + Shown(c.version) +
                                    ", Generation=" + Shown(c.generation));
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), c.line);
  }
}

TEST_F(Exports, RestoreWithoutBackupDeletesTheLoadMarker) {
  bk::test::MakeDir(install / "BACKUP");
  const std::string marker = install / "BACKUP\\BACKUPLD";
  bk::test::WriteFile(marker, "x");
  EXPECT_EQ(vskAPIRestore("Resource", "01", "0001"), 1u);
  EXPECT_EQ(LastLine(), "BACKUP_NO_ENTRIES");
  EXPECT_FALSE(bk::test::Exists(marker));

  bk::test::WriteFile(marker, "x");
  EXPECT_EQ(vskAPIRestore("", "01", "0001"), 2u);  // also after an input error
  EXPECT_FALSE(bk::test::Exists(marker));
  EXPECT_FALSE(vskEnvIsLoaded());
}

TEST_F(Exports, RestoreClearsItsState) {
  VskRestoreState& state = vskRestoreState();
  std::snprintf(state.directory, sizeof state.directory, "stale");
  std::memset(state.savedEntry, 'x', sizeof state.savedEntry);
  vskAPIRestore("Resource", "01", "0001");
  EXPECT_STREQ(state.directory, "");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(state.savedEntry) + kVskEntryInstallDate, 12), std::string(12, ' '));
}

}  // namespace
