// vskAPIGetResourceFileName: the resource control file, the control file,
// the current server's resource directory and the list written at the
// caller's path.
#include <gtest/gtest.h>

#include <string>

#include "archive/ar_list.h"
#include "archive/ar_writer.h"
#include "bkrestore/bkrestore.h"
#include "multiserver/multiserver.h"
#include "support/fake_resolver.h"
#include "support/lookup_fixture.h"

namespace {

using bk::test::Exists;
using bk::test::CtrRecord;
using bk::test::RcfRecord;
using bk::test::ReadFile;
using bk::test::WriteFile;

std::string Archive() {
  bk::ar::ArMemorySink sink;
  bk::ar::ArWriter w(sink);
  EXPECT_EQ(w.Begin(bk::ar::kCompKindNone, "C", "Program Files/App"), bk::ar::kArOk);
  bk::ar::ArNewEntry d;
  d.path = "bin";
  d.fileKind = 0;
  EXPECT_EQ(w.AddEntry(d), bk::ar::kArOk);
  bk::ar::ArNewEntry f;
  f.path = "bin/app.exe";
  f.size = 3;
  EXPECT_EQ(w.AddEntry(f), bk::ar::kArOk);
  EXPECT_EQ(w.WriteContent("abc", 3), bk::ar::kArOk);
  EXPECT_EQ(w.Finish(), bk::ar::kArOk);
  return std::string(sink.Bytes().begin(), sink.Bytes().end());
}

class ResourceFileName : public bk::test::LookupTest {
 protected:
  void SetUp() override {
    LookupTest::SetUp();
    vskMultisrvResetForTest();
    bk::test::MakeDir(install / "CLIENT");
    bk::test::MakeDir(install / "CLIENT\\RESOURCE");
    bk::test::MakeDir(install / "CLIENT\\RESOURCE\\HOST0000");
  }
  void TearDown() override {
    vskMultisrvResetForTest();
    LookupTest::TearDown();
  }
  std::string rcf() const { return workDir() + "\\C0000000"; }
  std::string ctr() const { return workDir() + "\\C0.ctr"; }
  std::string resource(const std::string& name) const { return install / ("CLIENT\\RESOURCE\\HOST0000\\" + name); }
  std::uint32_t Call(const std::string& out, const char* name = "APP") {
    return vskAPIGetResourceFileName(name, "V1", "G1", out.c_str());
  }
  bk::test::FakeResolverScope resolver;
};

TEST_F(ResourceFileName, NoResource) {
  const std::string out = install / "list.bin";
  EXPECT_EQ(Call(out), 1u);  // no C0000000
  EXPECT_TRUE(Logged("in vskAPIGetResourceFileName. path=" + rcf() + ", errno=2"));

  WriteFile(rcf(), RcfRecord("OTHER", "V1", "G1", "RSC1") + RcfRecord("APPX", "V1", "G1", "RSC2"));
  EXPECT_EQ(Call(out), 1u);
  EXPECT_TRUE(Sent("No Resource: Resource=APP, Version=V1, Generation=G1"));
  EXPECT_TRUE(Logged("NO_RESOURCE in vskAPIGetResourceFileName."));

  WriteFile(rcf(), RcfRecord("OTHER", "V1", "G1", "RSC1") + RcfRecord("APPX", "V1", "G1", "RSC2") + "0123456789");
  EXPECT_EQ(Call(out), 2u);  // a fragment
  EXPECT_TRUE(Logged("_read, 10 BytesRead, 944 BytesToRead, Path=" + rcf()));
  EXPECT_TRUE(Logged("Short record (10 of 944 bytes) in vskAPIGetResourceFileName. path=" + rcf() +
                     ", errno=0"));
  EXPECT_FALSE(Logged("Success in vskAPIGetResourceFileName"));
  EXPECT_FALSE(Exists(out));
}

TEST_F(ResourceFileName, KeyWithoutControlFileOrServer) {
  const std::string out = install / "list.bin";
  WriteFile(rcf(), RcfRecord("APP", "V1", "G1", "RSC1"));
  EXPECT_EQ(Call(out), 2u);
  EXPECT_TRUE(Logged("vskCfstuGetExecStatus Error in vskAPIGetResourceFileName."));

  WriteFile(ctr(), CtrRecord("nowhere.example", "orlavs"));
  EXPECT_EQ(Call(out), 2u);
  EXPECT_TRUE(Logged("vskMultisrvSetSSIListInfo Error in vskAPIGetResourceFileName."));

  WriteFile(ctr(), CtrRecord("10.0.0.1", "orlavs"));
  EXPECT_EQ(Call(out), 2u);  // no archive in the server's resource directory
  EXPECT_TRUE(Logged("Error in vskarCreatearListFile"));
  EXPECT_TRUE(Logged("GetFileAttributes:RFilePath_ERROR:ON UnarcFile " + resource("RSC1")));
}

TEST_F(ResourceFileName, ListIsWrittenBelowCreatedDirectories) {
  // An archive name filling its 8 bytes, followed by other bytes of the record.
  WriteFile(rcf(), RcfRecord("OTHER", "V1", "G1", "X") + RcfRecord("app", "v1", "g1", "ABCDEFGH"));
  WriteFile(ctr(), CtrRecord("srv1.example", "orlavs"));
  WriteFile(resource("ABCDEFGH"), Archive());
  const std::string out = install / "first\\second\\list.bin";
  ASSERT_EQ(Call(out), 0u);
  ASSERT_TRUE(Exists(install / "first\\second"));
  const std::string list = ReadFile(out);
  ASSERT_EQ(list.size(), kListRecordSize);
  EXPECT_EQ(list.substr(0, 36), std::string("C:\\Program Files\\App\\bin\\app.exe\0\0\0\0", 36));
  EXPECT_EQ(ReadFile(dbDir() + "\\HOSTSYS").substr(0, 9), std::string("10.0.0.1\0", 9));

  // A level that cannot be created: the path runs through a file.
  EXPECT_EQ(Call(out + "\\deeper\\list.bin"), 2u);
  EXPECT_TRUE(Logged("in vskAPIGetResourceFileName. path=" + out + "\\deeper\\list.bin"));
}

TEST_F(ResourceFileName, InputErrors) {
  EXPECT_EQ(vskAPIGetResourceFileName("", "V1", "G1", "C:\\x"), 2u);
  EXPECT_EQ(vskAPIGetResourceFileName("APP", "V1", "G1", std::string(261, 'p').c_str()), 2u);
  EXPECT_TRUE(Sent("Input Error:ResourceName=APP, Version=V1, Generation=G1, Path="));
}

}  // namespace
