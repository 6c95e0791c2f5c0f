#include "common/file_names.h"

#include <cstring>

#include "common/text.h"

namespace bk {

bool IsPlainFileName(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  bool onlyDotsAndSpaces = true;
  for (const char* p = name; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || std::strchr("\\/:*?\"<>|", c) != nullptr) return false;
    if (c != '.' && c != ' ') onlyDotsAndSpaces = false;
  }
  return !onlyDotsAndSpaces;
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
