#include <cstring>

#include "service/management_file.h"

bool vskBKRVIsBackupDirName(const unsigned char* field) {
  if (std::memcmp(field, "UPI_", 4) != 0) return false;
  for (std::size_t i = 4; i < kBkmnDirectoryWidth; ++i)
    if (field[i] < 'A' || field[i] > 'Z') return false;
  return true;
}
