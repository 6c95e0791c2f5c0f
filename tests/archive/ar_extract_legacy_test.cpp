// Legacy archives (made here from their documented layout): extraction below
// the recorded base and below a caller's target, their times (29 February
// 2000 among them), attributes and result codes.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "archive/ar_extract.h"
#include "platform/unique_handle.h"
#include "extract_fixture.h"

namespace {

using namespace bk::test;

std::int64_t ModifiedOf(const std::string& path) {
  bk::win::unique_any<bk::win::traits::File> f(::CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILETIME a{}, m{};
  if (!f || !::GetFileTime(f.get(), nullptr, &a, &m)) return -1;
  const std::uint64_t ticks = (std::uint64_t{m.dwHighDateTime} << 32) | m.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

class Legacy : public ExtractTest {
 protected:
  std::string Save(const Bytes& archive) {
    const std::string path = work / "LEGACY.ARC";
    WriteBytes(path, archive);
    return path;
  }
  std::vector<LegacyItem> Items() {
    LegacyItem dir, file, leap, ro;
    dir.path = "sub";
    dir.attributes = FILE_ATTRIBUTE_DIRECTORY;
    dir.mDate = 991231;
    dir.mTime = 235959;
    file.path = "sub\\a.txt";
    file.content = std::string(300000, 'a');
    leap.path = "leap.txt";
    leap.content = "leap";
    leap.mDate = 229;  // 000229
    leap.mTime = 123456;
    ro.path = "ro.txt";
    ro.content = "ro";
    ro.attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    return {dir, file, leap, ro};
  }
};

// 2000-02-29 12:34:56 in a zone nine hours ahead of UTC.
constexpr std::int64_t kLeapDay = 951827696 - 32400;

TEST_F(Legacy, ExtractsBelowTheRecordedBaseAndBelowATarget) {
  const std::string base = work / "legacy base";
  const Bytes archive = BuildLegacy(Items(), base.substr(0, 1), base.substr(2));
  for (const char* target : {static_cast<const char*>(nullptr), "given"}) {
    SCOPED_TRACE(target != nullptr ? target : "recorded base");
    const std::string to = target != nullptr ? work / target : base;
    ASSERT_EQ(vskarMain(Save(archive).c_str(), target != nullptr ? to.c_str() : nullptr, 1), 0) << Dump();
    EXPECT_EQ(ReadFile(to + "\\sub\\a.txt"), std::string(300000, 'a'));
    EXPECT_EQ(ReadFile(to + "\\leap.txt"), "leap");
    EXPECT_EQ(ModifiedOf(to + "\\leap.txt"), kLeapDay);
    std::int64_t seconds = 0;
    ASSERT_TRUE(bk::ar::LegacyCodesToTime(991231, 235959, &seconds));
    EXPECT_EQ(ModifiedOf(to + "\\sub"), seconds);  // set after a.txt was written inside
    EXPECT_EQ(::GetFileAttributesA((to + "\\ro.txt").c_str()),
              AsReported(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(::GetFileAttributesA((to + "\\sub\\a.txt").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    // Again over what is there now, the read-only file included.
    ASSERT_EQ(arCreateUnarcFile(Save(archive).c_str(), target != nullptr ? to.c_str() : nullptr, 1), 0) << Dump();
    EXPECT_EQ(ReadFile(to + "\\ro.txt"), "ro");
  }
  VskArVerifyReport report;
  ASSERT_EQ(vskarVerifyArchive(Save(archive).c_str(), &report), 0) << report.firstDefect;
  EXPECT_TRUE(report.legacy);
  EXPECT_EQ(report.entries, 4u);
  EXPECT_EQ(report.directories, 1u);
}

TEST_F(Legacy, ResultCodes) {
  LegacyItem file;
  file.path = "f.txt";
  file.content = "x";
  const std::string target = work / "t";

  EXPECT_EQ(arCreateUnarcFile((work / "missing").c_str(), target.c_str(), 1), 1);
  EXPECT_TRUE(Logged("GetFileAttributes:ERROR:ON arCreateUnarcFile " + work / "missing"));

  EXPECT_EQ(arCreateUnarcFile(Save(BuildLegacy({file}, "C", "\\x")).c_str(), "Q:\\x", 1), 2);
  EXPECT_TRUE(Logged("GetFileAttributes:MAKEPATH_ERROR: arCreateUnarcFile Q:\\")) << Dump();

  // Names table offsets beyond the file.
  Bytes cut = BuildLegacy({file}, "C", "\\x");
  bk::StoreLe32(&cut[0], static_cast<std::uint32_t>(cut.size() + 100));
  EXPECT_EQ(arCreateUnarcFile(Save(cut).c_str(), target.c_str(), 1), 3);
  EXPECT_TRUE(Logged("vskuarGetInfmation_ERROR:ON arCreateUnarcFile"));

  // An entry whose content runs into the names table.
  Bytes running = BuildLegacy({file}, "C", "\\x");
  bk::StoreLe32(&running[bk::ar::kLegacyHeaderSize + bk::ar::legacy_field::kContentLength], 5000);
  EXPECT_EQ(arCreateUnarcFile(Save(running).c_str(), target.c_str(), 1), 4);
  EXPECT_TRUE(Logged("vskuarLoopProsec_ERROR:ON arCreateUnarcFile"));

  // A name leaving the target.
  LegacyItem evil = file;
  evil.path = "..\\evil.txt";
  EXPECT_EQ(arCreateUnarcFile(Save(BuildLegacy({evil}, "C", "\\x")).c_str(), target.c_str(), 1), 3);
  EXPECT_FALSE(Exists(work / "evil.txt"));
  EXPECT_TRUE(EventSeen("The entry is outside the target directory: ..\\evil.txt"));

  // A directory entry where a file is.
  MakeDir(target);
  WriteFile(target + "\\d", "file");
  LegacyItem dir;
  dir.path = "d";
  dir.attributes = FILE_ATTRIBUTE_DIRECTORY;
  EXPECT_EQ(arCreateUnarcFile(Save(BuildLegacy({dir}, "C", "\\x")).c_str(), target.c_str(), 1), 5);
  EXPECT_TRUE(Logged("_mkdir_ERROR:ON arCreateUnarcFile " + target + "\\d"));

  // keep 0 deletes the archive after success; vskarMain returns the code as is.
  const std::string archive = Save(BuildLegacy({file}, "C", "\\x"));
  EXPECT_EQ(vskarMain(archive.c_str(), target.c_str(), 0), 0);
  EXPECT_FALSE(Exists(archive));
  EXPECT_EQ(vskarMain(Save(BuildLegacy({evil}, "C", "\\x")).c_str(), target.c_str(), 0), 3);
}

}  // namespace
