// Platform services on Windows 6 and later (Wine's default): global object
// names, the redirection switch, traces and the exception report.
#include "platform/wapi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "environment/env.h"
#include "platform/fault_probe.h"
#include "platform/process_info.h"
#include "platform/unique_handle.h"
#include "support/log_files.h"
#include "support/standins.h"
#include "support/system_folders.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;
using bk::test::SelfManagedMessages;

class Wapi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(bk::win::WindowsMajorVersion(), 6u);
    vskEnvLoad();
  }
  void TearDown() override { vskEnvRelease(); }

  std::vector<std::string> ClientLog() { return SelfManagedMessages(install.Log("CLIENT.LOG"), 192); }
  std::string ClientLogText() {
    std::string all;
    for (const auto& message : ClientLog()) all += message;
    return all;
  }

  ClientRegistry registry;
  ClientInstall install{registry};
};

[[maybe_unused]] std::string ProgramPath() {
  char path[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

TEST_F(Wapi, ObjectNamesGoIntoTheGlobalNamespace) {
  EXPECT_TRUE(vskWapiUsesGlobalNames());
  char name[260];
  EXPECT_EQ(vskWapiObjectNameChange("CLIENT.LOG", name, sizeof name), 0);
  EXPECT_STREQ(name, "Global\\CLIENT.LOG");
  char small[10];
  vskWapiObjectNameChange("CLIENT.LOG", small, sizeof small);
  EXPECT_STREQ(small, "Global\\CL");
}

TEST_F(Wapi, MutexIsGlobalAndOpenToEverybody) {
  bk::win::unique_handle first(vskWapiCreateMutex(nullptr, FALSE, "BkWapiTestMutex", 0));
  ASSERT_TRUE(first);
  EXPECT_EQ(::GetLastError(), 0u);
  bk::win::unique_handle again(vskWapiCreateMutex(nullptr, FALSE, "BkWapiTestMutex", 0));
  ASSERT_TRUE(again);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  bk::win::unique_handle opened(::OpenMutexA(SYNCHRONIZE, FALSE, "Global\\BkWapiTestMutex"));
  EXPECT_TRUE(opened);

  // The mutex carries a present but null access list.
  DWORD needed = 0;
  ::GetKernelObjectSecurity(first.get(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  ASSERT_GT(needed, 0u);
  std::vector<unsigned char> descriptor(needed);
  ASSERT_TRUE(::GetKernelObjectSecurity(first.get(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed));
  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = reinterpret_cast<PACL>(1);
  ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);
}

TEST_F(Wapi, FileMappingIsOpenedByItsGlobalName) {
  bk::win::unique_handle created(
      ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, "Global\\BkWapiTestMap"));
  ASSERT_TRUE(created);
  bk::win::unique_handle opened(vskWapiOpenFileMapping(FILE_MAP_READ, FALSE, "BkWapiTestMap", 0));
  EXPECT_TRUE(opened);
  bk::win::unique_handle missing(vskWapiOpenFileMapping(FILE_MAP_READ, FALSE, "BkWapiNoSuchMap", 0));
  EXPECT_FALSE(missing);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Wapi, SecurityAdmitsEverybody) {
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes{};
  ASSERT_EQ(vskWapiSetSecurity(&descriptor, &attributes, 0), 0);
  EXPECT_EQ(attributes.nLength, sizeof attributes);
  EXPECT_EQ(attributes.lpSecurityDescriptor, &descriptor);
  EXPECT_FALSE(attributes.bInheritHandle);
  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = reinterpret_cast<PACL>(1);
  ASSERT_TRUE(::GetSecurityDescriptorDacl(&descriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);
  EXPECT_FALSE(defaulted);
}

TEST_F(Wapi, SessionIdOfTheProcess) {
  EXPECT_EQ(vskWapiGetSessionId(), bk::win::CurrentSessionId());
}

// Which of the two folders named C:\windows\system32\<name> this thread reaches.
std::string Reached(const bk::test::SystemFolderPair& folders) {
  return bk::test::ReadFile(folders.path() + "\\which.txt");
}

TEST_F(Wapi, RedirectionSwitchOfThisArch) {
  bk::test::SystemFolderPair folders("BkWapiSwitch");
  {
    bk::test::NativeSystemView native;
    bk::test::WriteFile(folders.path() + "\\which.txt", "system32");
  }
  bk::test::WriteFile(folders.wow64() + "\\which.txt", "SysWOW64");
  PVOID state = nullptr;
#if defined(_WIN64)
  // A 64-bit process has no redirection to switch: the system says so with
  // error 1, and the folder is the system folder itself all along.
  EXPECT_EQ(Reached(folders), "system32");
  EXPECT_EQ(vskWow64DisableWow64FsRedirection(&state), FALSE);
  EXPECT_EQ(::GetLastError(), 1u);
  EXPECT_EQ(Reached(folders), "system32");
  EXPECT_EQ(vskWow64RevertWow64FsRedirection(state), FALSE);
  EXPECT_EQ(::GetLastError(), 1u);
  EXPECT_EQ(ClientLogText(),
            "vskWow64DisableWow64FsRedirection: pfWow64DisableWow64FsRedirection failed.(1)[" + ProgramPath() +
                "]" + "vskWow64RevertWow64FsRedirection: pfWow64RevertWow64FsRedirection failed.(1)[" +
                ProgramPath() + "]");
#else
  // A 32-bit process on 64-bit Windows: the switch turns redirection off for
  // this thread and back on with the state it saved; success writes nothing.
  EXPECT_EQ(Reached(folders), "SysWOW64");
  ASSERT_NE(vskWow64DisableWow64FsRedirection(&state), FALSE);
  EXPECT_EQ(Reached(folders), "system32");
  EXPECT_NE(vskWow64RevertWow64FsRedirection(state), FALSE);
  EXPECT_EQ(Reached(folders), "SysWOW64");
  EXPECT_EQ(ClientLog(), std::vector<std::string>{});
#endif
}

TEST_F(Wapi, TraceLogWritesToTheGivenLog) {
  vskWapiTraceLog(0, "never %d", 1);
  EXPECT_FALSE(bk::test::Exists(install.Log("CLIENT.LOG")));
  const VskLogHandle log = vskLogOpen("CLIENT.log");
  EXPECT_EQ(vskWapiTraceLog(log, "trace %d", 2), 0);
  vskLogClose(log);
  EXPECT_EQ(ClientLog(), std::vector<std::string>{"trace 2"});
  const std::string record = bk::test::ReadFile(install.Log("CLIENT.LOG")).substr(17);
  EXPECT_EQ(record.substr(54, 9), "wapi     ");
}

TEST_F(Wapi, ClientLogCoreWritesPiecesOfOneRecord) {
  vskWapiSetTraceCategory(kVskWapiCategory);
  // 800 bytes are cut at 690: five pieces of 127 and one of 55.
  vskWapiOpenWriteCloseClientLogCore("%s", std::string(800, 'p').c_str());
  const auto messages = ClientLog();
  ASSERT_EQ(messages.size(), 6u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(messages[i], std::string(127, 'p'));
  EXPECT_EQ(messages[5], std::string(55, 'p'));
  const std::string record = bk::test::ReadFile(install.Log("CLIENT.LOG")).substr(17);
  EXPECT_EQ(record.substr(54, 9), "wapi     ");
}

TEST_F(Wapi, ClientLogCoreLoadsTheSettingsForTheCall) {
  vskEnvRelease();
  vskWapiSetTraceCategory(kVskWapiCategory);
  vskWapiOpenWriteCloseClientLogCore("loaded %s", "here");
  EXPECT_FALSE(vskEnvIsLoaded());
  EXPECT_EQ(ClientLog(), std::vector<std::string>{"loaded here"});
}

// The report of a caught exception, as DUMP.LOG holds it.
void ExpectDumpReport(const std::vector<std::string>& dump, const std::string& operation) {
  for (const auto& l : dump) printf("%s\n", l.c_str());
  ASSERT_GE(dump.size(), 21u);
  EXPECT_EQ(dump[0], operation + ": Exception occured. ExceptionCode=0xC0000005");
  const char* prefixes[] = {"Exception Address = 0x", "ContextFlags : ", "Dr0 : ", "Dr3 : ", "SegGs : ",
                            "Edi : ",                 "Edx : ",          "Ebp : ", "EFlags : "};
  for (std::size_t i = 0; i < std::size(prefixes); ++i)
    EXPECT_EQ(dump[1 + i].rfind(prefixes[i], 0), 0u) << dump[1 + i];
  // The faulting instruction is the one the context stopped at.
  const unsigned long long address = std::stoull(dump[1].substr(22), nullptr, 16);
  const std::size_t eip = dump[8].find("Eip : ");
  ASSERT_NE(eip, std::string::npos);
  EXPECT_EQ(std::stoull(dump[8].substr(eip + 6), nullptr, 16), address) << dump[8];

  std::size_t at = 10;
  while (at < dump.size() && dump[at].rfind("STACK_FUNC[", 0) == 0) ++at;
  EXPECT_LE(at - 10, 5u);
  ASSERT_EQ(dump.size(), at + 11);
  EXPECT_EQ(dump[at], "STACK DUMP");
  // Ten rows of 16 bytes from the stack pointer of the context.
  const std::size_t esp = dump[9].find("Esp : ");
  ASSERT_NE(esp, std::string::npos);
  const unsigned long long stack = std::stoull(dump[9].substr(esp + 6), nullptr, 16);
  for (int row = 0; row < 10; ++row) {
    const std::string& line = dump[at + 1 + row];
    EXPECT_EQ(std::stoull(line.substr(2), nullptr, 16), stack + 16u * row) << line;
    EXPECT_EQ(line.size(), line.find(": ") + 2 + 16 * 3 - 1) << line;
  }
}

TEST_F(Wapi, ProvokedAccessViolationIsReported) {
  bk::test::InstallStandIn(install, "VSUSRLOG.DLL");
  ASSERT_TRUE(vskWapiProvokeAccessViolation("vskSelfTest()"));
  ExpectDumpReport(SelfManagedMessages(install.Log("DUMP.LOG"), 300), "vskSelfTest()");
  EXPECT_EQ(ClientLog(), std::vector<std::string>{"vskSelfTest(): Exception occured. ExceptionCode=0xC0000005"});
  EXPECT_EQ(SelfManagedMessages(install.Log("USER_CLT.LOG"), 192),
            std::vector<std::string>{"An unexpected error stopped vskSelfTest(). The details are in DUMP.LOG."});
  // The guard is gone and can be used again.
  EXPECT_TRUE(vskWapiProvokeAccessViolation("vskSelfTest()"));
}

TEST_F(Wapi, FaultWhileTracingIsCaughtAndReported) {
  vskEnvRelease();
  vskWapiSetTraceCategory(kVskWapiCategory);
  // A text argument that points nowhere faults inside the formatting.
  vskWapiOpenWriteCloseClientLogCore("bad %s", reinterpret_cast<const char*>(static_cast<std::uintptr_t>(16)));
  EXPECT_FALSE(vskEnvIsLoaded());  // the settings loaded for the call are released
  ExpectDumpReport(SelfManagedMessages(install.Log("DUMP.LOG"), 300), "vskWapiOpenWriteCloseClientLogCore()");
  // Tracing goes on normally afterwards.
  vskWapiOpenWriteCloseClientLogCore("after %d", 1);
  EXPECT_EQ(ClientLog(), (std::vector<std::string>{
                             "vskWapiOpenWriteCloseClientLogCore(): Exception occured. ExceptionCode=0xC0000005",
                             "after 1"}));
}

}  // namespace
