// Text helpers of archive creation (portable).
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "archive/ar_create.h"

void arConvertSeparators(char* text, int mode) {
  if (text == nullptr) return;
  char split, join;
  switch (mode) {
    case 2: split = '/', join = '\\'; break;
    case 3: split = '\\', join = '/'; break;
    case 4: split = '\\', join = '\\'; break;
    default: return;
  }
  const std::size_t length = std::strlen(text);
  const bool driveRoot = mode == 3 && length == 3 && text[1] == ':' && text[2] == '\\';
  std::string out;
  out.reserve(length);
  for (const char* p = text; *p != '\0';) {
    if (*p == split) {
      ++p;
      continue;
    }
    const char* end = std::strchr(p, split);
    if (end == nullptr) end = p + std::strlen(p);
    if (!out.empty()) out += join;
    out.append(p, end);
    p = end;
  }
  if (driveRoot) out += '/';
  // Never longer than the text: parts only lose separators.
  std::memcpy(text, out.c_str(), out.size() + 1);
}

void vskGetDateTimeString(int days, char* text) {
  if (text == nullptr) return;
  const std::time_t now = std::time(nullptr) + static_cast<std::time_t>(days) * 86400;
  std::tm local{};
  const std::tm* t = std::localtime(&now);
  if (t != nullptr) local = *t;
  int year = local.tm_year + 1900;
  if (year < 0 || year > 9999) year = 0;
  std::snprintf(text, 15, "%4d%2d%2d%2d%2d%2d", year, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec);
}
