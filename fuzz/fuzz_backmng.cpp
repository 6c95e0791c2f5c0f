// BACKMNG from any bytes: the records after the count, the key comparison
// on each, and the backup directory named by a record only when it is one
// folder directly inside the backup root.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/path_reference.h"
#include "service/management_file.h"
#include "service/resource_key.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kBkmnHeaderSize) return 0;
  for (std::size_t at = kBkmnHeaderSize; at + kBkmnRecordSize <= size; at += kBkmnRecordSize) {
    unsigned char* record = new unsigned char[kBkmnRecordSize];
    std::memcpy(record, data + at, kBkmnRecordSize);
    (void)vskKeyMatches(record + kBkmnName, "APP", "V1", "G1");
    const bool accepted = vskBKRVIsBackupDirName(record + kBkmnDirectory);
    const std::string name(reinterpret_cast<const char*>(record + kBkmnDirectory), kBkmnDirectoryWidth);
    delete[] record;
    if (accepted && (name.find('\0') != std::string::npos || !bk::fuzz::StaysBelow("C:\\BACKUP", name)))
      std::abort();
  }
  return 0;
}
