#pragma once
// Readers of resource archives. Both take their bytes from an ArSource and
// check every count, index, length and size against the layout's limits and
// the bytes that remain before using it: a defective archive ends the reading
// with a result, never with a read or write outside a buffer.
//
//   ArReader reader(source);
//   if (reader.Open() != kArOk) ...;          // header check, header names
//   ArEntry entry;
//   bool found;
//   while (reader.Next(entry, found) == kArOk && found) {
//     ... entry.path, entry.header; reader.ReadContent(...) for a file ...
//   }
//   reader.Status() tells why the loop ended (kArOk at the regular end).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/ar_format.h"
#include "archive/ar_io.h"
#include "archive/ar_names.h"

namespace bk::ar {

// The part of the layout a reader was at when it failed.
enum class ArPart { kNone, kHeader, kEntryHeader, kAssociated, kNames, kContent };

struct ArEntry {
  VsConFileIn header;
  std::string path;                    // the relative path ("." for the base itself)
  bool hasSecurity = false;            // an associated-information block of type 5
  std::vector<unsigned char> security; // its payload (a self-relative security descriptor)
};

// The current layout.
class ArReader {
 public:
  explicit ArReader(ArSource& source) : source_(source) {}

  // Reads and checks the header, skips skipSize bytes and loads the header
  // names. kArDefectiveHeader after the header check's messages; a header
  // that cannot be read whole is checked as zeros, so it fails the same way.
  int Open();
  // The next entry, with its associated information and names read; its
  // content is left for ReadContent (the rest is skipped by the next call).
  // `found` is false at the regular end of the archive.
  int Next(ArEntry& entry, bool& found);
  // Reads up to n bytes of the current entry's content; `got` 0 at its end.
  int ReadContent(void* buffer, std::size_t n, std::size_t& got);
  // Moves past the rest of the current entry's content without reading it
  // (the next Next() call would do the same).
  int SkipContent();

  // When on (before Open), associated-information blocks are moved over
  // whole without reading a byte of them: entries then never carry security
  // data. For readers that need names and headers only (the list builder).
  void SetSkipAssociated(bool on) { skipAssociated_ = on; }

  const VsConReIn& Header() const { return header_; }
  const MatchTable& Names() const { return names_; }
  const char* DriveName() const { return names_.Name(header_.driveNo); }
  const char* BasePathName() const { return names_.Name(header_.pathNo); }
  std::uint64_t Position() const { return position_; }
  int Status() const { return status_; }
  // What was wrong, for people (empty after success).
  const std::string& Error() const { return error_; }
  // Where the reading stopped after a failure (kNone after success).
  ArPart FailedPart() const { return status_ != kArOk ? part_ : ArPart::kNone; }

 private:
  int Fail(int status, const std::string& why);
  int ReadExact(void* buffer, std::size_t n, const char* what);
  int ReadNames(std::uint32_t length, const char* what);
  int SkipTo(std::uint64_t position);

  ArSource& source_;
  VsConReIn header_;
  MatchTable names_;
  std::uint64_t position_ = 0;       // offset of the next unread byte
  std::uint64_t contentLeft_ = 0;    // of the current entry
  int status_ = kArOk;
  std::string error_;
  bool open_ = false;
  bool skipAssociated_ = false;
  ArPart part_ = ArPart::kNone;
};

struct LegacyArEntry {
  LegacyEntry header;
  std::string path;  // from the names table, "\" separators
};

// The legacy layout (read only).
class LegacyArReader {
 public:
  explicit LegacyArReader(ArSource& source) : source_(source) {}
  int Open();
  int Next(LegacyArEntry& entry, bool& found);
  int ReadContent(void* buffer, std::size_t n, std::size_t& got);

  const LegacyHeader& Header() const { return header_; }
  std::size_t NameCount() const { return names_.size(); }
  // Names are numbered from 0; null outside the table.
  const char* Name(std::int32_t index) const;
  const std::string& Error() const { return error_; }

 private:
  int Fail(int status, const std::string& why);

  ArSource& source_;
  LegacyHeader header_;
  std::vector<std::string> names_;
  std::uint64_t position_ = 0;
  std::uint64_t contentAt_ = 0, contentLeft_ = 0;
  std::string error_;
  bool open_ = false;
  bool failed_ = false;
};

}  // namespace bk::ar
