// The control file C0.ctr and the command-file gate.
#include "environment/command_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/unique_handle.h"
#include "support/lookup_fixture.h"

namespace {

using bk::test::LookupTest;

std::string Ctr(const std::string& host, const std::string& second, std::uint32_t b, std::uint32_t a) {
  std::string r(kCtrFileSize, '\0');
  r.replace(kCtrHost, host.size(), host);
  r.replace(kCtrSecond, second.size(), second);
  for (int i = 0; i < 4; ++i) {
    r[kCtrNumberB + i] = static_cast<char>(b >> (8 * i));
    r[kCtrNumberA + i] = static_cast<char>(a >> (8 * i));
  }
  return r;
}

class ControlFile : public LookupTest {
 protected:
  std::string ctr() const { return workDir() + "\\C0.ctr"; }
  int Read() {
    std::memset(host, 'x', sizeof host);
    std::memset(second, 'x', sizeof second);
    a = b = 77;
    return vskCfstuGetExecStatus(&a, &b, host, second);
  }
  std::int32_t a = 0, b = 0;
  char host[kCtrHostOutSize];
  char second[kCtrSecondOutSize];
};

TEST_F(ControlFile, MissingFileGivesZeroAndEmptyOutputs) {
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  EXPECT_STREQ(host, "");
  EXPECT_STREQ(second, "");
}

TEST_F(ControlFile, FieldsAreTakenFromTheirOffsets) {
  bk::test::WriteFile(ctr(), Ctr("srv01.example", "orlavs", 0x01020304, 7));
  EXPECT_EQ(Read(), 1);
  EXPECT_STREQ(host, "srv01.example");
  EXPECT_STREQ(second, "orlavs");
  EXPECT_EQ(b, 0x01020304);
  EXPECT_EQ(a, 7);
  // Absent outputs are fine.
  EXPECT_EQ(vskCfstuGetExecStatus(nullptr, nullptr, nullptr, nullptr), 1);
}

TEST_F(ControlFile, FieldsWithoutTerminatorStayInsideTheirField) {
  bk::test::WriteFile(ctr(), Ctr(std::string(260, 'H'), "ABCDEFGH", 1, 2));
  EXPECT_EQ(Read(), 1);
  EXPECT_EQ(std::string(host), std::string(259, 'H'));
  EXPECT_STREQ(second, "ABCDEFGH");  // not followed by the number bytes
}

TEST_F(ControlFile, ShortOrLockedFileGivesOneWithEmptyOutputs) {
  bk::test::WriteFile(ctr(), Ctr("srv", "x", 1, 2).substr(0, 100));
  EXPECT_EQ(Read(), 1);
  EXPECT_STREQ(host, "");
  EXPECT_EQ(a, 0);
  EXPECT_TRUE(Logged("WriteFile_ERROR:Func=vskCfstuGetExecStatus GetLastError="));

  bk::test::WriteFile(ctr(), Ctr("srv", "x", 1, 2));
  bk::win::unique_hfile holder(::CreateFileA(ctr().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  EXPECT_EQ(Read(), 1);
  EXPECT_STREQ(host, "");
  EXPECT_TRUE(Logged("CreateFile_ERROR:Func=vskCfstuGetExecStatus GetLastError=32, Path=" + ctr()));
}

TEST_F(ControlFile, CommandFileGateAndItsUsersFail) {
  void* data = &data;
  EXPECT_EQ(vskStsReadCommandFileData(&data), 0);
  EXPECT_EQ(data, nullptr);

  const std::string list = install / "list.bin";
  EXPECT_EQ(vskFarMakeHostResList(list.c_str()), -1);
  EXPECT_FALSE(bk::test::Exists(list));
  EXPECT_TRUE(Logged("Can't Acsses C0 File vskFarMakeHostResList"));

  char out[16] = "untouched";
  EXPECT_EQ(SupCangeDriveNO("C:\\x", out), -1);
  EXPECT_STREQ(out, "untouched");
  EXPECT_TRUE(Logged("vskStsReadCommandFileData_ERROR:ON SupCangeDriveNO"));
}

}  // namespace
