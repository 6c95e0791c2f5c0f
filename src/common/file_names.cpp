#include "common/file_names.h"

#include <cstring>

#include "common/text.h"

namespace bk {

namespace {

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices in every folder, also
// with an extension ("NUL.txt") or trailing blanks.
bool IsDeviceName(const char* name) {
  std::size_t n = 0;
  while (name[n] != '\0' && name[n] != '.') ++n;
  while (n > 0 && name[n - 1] == ' ') --n;
  char base[5] = {};
  if (n < 3 || n > 4) return false;
  for (std::size_t i = 0; i < n; ++i) base[i] = AsciiUpper(name[i]);
  if (n == 3) return std::strcmp(base, "CON") == 0 || std::strcmp(base, "PRN") == 0 ||
                     std::strcmp(base, "AUX") == 0 || std::strcmp(base, "NUL") == 0;
  return (std::strncmp(base, "COM", 3) == 0 || std::strncmp(base, "LPT", 3) == 0) && base[3] >= '1' &&
         base[3] <= '9';
}

}  // namespace

bool IsPlainFileName(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  bool onlyDotsAndSpaces = true;
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr) return false;
    if (c != '.' && c != ' ') onlyDotsAndSpaces = false;
  }
  return !onlyDotsAndSpaces && !IsDeviceName(name);
}

int HostDirNumber(const char* name) {
  if (name == nullptr || std::strlen(name) != 8 || CompareIgnoreCaseN(name, "HOST", 4) != 0) return -1;
  int n = 0;
  for (int i = 4; i < 8; ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

}  // namespace bk
