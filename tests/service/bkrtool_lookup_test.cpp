// The administrator's commands `files`, `hosts` and `list` on list files,
// run as a separate program on client files made by hand.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "archive/ar_writer.h"
#include "multiserver/multiserver.h"
#include "support/lookup_fixture.h"
#include "support/tool_run.h"

namespace {

using bk::test::ReadFile;
using bk::test::HostRecord;
using bk::test::WriteFile;

using bk::test::ToolRun;

class BkrtoolLookup : public bk::test::LookupTest {
 protected:
  ToolRun Tool(const std::string& arguments) { return bk::test::RunBeside("bkrtool.exe", arguments); }
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
