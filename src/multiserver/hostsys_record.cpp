#include "multiserver/hostsys_record.h"

#include <cstring>

#include "common/file_names.h"
#include "common/text.h"

HostsysRecord vskHostsysDecode(const unsigned char* bytes) {
  HostsysRecord out;
  const std::size_t hostLength =
      bk::BoundedLength(reinterpret_cast<const char*>(bytes + kHostsysHost), kHostsysHostWidth);
  std::memcpy(out.host, bytes + kHostsysHost, hostLength);
  out.host[hostLength] = '\0';
  out.kind = bytes[kHostsysKind];
  const std::size_t dirLength = bk::BoundedLength(reinterpret_cast<const char*>(bytes + kHostsysDir), kHostsysDirWidth);
  std::memcpy(out.dir, bytes + kHostsysDir, dirLength);
  out.dir[dirLength] = '\0';
  out.number = bk::HostDirNumber(out.dir);
  return out;
}
