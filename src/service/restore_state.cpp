#include <cstring>

#include "service/service.h"

namespace {
VskRestoreState g_restore;
}

VskRestoreState& vskRestoreState() { return g_restore; }

void vskRestoreClearState() {
  g_restore.directory[0] = '\0';
  std::memset(g_restore.savedEntry + kVskEntryInstallDate, ' ', 12);
}
