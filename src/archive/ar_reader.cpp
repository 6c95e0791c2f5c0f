#include "archive/ar_reader.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/byte_order.h"
#include "logging/log.h"

namespace bk::ar {

namespace {
std::string Number(std::uint64_t v) { return std::to_string(v); }
}  // namespace

int ArReader::Fail(int status, const std::string& why) {
  status_ = status;
  error_ = why;
  return status;
}

int ArReader::ReadExact(void* buffer, std::size_t n, const char* what) {
  if (source_.Read(buffer, n) != n) return Fail(kArReadError, std::string("cannot read ") + what);
  position_ += n;
  return kArOk;
}

int ArReader::SkipTo(std::uint64_t position) {
  if (!source_.Seek(position)) return Fail(kArReadError, "cannot move to offset " + Number(position));
  position_ = position;
  return kArOk;
}

int ArReader::ReadNames(std::uint32_t length, const char* what) {
  if (length == 0) return kArOk;
  std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[length]);
  if (!block) return Fail(kArNoMemory, "no memory for a names block");
  if (ReadExact(block.get(), length, what) != kArOk) return status_;
  if (!names_.AppendBlock(block.get(), length))
    return Fail(kArDefective, std::string("the ") + what + " breaks the match table (" +
                                  Number(names_.Capacity()) + " names of at most " +
                                  Number(header_.nameMax) + " bytes)");
  return kArOk;
}

int ArReader::Open() {
  part_ = ArPart::kHeader;
  unsigned char bytes[kHeaderSize] = {};
  const std::size_t got = source_.Read(bytes, sizeof bytes);
  if (got < sizeof bytes) {
    // Traced here; the check below then fails on the zeros ("Resource Error 1").
    vskLogTrace("ar", "_read Error on VsConReIn: %u of %u bytes read", static_cast<unsigned>(got),
                static_cast<unsigned>(sizeof bytes));
    std::memset(bytes + got, 0, sizeof bytes - got);
  }
  header_ = DecodeHeader(bytes);
  if (CheckHeader(header_) != kArOk) return Fail(kArDefectiveHeader, "the archive header is defective");
  position_ = kHeaderSize;

  const std::uint64_t size = header_.arcSize;
  if (size < kHeaderSize) return Fail(kArDefective, "arcSize " + Number(size) + " is below the header size");
  if (size > source_.Size())
    return Fail(kArReadError, "the file holds " + Number(source_.Size()) + " bytes, arcSize says " + Number(size));
  if (header_.skipSize > size - position_) return Fail(kArDefective, "skipSize runs past the archive");
  if (header_.skipSize != 0 && SkipTo(position_ + header_.skipSize) != kArOk) return status_;

  // Every name takes at least its terminator, so the count is bounded by the
  // archive's length before any memory is taken for it.
  if (header_.nameMax > kMaxNameLength)
    return Fail(kArDefective, "nameMax " + Number(header_.nameMax) + " is longer than a path");
  if (header_.nameCount > size) return Fail(kArDefective, "nameCount exceeds the archive's length");
  if (!names_.Reset(header_.nameCount, header_.nameMax)) return Fail(kArNoMemory, "no memory for the match table");
  if (header_.nameSize > size - position_) return Fail(kArDefective, "the header names block runs past the archive");
  if (ReadNames(header_.nameSize, "header names block") != kArOk) return status_;
  if (DriveName() == nullptr || BasePathName() == nullptr)
    return Fail(kArDefective, "driveNo " + Number(header_.driveNo) + " or pathNo " + Number(header_.pathNo) +
                                  " is not among the " + Number(names_.Loaded()) + " header names");
  open_ = true;
  return kArOk;
}

int ArReader::Next(ArEntry& entry, bool& found) {
  found = false;
  if (!open_ || status_ != kArOk) return status_ != kArOk ? status_ : Fail(kArMisuse, "the archive is not open");
  if (SkipContent() != kArOk) return status_;
  const std::uint64_t size = header_.arcSize;
  part_ = ArPart::kEntryHeader;
  if (position_ >= size) {
    if (names_.Loaded() != names_.Capacity())
      return Fail(kArDefective, "the names blocks hold " + Number(names_.Loaded()) + " names, nameCount says " +
                                    Number(names_.Capacity()));
    return kArOk;
  }

  const std::uint64_t at = position_;
  if (size - position_ < kEntryHeaderSize) return Fail(kArDefective, "an entry header at " + Number(at) + " runs past the archive");
  unsigned char bytes[kEntryHeaderSize];
  if (ReadExact(bytes, sizeof bytes, "an entry header") != kArOk) return status_;
  entry.header = DecodeEntry(bytes);
  const VsConFileIn& h = entry.header;

  entry.hasSecurity = false;
  entry.security.clear();
  part_ = ArPart::kAssociated;
  if (h.assocSize > size - position_)
    return Fail(kArDefective, "associated information at " + Number(at) + " runs past the archive");
  if (h.assocSize != 0 && skipAssociated_) {
    if (SkipTo(position_ + h.assocSize) != kArOk) return status_;
  } else if (h.assocSize != 0) {
    if (h.assocSize < kAssocHeadSize) return Fail(kArDefective, "associated information at " + Number(at) + " is shorter than its head");
    unsigned char head[kAssocHeadSize];
    if (ReadExact(head, sizeof head, "associated information") != kArOk) return status_;
    const std::uint16_t type = LoadBe16(head);
    const std::uint32_t length = LoadBe32(head + 2);
    if (length != h.assocSize - kAssocHeadSize)
      return Fail(kArDefective, "assocLen " + Number(length) + " does not match assocSize " + Number(h.assocSize));
    if (type == kAssocSecurity) {
      try {
        entry.security.resize(length);
      } catch (const std::bad_alloc&) {
        return Fail(kArNoMemory, "no memory for a security descriptor");
      }
      if (length != 0 && ReadExact(entry.security.data(), length, "a security descriptor") != kArOk) return status_;
      entry.hasSecurity = true;
    } else if (SkipTo(position_ + length) != kArOk) {
      return status_;
    }
  }

  part_ = ArPart::kNames;
  if (h.nameSize > size - position_) return Fail(kArDefective, "the names block of the entry at " + Number(at) + " runs past the archive");
  if (ReadNames(h.nameSize, "entry names block") != kArOk) return status_;
  const char* path = names_.Name(h.nameNo);
  if (path == nullptr)
    return Fail(kArDefective, "nameNo " + Number(h.nameNo) + " of the entry at " + Number(at) + " is not among the " +
                                  Number(names_.Loaded()) + " names read");
  entry.path = path;

  part_ = ArPart::kContent;
  // The running position moves by fileSize while dataSize bytes follow: the
  // two must agree, and a directory has none.
  if (h.dataSize != h.fileSize)
    return Fail(kArDefective, "dataSize " + Number(h.dataSize) + " differs from fileSize " + Number(h.fileSize));
  if (h.IsDirectory() && h.dataSize != 0) return Fail(kArDefective, "the directory entry " + entry.path + " has content");
  if (h.dataSize > size - position_) return Fail(kArDefective, "the content of " + entry.path + " runs past the archive");
  contentLeft_ = h.dataSize;
  found = true;
  return kArOk;
}

int ArReader::SkipContent() {
  if (status_ != kArOk) return status_;
  if (contentLeft_ == 0) return kArOk;
  part_ = ArPart::kContent;
  if (SkipTo(position_ + contentLeft_) != kArOk) return status_;
  contentLeft_ = 0;
  return kArOk;
}

int ArReader::ReadContent(void* buffer, std::size_t n, std::size_t& got) {
  got = 0;
  if (status_ != kArOk) return status_;
  const std::size_t take = contentLeft_ < n ? static_cast<std::size_t>(contentLeft_) : n;
  if (take == 0) return kArOk;
  if (ReadExact(buffer, take, "file content") != kArOk) return status_;
  contentLeft_ -= take;
  got = take;
  return kArOk;
}

// --- legacy -------------------------------------------------------------------------

int LegacyArReader::Fail(int status, const std::string& why) {
  failed_ = true;
  error_ = why;
  return status;
}

const char* LegacyArReader::Name(std::int32_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= names_.size()) return nullptr;
  return names_[static_cast<std::size_t>(index)].c_str();
}

int LegacyArReader::Open() {
  unsigned char bytes[kLegacyHeaderSize];
  if (source_.Read(bytes, sizeof bytes) != sizeof bytes) return Fail(kArReadError, "cannot read the legacy header");
  if (!IsLegacyLayout(bytes, sizeof bytes)) return Fail(kArDefective, "no legacy marker");
  header_ = DecodeLegacyHeader(bytes);
  const std::uint64_t size = source_.Size();
  const LegacyHeader& h = header_;
  if (h.firstEntry < kLegacyHeaderSize || h.firstEntry > h.namesStart || h.namesStart > h.namesEnd ||
      h.namesEnd > size)
    return Fail(kArDefective, "the legacy offsets (entries " + std::to_string(h.firstEntry) + ", names " +
                                  std::to_string(h.namesStart) + " to " + std::to_string(h.namesEnd) +
                                  ") do not fit the file of " + std::to_string(size) + " bytes");

  const std::size_t length = h.namesEnd - h.namesStart;
  std::vector<unsigned char> table;
  try {
    table.resize(length);
  } catch (const std::bad_alloc&) {
    return Fail(kArNoMemory, "no memory for the names table");
  }
  if (!source_.Seek(h.namesStart) || source_.Read(table.data(), length) != length)
    return Fail(kArReadError, "cannot read the legacy names table");
  // A name starts at the table's start and after every NUL that a non-NUL follows.
  for (std::size_t at = 0; at < length || names_.empty();) {
    std::size_t end = at;
    while (end < length && table[end] != 0) ++end;
    if (end - at > kMaxNameLength) return Fail(kArDefective, "a legacy name is longer than a path");
    names_.emplace_back(reinterpret_cast<const char*>(table.data()) + at, end - at);
    while (end < length && table[end] == 0) ++end;
    at = end;
    if (at >= length) break;
  }
  if (Name(h.driveIndex) == nullptr || Name(h.pathIndex) == nullptr)
    return Fail(kArDefective, "the legacy drive or path index is outside the names table");
  position_ = h.firstEntry;
  open_ = true;
  return kArOk;
}

int LegacyArReader::Next(LegacyArEntry& entry, bool& found) {
  found = false;
  if (!open_ || failed_) return failed_ ? kArDefective : kArMisuse;
  const std::uint64_t end = header_.namesStart;
  if (position_ >= end) return kArOk;
  if (end - position_ < kLegacyEntrySize) return Fail(kArDefective, "a legacy entry runs into the names table");
  unsigned char bytes[kLegacyEntrySize];
  if (!source_.Seek(position_) || source_.Read(bytes, sizeof bytes) != sizeof bytes)
    return Fail(kArReadError, "cannot read a legacy entry");
  entry.header = DecodeLegacyEntry(bytes);
  const LegacyEntry& e = entry.header;
  // The content is read right after the 60 header bytes and the next entry
  // starts after entryLength + contentLength bytes: both must stay before the
  // names table, and the header length must at least cover the header.
  if (e.entryLength < kLegacyEntrySize) return Fail(kArDefective, "a legacy entry header length is below 60");
  const std::uint64_t left = end - position_;
  if (e.entryLength > left || e.contentLength > left - e.entryLength)
    return Fail(kArDefective, "a legacy entry runs into the names table");
  const char* name = Name(e.nameIndex);
  if (name == nullptr) return Fail(kArDefective, "a legacy name index is outside the names table");
  entry.path = name;
  contentAt_ = position_ + kLegacyEntrySize;
  contentLeft_ = e.contentLength;
  position_ += std::uint64_t{e.entryLength} + e.contentLength;
  found = true;
  return kArOk;
}

int LegacyArReader::ReadContent(void* buffer, std::size_t n, std::size_t& got) {
  got = 0;
  if (failed_) return kArDefective;
  const std::size_t take = contentLeft_ < n ? static_cast<std::size_t>(contentLeft_) : n;
  if (take == 0) return kArOk;
  if (!source_.Seek(contentAt_) || source_.Read(buffer, take) != take)
    return Fail(kArReadError, "cannot read legacy content");
  contentAt_ += take;
  contentLeft_ -= take;
  got = take;
  return kArOk;
}

}  // namespace bk::ar
