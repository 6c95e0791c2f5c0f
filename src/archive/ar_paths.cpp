#include "archive/ar_paths.h"

#include <cstring>
#include <vector>

namespace bk::ar {

namespace {

std::vector<std::string> Split(const std::string& text, const char* separators) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : text) {
    bool separator = false;
    for (const char* s = separators; *s != '\0'; ++s)
      if (c == *s) separator = true;
    if (separator) {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string Join(const std::vector<std::string>& parts, char separator) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) text += separator;
    text += parts[i];
  }
  return text;
}

}  // namespace

void arConvertSeparators(std::string& text, int mode) {
  if (mode == 2) {
    text = Join(Split(text, "/"), '\\');
  } else if (mode == 3) {
    const bool driveRoot = text.size() == 3 && text[1] == ':' && text[2] == '\\';
    text = Join(Split(text, "\\"), '/');
    if (driveRoot) text += '/';
  } else if (mode == 4) {
    text = Join(Split(text, "\\"), '\\');
  }
}

std::string EntryPath(const std::string& base, const std::string& name) {
  std::string path = base + "\\" + name;
  arConvertSeparators(path, 2);
  if (path.empty() || path[0] != '\\') arConvertSeparators(path, 4);
  if (!path.empty() && path.back() == ':') path += '\\';
  return path;
}

bool IsSafeEntryName(const char* name, std::string* why) {
  auto fail = [&](const char* text) {
    if (why != nullptr) *why = text;
    return false;
  };
  if (name == nullptr || *name == '\0') return fail("the name is empty");
  const std::string text(name);
  if (text[0] == '/' || text[0] == '\\') return fail("the name is absolute");
  for (unsigned char c : text) {
    if (c == ':') return fail("the name holds a drive or stream colon");
    if (c < 0x20) return fail("the name holds a control character");
  }
  for (const std::string& part : Split(text, "/\\")) {
    if (part == ".") continue;
    // Windows drops trailing dots and blanks of a component, so ". ." or
    // "..." would climb as ".." does.
    bool onlyDotsAndBlanks = true;
    for (char c : part)
      if (c != '.' && c != ' ') onlyDotsAndBlanks = false;
    if (onlyDotsAndBlanks) return fail("the name climbs out of the base directory");
  }
  return true;
}

bool IsSafeBasePathName(const char* name, std::string* why) {
  if (name != nullptr && std::string(name) == "/") return true;
  return IsSafeEntryName(name, why);
}

bool IsProgressName(const char* archivePath) {
  if (archivePath == nullptr) return false;
  const char* name = archivePath;
  for (const char* p = archivePath; *p != '\0'; ++p)
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  const char* dot = std::strrchr(name, '.');
  const std::size_t length = dot != nullptr ? static_cast<std::size_t>(dot - name) : std::strlen(name);
  return length == 8 && name[0] == 'R';
}

}  // namespace bk::ar
