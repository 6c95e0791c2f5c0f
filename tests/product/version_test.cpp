// One version for the whole release: the version resources of both DLLs and
// of bkrtool, read back from the built files, and `bkrtool --version` all
// carry the project's version.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "support/tool_run.h"

namespace {

std::string Beside(const char* file) {
  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path = self;
  return path.substr(0, path.find_last_of('\\') + 1) + file;
}

struct VersionResource {
  bool found = false;
  unsigned major = 0, minor = 0, patch = 0, build = 0;
  DWORD fileType = 0;
  std::string fileVersion, productVersion, originalName;
};

std::string StringValue(std::vector<char>& info, const char* name) {
  char* value = nullptr;
  UINT length = 0;
  const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (!::VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) || length == 0)
    return "";
  return value;
}

VersionResource Read(const std::string& path) {
  VersionResource r;
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return r;
  std::vector<char> info(size);
  if (!::GetFileVersionInfoA(path.c_str(), 0, size, info.data())) return r;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed)
    return r;
  r.found = fixed->dwSignature == 0xFEEF04BD;
  r.major = HIWORD(fixed->dwFileVersionMS);
  r.minor = LOWORD(fixed->dwFileVersionMS);
  r.patch = HIWORD(fixed->dwFileVersionLS);
  r.build = LOWORD(fixed->dwFileVersionLS);
  r.fileType = fixed->dwFileType;
  r.fileVersion = StringValue(info, "FileVersion");
  r.productVersion = StringValue(info, "ProductVersion");
  r.originalName = StringValue(info, "OriginalFilename");
  return r;
}

TEST(Version, EveryShippedFileCarriesTheProjectVersion) {
  struct Case {
    const char* file;
    DWORD type;
  };
  for (const Case c : {Case{"bkrestore.dll", VFT_DLL}, Case{"objcore.dll", VFT_DLL}, Case{"bkrtool.exe", VFT_APP}}) {
    const VersionResource r = Read(Beside(c.file));
    ASSERT_TRUE(r.found) << c.file;
    EXPECT_EQ(r.major, BK_VERSION_MAJOR) << c.file;
    EXPECT_EQ(r.minor, BK_VERSION_MINOR) << c.file;
    EXPECT_EQ(r.patch, BK_VERSION_PATCH) << c.file;
    EXPECT_EQ(r.build, 0u) << c.file;
    EXPECT_EQ(r.fileType, c.type) << c.file;
    EXPECT_EQ(r.fileVersion, BK_VERSION) << c.file;
    EXPECT_EQ(r.productVersion, BK_VERSION) << c.file;
    EXPECT_EQ(r.originalName, c.file);
  }
}

TEST(Version, BkrtoolPrintsIt) {
  const bk::test::ToolRun run = bk::test::RunBeside("bkrtool.exe", "--version");
  EXPECT_EQ(run.exitCode, 0u);
  std::string out = run.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  EXPECT_EQ(out, std::string("bkrtool ") + BK_VERSION);
}

}  // namespace
