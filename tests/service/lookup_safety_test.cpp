// vskAPIGetResourceFileName through the shipped library on hostile client
// files: names that would lead out of the resource folder, a control file
// that cannot be read, lookups of one encoded archive by several processes
// at once, and encoded files that do not decode to a resource archive. The
// test program starts copies of itself ("--child OUT") for the concurrent
// lookups; they wait on a named event so that they start together.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "archive/ar_list.h"
#include "archive/ar_writer.h"
#include "bkrestore/bkrestore.h"
#include "codec/ecd.h"
#include "platform/unique_handle.h"
#include "support/lookup_fixture.h"

namespace {

using bk::test::CtrRecord;
using bk::test::Exists;
using bk::test::HostRecord;
using bk::test::MakeDir;
using bk::test::ReadFile;
using bk::test::WriteFile;

constexpr char kStartEvent[] = "BKRESTORE_LOOKUP_SAFETY_TEST_START";

// A C0000000 record of the key APP V1 G1 naming `archive` (cut to the field's 8 bytes).
std::string RcfRecord(const std::string& archive) {
  return bk::test::RcfRecord("APP", "V1", "G1", archive.substr(0, 8));
}

std::string PlainArchive(std::size_t contentSize = 3) {
  bk::ar::ArMemorySink sink;
  bk::ar::ArWriter w(sink);
  EXPECT_EQ(w.Begin(bk::ar::kCompKindNone, "C", "App"), bk::ar::kArOk);
  bk::ar::ArNewEntry f;
  f.path = "bin/app.exe";
  f.size = contentSize;
  EXPECT_EQ(w.AddEntry(f), bk::ar::kArOk);
  const std::string content(contentSize, 'a');
  EXPECT_EQ(w.WriteContent(content.data(), content.size()), bk::ar::kArOk);
  EXPECT_EQ(w.Finish(), bk::ar::kArOk);
  return std::string(sink.Bytes().begin(), sink.Bytes().end());
}

std::string FilesLike(const std::string& folder, const std::string& pattern) {
  std::string names;
  WIN32_FIND_DATAA data;
  HANDLE find = ::FindFirstFileA((folder + "\\" + pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names += std::string(data.cFileName) + " ";
  while (::FindNextFileA(find, &data));
  ::FindClose(find);
  return names;
}

class LookupSafety : public bk::test::LookupTest {
 protected:
  void SetUp() override {
    LookupTest::SetUp();
    MakeDir(install / "CLIENT");
    MakeDir(install / "CLIENT\\RESOURCE");
    MakeDir(resourceDir());
    WriteFile(rcf(), RcfRecord("RSC1"));
    WriteFile(ctr(), CtrRecord("10.0.0.1", "orlavs"));
    // Found directly by its address: no name lookup.
    WriteFile(hostsys(), HostRecord("10.0.0.1", 1, "HOST0000"));
  }
  std::string rcf() const { return workDir() + "\\C0000000"; }
  std::string ctr() const { return workDir() + "\\C0.ctr"; }
  std::string hostsys() const { return dbDir() + "\\HOSTSYS"; }
  std::string resourceDir() const { return install / "CLIENT\\RESOURCE\\HOST0000"; }
  std::string out() const { return install / "out\\list.bin"; }
  std::uint32_t Call() { return vskAPIGetResourceFileName("APP", "V1", "G1", out().c_str()); }
  // An encoded archive (zlib) of the plain bytes, at path.
  void WriteEncoded(const std::string& path, const std::string& plain) {
    const std::string plainPath = install / "plain.tmp";
    WriteFile(plainPath, plain);
    ASSERT_EQ(vskEcdEncodeFile(plainPath.c_str(), path.c_str(), 0, kEcdKindZlib), kEcdEncodeOk);
    ::DeleteFileA(plainPath.c_str());
  }
};

TEST_F(LookupSafety, ArchiveNamesThatLeaveTheResourceFolderAreRefused) {
  // Encoded archives outside the resource folder, where the names lead.
  MakeDir(install / "X");
  const std::vector<std::string> outside = {install / "CLIENT\\R1", install / "X\\R1", install / "R1"};
  for (const std::string& path : outside) WriteEncoded(path, PlainArchive());
  std::vector<std::string> before;
  for (const std::string& path : outside) before.push_back(ReadFile(path));
  const char* names[] = {"..\\..\\R1", "CON", "nul.txt", "COM1", "../../R1", "..", ".", "...", "C:R1", "\\R1", "X\\R1", "R1\x01", "", " . "};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    WriteFile(rcf(), RcfRecord(name));
    EXPECT_EQ(Call(), 2u);
    for (std::size_t i = 0; i < outside.size(); ++i) EXPECT_EQ(ReadFile(outside[i]), before[i]);
    EXPECT_FALSE(Exists(out()));
  }
  EXPECT_TRUE(Logged("Invalid archive name in vskAPIGetResourceFileName."));
  // A plain name is still listed.
  WriteFile(rcf(), RcfRecord("RSC1"));
  WriteEncoded(resourceDir() + "\\RSC1", PlainArchive());
  EXPECT_EQ(Call(), 0u);
  EXPECT_EQ(ReadFile(resourceDir() + "\\RSC1"), PlainArchive());
}

TEST_F(LookupSafety, DamagedHostsysDirectoriesAreNeverMatched) {
  MakeDir(install / "X");
  const std::string outsideArchive = install / "X\\RSC1";
  WriteEncoded(outsideArchive, PlainArchive());
  const std::string outsideBefore = ReadFile(outsideArchive);
  struct Case {
    const char* dir;
    std::uint32_t result;
    const char* dirAfter;  // the record that follows it, or null
  };
  const Case cases[] = {
      {"..\\..\\X", 2, nullptr},  // install\CLIENT\RESOURCE\..\..\X
      {"", 2, nullptr},
      {"HOST0000\\..\\..\\..\\X", 2, nullptr},
      {"HOST000", 2, nullptr},
      {"HOST00001", 2, nullptr},
      {"HOSTA000", 2, nullptr},
      // The damaged record is passed over; the sound one after it is found.
      {"..\\..\\X", 0, "HOST0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    std::string data = HostRecord("10.0.0.1", 1, c.dir);
    if (c.dirAfter != nullptr) data += HostRecord("10.0.0.1", 1, c.dirAfter);
    WriteFile(hostsys(), data);
    WriteEncoded(resourceDir() + "\\RSC1", PlainArchive());
    ::DeleteFileA(out().c_str());
    EXPECT_EQ(Call(), c.result);
    EXPECT_EQ(ReadFile(outsideArchive), outsideBefore);
    EXPECT_EQ(Exists(out()), c.result == 0);
    EXPECT_EQ(ReadFile(hostsys()), data);  // a damaged last record gives no next number
  }
  EXPECT_TRUE(Logged("HostDirectoryName is invalid"));
}

TEST_F(LookupSafety, UnreadableControlFileFailsWithoutTouchingHostsys) {
  WriteFile(resourceDir() + "\\RSC1", PlainArchive());
  const std::string hostsysBefore = ReadFile(hostsys());
  // A host that resolves to this machine would otherwise be recorded.
  ::DeleteFileA(hostsys().c_str());
  const std::string text = CtrRecord("10.0.0.1", "orlavs");
  struct Case {
    const char* what;
    std::string ctr;  // empty: a directory
  };
  const Case cases[] = {{"empty host", CtrRecord("", "orlavs")}, {"empty service", CtrRecord("10.0.0.1", "")},
                        {"short file", text.substr(0, 100)}, {"directory", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::DeleteFileA(ctr().c_str());
    ::RemoveDirectoryA(ctr().c_str());
    if (c.ctr.empty())
      MakeDir(ctr());
    else
      WriteFile(ctr(), c.ctr);
    EXPECT_EQ(Call(), 2u);
    EXPECT_FALSE(Exists(hostsys()));
    EXPECT_FALSE(Exists(out()));
  }
  ::RemoveDirectoryA(ctr().c_str());
  EXPECT_TRUE(Logged("vskCfstuGetExecStatus Error in vskAPIGetResourceFileName."));

  // Held by another program for the whole call: the open is retried, then
  // the lookup fails.
  WriteFile(hostsys(), hostsysBefore);
  WriteFile(ctr(), text);
  {
    bk::win::unique_hfile holder(
        ::CreateFileA(ctr().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_EQ(Call(), 2u);
  }
  EXPECT_EQ(ReadFile(hostsys()), hostsysBefore);
  EXPECT_FALSE(Exists(out()));

  // Held for a moment: the retry gets it.
  HANDLE held = ::CreateFileA(ctr().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::thread release([held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ::CloseHandle(held);
  });
  EXPECT_EQ(Call(), 0u);
  release.join();
  EXPECT_TRUE(Exists(out()));
}

TEST_F(LookupSafety, ConcurrentLookupsOfOneEncodedArchiveAllSucceed) {
  const std::string plain = PlainArchive(200000);
  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    WriteEncoded(resourceDir() + "\\RSC1", plain);
    bk::win::unique_handle start(::CreateEventA(nullptr, TRUE, FALSE, kStartEvent));
    std::vector<bk::win::unique_handle> children;
    std::vector<std::string> outs;
    for (int i = 0; i < 4; ++i) {
      outs.push_back(install / ("out" + std::to_string(i) + "\\list.bin"));
      std::string commandLine = std::string("\"") + self + "\" --child \"" + outs.back() + "\"";
      STARTUPINFOA startup{};
      startup.cb = sizeof startup;
      PROCESS_INFORMATION process{};
      bool started = false;
      for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        started = ::CreateProcessA(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &process) != FALSE;
        if (!started) ::Sleep(200);
      }
      ASSERT_TRUE(started) << ::GetLastError();
      ::CloseHandle(process.hThread);
      children.emplace_back(process.hProcess);
    }
    ::Sleep(300);  // let them all reach the start line
    ::SetEvent(start.get());
    for (std::size_t i = 0; i < children.size(); ++i) {
      ASSERT_EQ(::WaitForSingleObject(children[i].get(), 120000), WAIT_OBJECT_0);
      DWORD code = 1;
      ::GetExitCodeProcess(children[i].get(), &code);
      EXPECT_EQ(code, 0u) << "child " << i;
      EXPECT_EQ(ReadFile(outs[i]).size(), kListRecordSize);
    }
    EXPECT_EQ(ReadFile(resourceDir() + "\\RSC1"), plain);
    EXPECT_EQ(FilesLike(resourceDir(), "*.dcd"), "");
  }
}

TEST_F(LookupSafety, EncodedFilesThatAreNoArchiveAreNeverCommitted) {
  // 64 MiB of zeros in about 64 KiB: nothing of it is written out.
  const std::string stored = resourceDir() + "\\RSC1";
  WriteEncoded(stored, std::string(64u << 20, '\0'));
  const std::string bomb = ReadFile(stored);
  ASSERT_LT(bomb.size(), 1u << 20);
  EXPECT_EQ(Call(), 2u);
  EXPECT_EQ(ReadFile(stored), bomb);
  EXPECT_EQ(FilesLike(resourceDir(), "*"), ". .. RSC1 ");

  // A sound archive header followed by more bytes than it declares.
  const std::string longer = PlainArchive() + std::string(1u << 20, '\0');
  WriteEncoded(stored, longer);
  const std::string encoded = ReadFile(stored);
  EXPECT_EQ(Call(), 2u);
  EXPECT_EQ(ReadFile(stored), encoded);
  EXPECT_EQ(FilesLike(resourceDir(), "*"), ". .. RSC1 ");
  EXPECT_TRUE(Logged("Plain size Error On vskarCreatearListFileEx"));

  // One cut short of what its header declares.
  const std::string whole = PlainArchive(5000);
  WriteEncoded(stored, whole.substr(0, whole.size() - 1000));
  const std::string cut = ReadFile(stored);
  EXPECT_EQ(Call(), 2u);
  EXPECT_EQ(ReadFile(stored), cut);
  EXPECT_EQ(FilesLike(resourceDir(), "*"), ". .. RSC1 ");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--child") {
    bk::win::unique_handle start(::OpenEventA(SYNCHRONIZE, FALSE, kStartEvent));
    if (!start || ::WaitForSingleObject(start.get(), 60000) != WAIT_OBJECT_0) return 100;
    return static_cast<int>(vskAPIGetResourceFileName("APP", "V1", "G1", argv[2]));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
