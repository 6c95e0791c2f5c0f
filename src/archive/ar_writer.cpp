#include "archive/ar_writer.h"

#include <cstring>
#include <iterator>
#include <new>

#include "common/byte_order.h"

namespace bk::ar {

namespace {
constexpr std::uint64_t kMaxArchive = 0xFFFFFFFFu;
}

int ArWriter::Write(const void* data, std::size_t n) {
  if (n > kMaxArchive - length_) {
    failed_ = true;
    return kArTooLarge;
  }
  if (!sink_.Write(data, n)) {
    failed_ = true;
    return kArWriteError;
  }
  length_ += n;
  return kArOk;
}

int ArWriter::AddName(const std::string& name, bool reusable, std::uint16_t* index) {
  if (reusable) {
    const auto found = reusable_.find(name);
    if (found != reusable_.end()) {
      *index = found->second;
      return kArOk;
    }
  }
  if (name.size() > kMaxNameLength || std::memchr(name.data(), 0, name.size()) != nullptr) return kArTooLarge;
  if (nameCount_ >= kMaxNames) return kArTooLarge;
  try {
    pending_.insert(pending_.end(), name.begin(), name.end());
    pending_.push_back(0);
    if (reusable) reusable_[name] = static_cast<std::uint16_t>(nameCount_ + 1);
  } catch (const std::bad_alloc&) {
    return kArNoMemory;
  }
  ++nameCount_;
  if (name.size() > nameMax_) nameMax_ = static_cast<std::uint16_t>(name.size());
  *index = static_cast<std::uint16_t>(nameCount_);
  return kArOk;
}

int ArWriter::FlushNames(std::uint32_t* size) {
  *size = static_cast<std::uint32_t>(pending_.size());
  if (pending_.empty()) return kArOk;
  const int rc = Write(pending_.data(), pending_.size());
  pending_.clear();
  return rc;
}

int ArWriter::Begin(unsigned char compKind, const std::string& driveName, const std::string& basePathName) {
  if (begun_) return kArMisuse;
  begun_ = true;
  header_ = VsConReIn{};
  header_.headSize = kHeaderSize;
  header_.resGenNo[0] = 1;
  header_.resGenNo[1] = 0;
  header_.compKind = compKind;
  unsigned char zeros[kHeaderSize] = {};
  int rc = Write(zeros, sizeof zeros);
  if (rc == kArOk) rc = AddName(driveName, false, &header_.driveNo);
  if (rc == kArOk) rc = AddName(basePathName, false, &header_.pathNo);
  if (rc == kArOk) rc = FlushNames(&header_.nameSize);
  if (rc != kArOk) failed_ = true;
  return rc;
}

int ArWriter::AddEntry(const ArNewEntry& entry) {
  if (!begun_ || finished_ || failed_ || contentLeft_ != 0) return kArMisuse;
  const bool directory = (entry.fileKind & kKindRegular) == 0;
  if (directory && entry.size != 0) return kArMisuse;
  if (entry.size > kMaxArchive) return kArTooLarge;
  if (entry.security.size() > kMaxArchive - kAssocHeadSize) return kArTooLarge;

  VsConFileIn h;
  h.entSize = kEntryHeaderSize;
  h.fileSize = h.dataSize = static_cast<std::uint32_t>(entry.size);
  h.mDate = entry.mDate;
  h.mTime = entry.mTime;
  h.aDate = entry.aDate;
  h.aTime = entry.aTime;
  h.fileKind = entry.fileKind;
  h.fileMode = kFileModeAll;
  const std::size_t pendingBefore = pending_.size();
  const std::uint32_t countBefore = nameCount_;
  const std::uint16_t maxBefore = nameMax_;
  int rc = AddName(entry.path, false, &h.nameNo);
  if (rc == kArOk && !entry.shortName.empty()) rc = AddName(entry.shortName, true, &h.shortNo);
  if (rc == kArOk) rc = AddName("root", true, &h.ownerNo);
  if (rc == kArOk) rc = AddName("sys", true, &h.groupNo);
  if (rc != kArOk) {
    // Nothing is written yet: forget this entry's names and the archive stays whole.
    pending_.resize(pendingBefore);
    nameCount_ = countBefore;
    nameMax_ = maxBefore;
    for (auto it = reusable_.begin(); it != reusable_.end();)
      it = it->second > countBefore ? reusable_.erase(it) : std::next(it);
    return rc;
  }
  h.assocSize = entry.security.empty() ? 0 : static_cast<std::uint32_t>(entry.security.size() + kAssocHeadSize);
  h.nameSize = static_cast<std::uint32_t>(pending_.size());

  unsigned char bytes[kEntryHeaderSize];
  EncodeEntry(h, bytes);
  rc = Write(bytes, sizeof bytes);
  if (rc == kArOk && h.assocSize != 0) {
    unsigned char head[kAssocHeadSize];
    StoreBe16(head, kAssocSecurity);
    StoreBe32(head + 2, static_cast<std::uint32_t>(entry.security.size()));
    rc = Write(head, sizeof head);
    if (rc == kArOk) rc = Write(entry.security.data(), entry.security.size());
  }
  std::uint32_t ignored;
  if (rc == kArOk) rc = FlushNames(&ignored);
  if (rc == kArOk) contentLeft_ = entry.size;
  return rc;
}

int ArWriter::WriteContent(const void* data, std::size_t n) {
  if (failed_ || n > contentLeft_) return kArMisuse;
  const int rc = Write(data, n);
  if (rc == kArOk) contentLeft_ -= n;
  return rc;
}

int ArWriter::Finish() {
  if (!begun_ || finished_ || failed_ || contentLeft_ != 0) return kArMisuse;
  header_.arcSize = static_cast<std::uint32_t>(length_);
  header_.nameCount = static_cast<std::uint16_t>(nameCount_);
  header_.nameMax = nameMax_;
  unsigned char bytes[kHeaderSize];
  EncodeHeader(header_, bytes);
  if (!sink_.WriteAt(0, bytes, sizeof bytes)) {
    failed_ = true;
    return kArWriteError;
  }
  finished_ = true;
  return kArOk;
}

}  // namespace bk::ar
