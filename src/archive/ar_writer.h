#pragma once
// Writer of resource archives in the current layout. It keeps the match table
// counters, reuses the names "root", "sys" and short names by index, and
// refuses (rather than cuts) whatever does not fit a field: a name longer
// than 259 bytes, more than 65535 names, a file or an archive of 4 GiB or more.
//
//   ArWriter w(sink);
//   w.Begin('H', "C", "/");
//   w.AddEntry(entry);            // then exactly entry.size bytes of content
//   w.WriteContent(data, n);      // for a regular file
//   w.Finish();                   // final header with arcSize, nameCount, nameMax
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive/ar_format.h"
#include "archive/ar_io.h"

namespace bk::ar {

struct ArNewEntry {
  std::string path;       // relative to the base, "/" separators, "." for the base
  std::string shortName;  // 8.3 name, empty when none
  std::uint64_t size = 0; // content length of a regular file; 0 for a directory
  std::uint32_t mDate = 0, mTime = 0, aDate = 0, aTime = 0;  // date and time codes
  unsigned char fileKind = kKindRegular;
  std::vector<unsigned char> security;  // attached as associated information when not empty
};

class ArWriter {
 public:
  explicit ArWriter(ArSink& sink) : sink_(sink) {}

  // Writes a placeholder header and the header names block (drive name, base
  // path name). compKind is 'N', 'H' or 'Z'.
  int Begin(unsigned char compKind, const std::string& driveName, const std::string& basePathName);
  int AddEntry(const ArNewEntry& entry);
  int WriteContent(const void* data, std::size_t n);
  int Finish();

  std::uint32_t NameCount() const { return nameCount_; }
  std::uint64_t Length() const { return length_; }

 private:
  int AddName(const std::string& name, bool reusable, std::uint16_t* index);
  int Write(const void* data, std::size_t n);
  int FlushNames(std::uint32_t* size);

  ArSink& sink_;
  VsConReIn header_;
  std::vector<unsigned char> pending_;  // names added since the last names block
  std::map<std::string, std::uint16_t> reusable_;
  std::uint32_t nameCount_ = 0;
  std::uint16_t nameMax_ = 0;
  std::uint64_t length_ = 0;
  std::uint64_t contentLeft_ = 0;
  bool begun_ = false, finished_ = false, failed_ = false;
};

}  // namespace bk::ar
