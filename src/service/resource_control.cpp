#include "service/resource_control.h"

#include <cstring>

#include "common/file_names.h"
#include "common/text.h"
#include "service/resource_key.h"

bool vskRcfRecordMatches(const unsigned char* record, const char* name, const char* version,
                         const char* generation) {
  return vskKeyFieldMatches(record + kRcfName, kVskNameWidth, name) &&
         vskKeyFieldMatches(record + kRcfVersion, kVskVersionWidth, version) &&
         vskKeyFieldMatches(record + kRcfGeneration, kVskGenerationWidth, generation);
}

bool vskRcfArchiveName(const unsigned char* record, char* out) {
  const std::size_t n = bk::BoundedLength(reinterpret_cast<const char*>(record + kRcfArchive), kRcfArchiveWidth);
  std::memcpy(out, record + kRcfArchive, n);
  out[n] = '\0';
  return bk::IsPlainFileName(out);
}
