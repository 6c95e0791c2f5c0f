#pragma once
// One HOSTSYS record read into its fields (portable). A record whose
// directory field is not "HOSTnnnn" is damaged: it names no folder of ours
// and is never matched.
#include <cstddef>

#include "multiserver/multiserver.h"

struct HostsysRecord {
  char host[kHostsysHostWidth + 1];  // read inside its field
  unsigned char kind;
  char dir[kHostsysDirWidth + 1];
  int number;                        // of "HOSTnnnn"; -1: damaged
  bool Usable() const { return number >= 0; }
};

// `bytes`: kHostsysRecordSize bytes.
HostsysRecord vskHostsysDecode(const unsigned char* bytes);
