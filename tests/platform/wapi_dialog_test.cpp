// The progress link with the dialog program stand-in "VSKDLG.EXE", run under
// Wine with the null graphics driver. Every dialog started here is ended by
// the test that started it.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "environment/env.h"
#include "platform/progress_block.h"
#include "platform/unique_handle.h"
#include "platform/wapi.h"
#include "support/log_files.h"
#include "support/standins.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;

constexpr DWORD kClosedByMessage = 7;  // the stand-in's exit code after the close message
constexpr DWORD kTerminated = 0;       // the exit code TerminateProcess gives

bool WaitUntil(const std::function<bool()>& done, int milliseconds = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// One running copy of the dialog program; terminated at the end if still running.
class Dialog {
 public:
  Dialog(const std::string& program, const std::string& arguments) {
    std::string commandLine = "\"" + program + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                         &startup, &info)) {
      process_.reset(info.hProcess);
      ::CloseHandle(info.hThread);
    }
  }
  ~Dialog() {
    if (Running()) ::TerminateProcess(process_.get(), 99);
  }
  bool started() const { return static_cast<bool>(process_); }
  bool Running() const { return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
  // Exit code once ended (waits up to 10 s); STILL_ACTIVE if it did not end.
  DWORD ExitCode() const {
    ::WaitForSingleObject(process_.get(), 10000);
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
  }

 private:
  bk::win::unique_handle process_;
};

HWND DialogWindow(const char* title) { return ::FindWindowA("VskDlgStandIn", title); }

// What the dialog shows: "position / range".
std::string Shown(const char* title) {
  HWND window = DialogWindow(title);
  HWND text = window ? ::FindWindowExA(window, nullptr, "STATIC", nullptr) : nullptr;
  char buffer[64] = {};
  DWORD_PTR result = 0;
  if (text) ::SendMessageTimeoutA(text, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), 0, 2000, &result);
  return buffer;
}

struct Block {
  unsigned kind, range, position;
  bool operator==(const Block&) const = default;
};

bool ReadBlock(const char* name, Block& out) {
  bk::win::unique_handle mapping(::OpenFileMappingA(FILE_MAP_READ, FALSE, (std::string("Global\\") + name).c_str()));
  if (!mapping) return false;
  bk::win::unique_mapview view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, bk::progress::kBlockSize));
  if (!view) return false;
  out = {bk::progress::LoadField(view.get(), bk::progress::kKindOffset),
         bk::progress::LoadField(view.get(), bk::progress::kRangeOffset),
         bk::progress::LoadField(view.get(), bk::progress::kPositionOffset)};
  return true;
}

class ProgressDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    program = bk::test::InstallStandIn(install, "VSKDLG.EXE");
    vskEnvLoad();
  }
  void TearDown() override { vskEnvRelease(); }
  void Reload() {
    vskEnvRelease();
    vskEnvLoad();
  }
  std::vector<std::string> ClientLog() { return bk::test::SelfManagedMessages(install.Log("CLIENT.LOG"), 192); }

  ClientRegistry registry;
  ClientInstall install{registry};
  std::string program;
};

TEST_F(ProgressDialog, RunningDialogShowsThePositionCappedAtTheRange) {
  Dialog dialog(program, "4");
  ASSERT_TRUE(dialog.started());
  Block block{};
  ASSERT_TRUE(WaitUntil([&] { return ReadBlock("MAP_INDDLG_PACKAGING", block); }));
  ASSERT_TRUE(WaitUntil([] { return DialogWindow(bk::progress::kTitleInstalling) != nullptr; }));

  vskWapiGaugeStart(4, 100);
  ASSERT_TRUE(ReadBlock("MAP_INDDLG_PACKAGING", block));
  EXPECT_EQ(block, (Block{4, 100, 0}));
  vskWapiGaugeStep(4, 50);
  ASSERT_TRUE(ReadBlock("MAP_INDDLG_PACKAGING", block));
  EXPECT_EQ(block, (Block{4, 100, 50}));
  EXPECT_TRUE(WaitUntil([] { return Shown(bk::progress::kTitleInstalling) == "50 / 100"; }));

  vskWapiGaugeStep(4, 150);
  ASSERT_TRUE(ReadBlock("MAP_INDDLG_PACKAGING", block));
  EXPECT_EQ(block, (Block{4, 100, 100}));
  EXPECT_TRUE(WaitUntil([] { return Shown(bk::progress::kTitleInstalling) == "100 / 100"; }));
  // With the dialog running nothing is closed, not even at the range.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(dialog.Running());

  ::PostMessageA(DialogWindow(bk::progress::kTitleInstalling), WM_CLOSE, 0, 0);
  EXPECT_EQ(dialog.ExitCode(), kClosedByMessage);
}

TEST_F(ProgressDialog, KindThreeShowsNoProgress) {
  Dialog dialog(program, "2");
  Block block{};
  ASSERT_TRUE(WaitUntil([&] { return ReadBlock("MAP_INDDLG_INSTALL", block); }));
  vskWapiGaugeStart(2, 10);
  vskWapiGaugeStart(3, 50);  // neither remembered nor written
  vskWapiGaugeStep(3, 60);
  vskWapiGaugeStep(2, 20);
  ASSERT_TRUE(ReadBlock("MAP_INDDLG_INSTALL", block));
  EXPECT_EQ(block, (Block{2, 10, 10}));
  EXPECT_TRUE(dialog.Running());
}

TEST_F(ProgressDialog, WithoutADialogTheEndClosesLeftoverWindows) {
  registry.Set("DebugMode", "1");
  Reload();
  // No block of kind 2 exists: the range is remembered, nothing is written.
  vskWapiGaugeStart(2, 100);
  Dialog leftover(program, "1 --no-block");
  ASSERT_TRUE(WaitUntil([] { return DialogWindow(bk::progress::kTitleDownload) != nullptr; }));

  vskWapiGaugeStep(2, 50);  // below the range: left alone
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(leftover.Running());

  vskWapiGaugeStep(2, 100);
  EXPECT_EQ(leftover.ExitCode(), kClosedByMessage);
  EXPECT_EQ(ClientLog(), std::vector<std::string>{"Dialog:END Message Send, Title=Vantrel - Download"});
}

TEST_F(ProgressDialog, RangeZeroClosesAtOnce) {
  vskWapiGaugeStart(2, 0);
  Dialog leftover(program, "2 --no-block");
  ASSERT_TRUE(WaitUntil([] { return DialogWindow(bk::progress::kTitleInstalling) != nullptr; }));
  vskWapiGaugeStep(2, 0);
  EXPECT_EQ(leftover.ExitCode(), kClosedByMessage);
  EXPECT_TRUE(ClientLog().empty());  // DebugMode is off
}

TEST_F(ProgressDialog, SoftwareSearchDialogIsClosedOnlyWhenAskedFor) {
  struct Case {
    const char* option;
    DWORD exitCode;
  } const cases[] = {{nullptr, kTerminated}, {"YES", kClosedByMessage}};
  for (const Case& c : cases) {
    if (c.option) registry.Set("GaugeDialogSoftSearch", c.option);
    Reload();
    Dialog search(program, "3");
    ASSERT_TRUE(WaitUntil([] { return DialogWindow(bk::progress::kTitleSoftwareSearch) != nullptr; }));
    vskWapiCloseDlgboxStay();
    EXPECT_EQ(search.ExitCode(), c.exitCode) << (c.option ? c.option : "(none)");
  }
}

TEST_F(ProgressDialog, NoDialogWindowTerminatesTheDialogProgram) {
  Dialog untitled(program, "1 --no-block --untitled");
  ASSERT_TRUE(WaitUntil([] { return DialogWindow("VSKDLG") != nullptr; }));
  vskWapiCloseDlgboxStay();
  EXPECT_EQ(untitled.ExitCode(), kTerminated);
  EXPECT_EQ(ClientLog(), std::vector<std::string>{"vskWapiKillProcess():TerminateProcess() Complete:VSKDLG.EXE"});
}

TEST_F(ProgressDialog, KillMatchesTheWholeExecutableNameInAnyCase) {
  bk::test::MakeDir(install / "x");
  const std::string lower = install / "x\\vskdlg.exe";
  ASSERT_TRUE(::CopyFileA(program.c_str(), lower.c_str(), FALSE));
  const std::string backup = bk::test::InstallStandIn(install, "VSKDLG.EXE", "VSKDLG.EXE.BAK");
  Dialog renamed(lower, "1 --no-block --untitled");
  Dialog kept(backup, "1 --no-block --untitled --seconds 30");
  ASSERT_TRUE(renamed.started());
  ASSERT_TRUE(kept.started());
  ASSERT_TRUE(WaitUntil([] {
    int windows = 0;
    for (HWND w = nullptr; (w = ::FindWindowExA(nullptr, w, "VskDlgStandIn", "VSKDLG")) != nullptr;) ++windows;
    return windows == 2;
  }));

  vskWapiKillProcess("VSKDLG.EXE");
  EXPECT_EQ(renamed.ExitCode(), kTerminated);
  EXPECT_TRUE(kept.Running());
}

}  // namespace
