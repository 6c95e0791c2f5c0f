// HOSTSYS records from any bytes: every field is read inside its record, and
// a record counts as usable only when its directory is one folder name
// "HOSTnnnn" that stays below the resource directory it is joined to.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/path_reference.h"
#include "multiserver/hostsys_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (std::size_t at = 0; at + kHostsysRecordSize <= size; at += kHostsysRecordSize) {
    // A copy of exactly one record, so that a read past it is caught.
    unsigned char* record = new unsigned char[kHostsysRecordSize];
    std::memcpy(record, data + at, kHostsysRecordSize);
    const HostsysRecord r = vskHostsysDecode(record);
    delete[] record;
    if (std::strlen(r.host) > kHostsysHostWidth || std::strlen(r.dir) > kHostsysDirWidth) std::abort();
    if (r.kind != data[at + kHostsysKind]) std::abort();
    if (!r.Usable()) continue;
    if (r.number > kHostsysMaxNumber || std::strlen(r.dir) != 8) std::abort();
    if (!bk::fuzz::StaysBelow("C:\\CLIENT\\RESOURCE", r.dir)) std::abort();
  }
  return 0;
}
