// The administrator's commands `files`, `hosts` and `list` on list files,
// run as a separate program on client files made by hand.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "archive/ar_writer.h"
#include "multiserver/multiserver.h"
#include "support/lookup_fixture.h"

namespace {

using bk::test::ReadFile;
using bk::test::WriteFile;

struct ToolRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out, err;
};

std::string HostRecord(const std::string& host, unsigned char kind, const std::string& dir) {
  std::string r(kHostsysRecordSize, '\0');
  r.replace(kHostsysHost, host.size(), host);
  r[kHostsysKind] = static_cast<char>(kind);
  r.replace(kHostsysDir, dir.size(), dir);
  return r;
}

class BkrtoolLookup : public bk::test::LookupTest {
 protected:
  // Runs bkrtool.exe (built beside this test) with its output in files.
  ToolRun Tool(const std::string& arguments) {
    char self[MAX_PATH];
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string exe = self;
    exe = exe.substr(0, exe.find_last_of('\\') + 1) + "bkrtool.exe";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const std::string outPath = output / "out.txt", errPath = output / "err.txt";
    HANDLE out = ::CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = ::CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + exe + "\" " + arguments;
    ToolRun run;
    if (::CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                         &process)) {
      ::WaitForSingleObject(process.hProcess, 60000);
      ::GetExitCodeProcess(process.hProcess, &run.exitCode);
      ::CloseHandle(process.hThread);
      ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(out);
    ::CloseHandle(err);
    run.out = ReadFile(outPath);
    run.err = ReadFile(errPath);
    return run;
  }
  std::string hostsys() const { return dbDir() + "\\HOSTSYS"; }
  bk::test::TempDir output;
};

TEST_F(BkrtoolLookup, HostsPrintsHostsysReadOnly) {
  const std::string data = HostRecord("10.0.0.1", 1, "HOST0000") + HostRecord("srv2.example", 2, "HOST0001");
  WriteFile(hostsys(), data);
  ToolRun run = Tool("hosts");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_NE(run.out.find("HOST0000   orlavs   10.0.0.1"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("HOST0001   orlavsw  srv2.example"), std::string::npos) << run.out;
  run = Tool("hosts --json");
  EXPECT_NE(run.out.find("{\"host\":\"srv2.example\",\"service\":\"orlavsw\",\"kind\":2,\"directory\":\"HOST0001\"}"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(ReadFile(hostsys()), data);

  WriteFile(hostsys(), data + "xx");
  run = Tool("hosts");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.err.find("2 bytes after the last whole record"), std::string::npos) << run.err;
}

TEST_F(BkrtoolLookup, FilesCallsTheLookupAndListShowsTheRecords) {
  std::string rcf(944, '\0');
  rcf.replace(171, 3, "APP");
  rcf.replace(215, 2, "V1");
  rcf.replace(223, 2, "G1");
  rcf.replace(320, 8, "RSC00001");
  WriteFile(workDir() + "\\C0000000", rcf);
  std::string ctr(276, '\0');
  ctr.replace(0, 8, "10.0.0.1");
  ctr.replace(260, 6, "orlavs");
  WriteFile(workDir() + "\\C0.ctr", ctr);
  WriteFile(hostsys(), HostRecord("10.0.0.1", 1, "HOST0000"));  // found directly, no name lookup
  bk::test::MakeDir(install / "CLIENT");
  bk::test::MakeDir(install / "CLIENT\\RESOURCE");
  bk::test::MakeDir(install / "CLIENT\\RESOURCE\\HOST0000");
  {
    bk::ar::ArMemorySink sink;
    bk::ar::ArWriter w(sink);
    ASSERT_EQ(w.Begin(bk::ar::kCompKindNone, "C", "App"), bk::ar::kArOk);
    bk::ar::ArNewEntry f;
    f.path = "readme.txt";
    f.size = 1000;
    f.mDate = 0x20100701;
    f.mTime = 0x00060916;
    f.fileKind = bk::ar::kKindRegular | bk::ar::kKindReadOnly;
    ASSERT_EQ(w.AddEntry(f), bk::ar::kArOk);
    ASSERT_EQ(w.WriteContent(std::string(1000, 'r').data(), 1000), bk::ar::kArOk);
    ASSERT_EQ(w.Finish(), bk::ar::kArOk);
    WriteFile(install / "CLIENT\\RESOURCE\\HOST0000\\RSC00001", std::string(sink.Bytes().begin(), sink.Bytes().end()));
  }
  const std::string out = output / "lists\\app.lst";
  ToolRun run = Tool("files APP V1 G1 \"" + out + "\"");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_NE(run.out.find("result 0 (list written)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("f R---         1000  2010-07-01 06:09:16  C:\\App\\readme.txt"), std::string::npos) << run.out;

  run = Tool("list --json \"" + out + "\"");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_NE(run.out.find("{\"path\":\"C:\\\\App\\\\readme.txt\",\"size\":1000,\"date\":\"2010-07-01\",\"time\":"
                         "\"06:09:16\",\"kind\":\"file\",\"flags\":\"R---\"}"),
            std::string::npos)
      << run.out;

  run = Tool("files NOPE V1 G1 \"" + out + "\"");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_NE(run.out.find("result 1 (no such resource)"), std::string::npos) << run.out;
}

}  // namespace
