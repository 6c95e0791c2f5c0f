// The list builder: list records of plain and encoded archives, directory
// folding, skipped blocks, the fallback for files that are not archives, and
// the encoded archive that stays whole when its decoding fails.
#include "archive/ar_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/ar_format.h"
#include "archive/ar_io.h"
#include "archive/ar_reader.h"
#include "archive/ar_writer.h"
#include "codec/ecd.h"
#include "common/byte_order.h"
#include "common/text.h"
#include "platform/unique_handle.h"
#include "support/lookup_fixture.h"

namespace {

using namespace bk::ar;
using bk::test::Exists;
using bk::test::ReadFile;
using bk::test::WriteFile;

struct Item {
  std::string path;
  bool directory;
  std::uint32_t size;
  unsigned char kind;  // 0: regular file / directory by `directory`
};

constexpr std::uint32_t kDate = 0x20100701, kTime = 0x00060916;

// An archive with base C:\ (drive "C", path "/") unless given; with
// `security`, every entry carries an associated-information block.
std::string Archive(const std::vector<Item>& items, bool security = false, const std::string& basePath = "/") {
  ArMemorySink sink;
  ArWriter w(sink);
  EXPECT_EQ(w.Begin(kCompKindControl, "C", basePath), kArOk);
  for (const Item& item : items) {
    ArNewEntry e;
    e.path = item.path;
    e.size = item.directory ? 0 : item.size;
    e.fileKind = item.kind != 0 ? item.kind : (item.directory ? 0 : kKindRegular);
    e.mDate = kDate;
    e.mTime = kTime;
    if (security) e.security.assign(40, 0xA5);
    EXPECT_EQ(w.AddEntry(e), kArOk);
    if (!item.directory) {
      std::string content(item.size, 'c');
      EXPECT_EQ(w.WriteContent(content.data(), content.size()), kArOk);
    }
  }
  EXPECT_EQ(w.Finish(), kArOk);
  return std::string(sink.Bytes().begin(), sink.Bytes().end());
}

struct Record {
  std::string path;
  std::uint32_t size, date, time;
  unsigned char kind;
};

std::vector<Record> Records(const std::string& list) {
  std::vector<Record> out;
  EXPECT_EQ(list.size() % kListRecordSize, 0u);
  for (std::size_t at = 0; at + kListRecordSize <= list.size(); at += kListRecordSize) {
    const auto* r = reinterpret_cast<const unsigned char*>(list.data() + at);
    out.push_back({std::string(reinterpret_cast<const char*>(r), bk::BoundedLength(reinterpret_cast<const char*>(r), 260)),
                   bk::LoadBe32(r + kListFileSize), bk::LoadBe32(r + kListMDate), bk::LoadBe32(r + kListMTime),
                   r[kListFileKind]});
    for (std::size_t i = 273; i < kListRecordSize; ++i) EXPECT_EQ(r[i], 0);
  }
  return out;
}

std::vector<std::string> Paths(const std::string& list) {
  std::vector<std::string> paths;
  for (const Record& r : Records(list)) paths.push_back(r.path);
  return paths;
}

class ListFile : public bk::test::LookupTest {
 protected:
  std::string archive() const { return install / "RSC00001"; }
  std::string list() const { return install / "list.bin"; }
  int Run(const char* target = nullptr) { return vskarCreatearListFileEx(archive().c_str(), target, list().c_str()); }
  // This process's work copy of the unwrap.
  std::string work() const { return archive() + "." + std::to_string(::GetCurrentProcessId()) + ".dcd"; }
  // Every work copy of the archive, of any process.
  std::vector<std::string> WorkCopies() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = ::FindFirstFileA((archive() + "*.dcd").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do names.push_back(data.cFileName);
    while (::FindNextFileA(find, &data));
    ::FindClose(find);
    return names;
  }
};

TEST_F(ListFile, DirectoriesFoldIntoTheirContents) {
  struct Case {
    const char* name;
    std::vector<Item> items;
    std::vector<std::string> paths;
  };
  const std::vector<Case> cases = {
      {"dir\\a and dir\\b", {{"dir", true, 0, 0}, {"dir/a", false, 1000, 0}, {"dir", true, 0, 0}, {"dir/b", false, 5, 0}},
       {"C:\\dir\\a", "C:\\dir\\b"}},
      {"empty directory kept", {{"empty", true, 0, 0}, {"f", false, 1, 0}}, {"C:\\empty", "C:\\f"}},
      {"nested directories", {{"d", true, 0, 0}, {"d/e", true, 0, 0}, {"d/e/x", false, 2, 0}, {"d2", true, 0, 0}},
       {"C:\\d\\e\\x", "C:\\d2"}},
      {"a sibling with the same prefix is not inside", {{"ab", true, 0, 0}, {"abc", false, 1, 0}},
       {"C:\\ab", "C:\\abc"}},
      {"no entries", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(archive(), Archive(c.items));
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(Paths(ReadFile(list())), c.paths);
  }
}

TEST_F(ListFile, RecordFieldsAreTheEntryHeadersBigEndianValues) {
  WriteFile(archive(), Archive({{"dir", true, 0, 0},
                                {"dir/a", false, 1000, kKindRegular | kKindReadOnly | kKindArchive},
                                {"dir/empty", true, 0, kKindHidden}}));
  ASSERT_EQ(Run(), 0);
  const std::string bytes = ReadFile(list());
  ASSERT_EQ(bytes.size(), 2 * kListRecordSize);
  EXPECT_EQ(bytes.substr(260, 4), std::string("\x00\x00\x03\xE8", 4));
  EXPECT_EQ(bytes.substr(264, 8), std::string("\x20\x10\x07\x01\x00\x06\x09\x16", 8));
  const std::vector<Record> r = Records(bytes);
  EXPECT_EQ(r[0].kind, kKindRegular | kKindReadOnly | kKindArchive);
  EXPECT_EQ(r[1].path, "C:\\dir\\empty");
  EXPECT_EQ(r[1].size, 0u);
  EXPECT_EQ(r[1].kind & kKindRegular, 0);
  EXPECT_EQ(r[1].kind, kKindHidden);
}

TEST_F(ListFile, TargetDirectoryAndBasePathMakeTheFullPath) {
  WriteFile(archive(), Archive({{"sub", true, 0, 0}, {"sub/x.txt", false, 3, 0}}, false, "Program Files/App"));
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(Paths(ReadFile(list())), std::vector<std::string>{"C:\\Program Files\\App\\sub\\x.txt"});
  ASSERT_EQ(Run("D:\\Target\\"), 0);
  EXPECT_EQ(Paths(ReadFile(list())), std::vector<std::string>{"D:\\Target\\sub\\x.txt"});
}

TEST_F(ListFile, AssociatedBlocksChangeNothing) {
  const std::vector<Item> items = {{"dir", true, 0, 0}, {"dir/a", false, 1000, 0}, {"b", false, 0, 0}};
  WriteFile(archive(), Archive(items, false));
  ASSERT_EQ(Run(), 0);
  const std::string plain = ReadFile(list());
  WriteFile(archive(), Archive(items, true));
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadFile(list()), plain);
}

// A source that refuses every read touching a byte outside the allowed
// ranges: skipping must move over associated information and contents.
class GuardedSource : public ArSource {
 public:
  GuardedSource(const std::string& data, std::vector<std::pair<std::size_t, std::size_t>> forbidden)
      : memory_(reinterpret_cast<const unsigned char*>(data.data()), data.size()), forbidden_(std::move(forbidden)),
        size_(data.size()) {}
  std::size_t Read(void* buffer, std::size_t n) override {
    for (const auto& f : forbidden_)
      if (position_ < f.second && position_ + n > f.first) {
        ++refused;
        return 0;
      }
    const std::size_t got = memory_.Read(buffer, n);
    position_ += got;
    return got;
  }
  bool Seek(std::uint64_t offset) override {
    if (!memory_.Seek(offset)) return false;
    position_ = static_cast<std::size_t>(offset);
    return true;
  }
  std::uint64_t Size() const override { return size_; }
  int refused = 0;

 private:
  ArMemorySource memory_;
  std::vector<std::pair<std::size_t, std::size_t>> forbidden_;
  std::size_t size_;
  std::size_t position_ = 0;
};

TEST(ArchiveReaderSkipping, AssociatedInformationAndContentAreNeverRead) {
  const std::string data = Archive({{"a", false, 300, 0}, {"b", false, 7, 0}}, true);
  // Find the blocks by walking the layout with the ordinary reader.
  std::vector<std::pair<std::size_t, std::size_t>> forbidden;
  {
    ArMemorySource source(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    ArReader reader(source);
    ASSERT_EQ(reader.Open(), kArOk);
    std::size_t at = kHeaderSize + bk::LoadBe32(reinterpret_cast<const unsigned char*>(data.data()) + 38);
    ArEntry e;
    bool found;
    while (reader.Next(e, found) == kArOk && found) {
      EXPECT_TRUE(e.hasSecurity);
      const std::size_t assocAt = at + kEntryHeaderSize;
      forbidden.emplace_back(assocAt, assocAt + e.header.assocSize);
      const std::size_t contentAt = assocAt + e.header.assocSize + e.header.nameSize;
      forbidden.emplace_back(contentAt, contentAt + e.header.dataSize);
      at = contentAt + e.header.dataSize;
    }
    ASSERT_EQ(forbidden.size(), 4u);
  }
  GuardedSource guarded(data, forbidden);
  ArReader reader(guarded);
  reader.SetSkipAssociated(true);
  ASSERT_EQ(reader.Open(), kArOk);
  ArEntry e;
  bool found;
  std::vector<std::string> paths;
  while (reader.Next(e, found) == kArOk && found) {
    EXPECT_FALSE(e.hasSecurity);
    paths.push_back(e.path);
  }
  EXPECT_EQ(reader.Status(), kArOk) << reader.Error();
  EXPECT_EQ(guarded.refused, 0);
  EXPECT_EQ(paths, (std::vector<std::string>{"a", "b"}));

  // The same source breaks a reader that reads the blocks.
  GuardedSource again(data, forbidden);
  ArReader reading(again);
  ASSERT_EQ(reading.Open(), kArOk);
  EXPECT_NE(reading.Next(e, found), kArOk);
  EXPECT_EQ(reading.FailedPart(), ArPart::kAssociated);
}

TEST_F(ListFile, EncodedArchiveIsDecodedInPlace) {
  const std::string plain = Archive({{"dir", true, 0, 0}, {"dir/a", false, 1000, 0}});
  const std::string plainPath = install / "plain.bin";
  WriteFile(plainPath, plain);
  for (int kind : {kEcdKindControl, kEcdKindZlib}) {
    SCOPED_TRACE(kind);
    ASSERT_EQ(vskEcdEncodeFile(plainPath.c_str(), archive().c_str(), 0, kind), kEcdEncodeOk);
    ASSERT_NE(ReadFile(archive()), plain);
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(ReadFile(archive()), plain);
    EXPECT_TRUE(WorkCopies().empty());
    EXPECT_EQ(Paths(ReadFile(list())), std::vector<std::string>{"C:\\dir\\a"});
  }
}

TEST_F(ListFile, EncodedArchiveSurvivesAFailedDecodingOrRename) {
  const std::string plainPath = install / "plain.bin";
  WriteFile(plainPath, Archive({{"a", false, 5000, 0}}));
  ASSERT_EQ(vskEcdEncodeFile(plainPath.c_str(), archive().c_str(), 0, kEcdKindControl), kEcdEncodeOk);
  std::string encoded = ReadFile(archive());
  // Break the first block's coded bytes, keeping its head.
  ASSERT_GT(encoded.size(), kEcdHeadSize + 40);
  for (std::size_t i = kEcdHeadSize + 4; i < encoded.size(); ++i) encoded[i] = static_cast<char>(0xFF);
  WriteFile(archive(), encoded);
  EXPECT_EQ(Run(), 2);  // the decoder's -4
  EXPECT_EQ(ReadFile(archive()), encoded);
  EXPECT_TRUE(WorkCopies().empty());
  EXPECT_TRUE(Logged("vskEcdCtrlDecodeFile Error " + archive()));

  // A rename that cannot happen leaves the archive alone.
  ASSERT_EQ(vskEcdEncodeFile(plainPath.c_str(), archive().c_str(), 0, kEcdKindControl), kEcdEncodeOk);
  const std::string whole = ReadFile(archive());
  {
    bk::win::unique_hfile holder(::CreateFileA(archive().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_EQ(Run(), -1);
  }
  EXPECT_EQ(ReadFile(archive()), whole);
  EXPECT_TRUE(WorkCopies().empty());
  EXPECT_TRUE(Logged("MoveFile Error On vskarCreatearListFileEx " + archive()));

  // A leftover work copy of an interrupted listing is replaced, not used.
  WriteFile(work(), "stale");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(ReadFile(archive()), ReadFile(plainPath));
  EXPECT_TRUE(WorkCopies().empty());
}

TEST_F(ListFile, NonArchiveIsAnsweredByTheHostResourceList) {
  WriteFile(archive(), std::string(200, 'x'));
  EXPECT_EQ(vskarCreatearListFile(archive().c_str(), nullptr, list().c_str()), 3);
  EXPECT_TRUE(Logged("Resource Error 1"));
  EXPECT_EQ(Run(), 2);  // the host resource list cannot be made without the command-file data
  EXPECT_TRUE(Logged("Can't Acsses C0 File vskFarMakeHostResList"));
  EXPECT_TRUE(Sent("The structurally defective ResourceFile: VsConReIn.ResGen_No[0]=120, VsConReIn.ResGen_No[1]=120"));
}

TEST_F(ListFile, FailuresGiveMinusOne) {
  EXPECT_EQ(Run(), -1);  // no archive
  EXPECT_TRUE(Logged("GetFileAttributes:RFilePath_ERROR:ON UnarcFile " + archive()));

  // An entry whose name index lies outside the match table.
  std::string data = Archive({{"a", false, 1, 0}});
  const std::size_t entry = kHeaderSize + bk::LoadBe32(reinterpret_cast<const unsigned char*>(data.data()) + 38);
  data[entry + entry_field::kNameNo] = 0x7F;
  WriteFile(archive(), data);
  EXPECT_EQ(Run(), -1);
  EXPECT_TRUE(Logged("vskcarListLoopProsec_ERROR:ON arCreatearListFile"));

  // The list file cannot be created.
  WriteFile(archive(), Archive({{"a", false, 1, 0}}));
  EXPECT_EQ(vskarCreatearListFileEx(archive().c_str(), nullptr, (install / "no\\such\\dir\\list").c_str()), -1);
  EXPECT_TRUE(Logged("CreateFile_ERROR:ON_ArcList"));

  // A target path that no list record can hold.
  EXPECT_EQ(Run(("C:\\" + std::string(258, 'd')).c_str()), -1);
}

}  // namespace
