// C0000000 records from any bytes: the key comparison and the archive name
// read only their fields, and an accepted archive name joined to the
// resource directory names a file directly inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/path_reference.h"
#include "service/resource_control.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kRcfRecordSize) return 0;
  unsigned char* record = new unsigned char[kRcfRecordSize];
  std::memcpy(record, data, kRcfRecordSize);
  // The key: the rest of the input, cut into three texts.
  const std::string rest(reinterpret_cast<const char*>(data) + kRcfRecordSize, size - kRcfRecordSize);
  const std::string name = rest.substr(0, 44), version = rest.size() > 44 ? rest.substr(44, 8) : "",
                    generation = rest.size() > 52 ? rest.substr(52, 4) : "";
  (void)vskRcfRecordMatches(record, name.c_str(), version.c_str(), generation.c_str());
  char archive[kRcfArchiveWidth + 1];
  const bool plain = vskRcfArchiveName(record, archive);
  delete[] record;
  if (std::strlen(archive) > kRcfArchiveWidth) std::abort();
  if (std::memcmp(archive, data + kRcfArchive, std::strlen(archive)) != 0) std::abort();
  if (plain && !bk::fuzz::StaysBelow("C:\\CLIENT\\RESOURCE\\HOST0000", archive)) std::abort();
  return 0;
}
