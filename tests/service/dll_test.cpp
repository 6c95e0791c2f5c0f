// bkrestore.dll as a caller loads it: its three exports by name.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "bkrestore/bkrestore.h"
#include "support/win_fixtures.h"

namespace {

using BackupFn = uint32_t(__cdecl*)(const char*, const char*, const char*, const char*);
using RestoreFn = uint32_t(__cdecl*)(const char*, const char*, const char*);

class Dll : public ::testing::Test {
 protected:
  void SetUp() override {
    registry.Set("RestoreBackupPath", install / "BACKUP");
    module = ::LoadLibraryA("bkrestore.dll");
    ASSERT_NE(module, nullptr);
  }
  void TearDown() override { ::FreeLibrary(module); }
  template <typename Fn>
  Fn Get(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  }

  bk::test::ClientRegistry registry;
  bk::test::ClientInstall install{registry};
  HMODULE module = nullptr;
};

TEST_F(Dll, ExportsByUndecoratedNames) {
  auto backup = Get<BackupFn>("vskAPIBackup");
  auto lookup = Get<BackupFn>("vskAPIGetResourceFileName");
  auto restore = Get<RestoreFn>("vskAPIRestore");
  ASSERT_NE(backup, nullptr);
  ASSERT_NE(lookup, nullptr);
  ASSERT_NE(restore, nullptr);
  EXPECT_EQ(backup(nullptr, nullptr, nullptr, nullptr), 1u);
  EXPECT_EQ(lookup(nullptr, nullptr, nullptr, nullptr), 2u);
  EXPECT_EQ(restore(nullptr, nullptr, nullptr), 2u);
  EXPECT_EQ(restore("Resource", "01", "0001"), 1u);
  EXPECT_TRUE(bk::test::Exists(install.Log("CLIENT.LOG")));
}

TEST_F(Dll, CallsFromSeveralThreadsAreSerialised) {
  std::vector<std::thread> threads;
  std::vector<uint32_t> results(4 * 25);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) results[t * 25 + i] = vskAPIRestore("Resource", "01", "0001");
    });
  for (auto& thread : threads) thread.join();
  for (uint32_t r : results) EXPECT_EQ(r, 1u);
}

TEST_F(Dll, CarriesAVersionResource) {
  char path[MAX_PATH];
  ASSERT_GT(::GetModuleFileNameA(module, path, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(::GetFileVersionInfoA(path, 0, size, info.data()));
  char* name = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\OriginalFilename",
                               reinterpret_cast<void**>(&name), &length));
  EXPECT_STREQ(name, "bkrestore.dll");
}

}  // namespace
