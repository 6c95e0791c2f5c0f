#pragma once
// A plain model of how Windows resolves a path joined from a folder and a
// name read from a file, kept apart from the service's own checks: "/" and
// "\" both separate, a drive or a leading separator starts anew, "." and ".."
// are resolved, trailing dots and blanks of an element are dropped.
#include <string>
#include <vector>

namespace bk::fuzz {

inline std::vector<std::string> Elements(const std::string& path) {
  std::vector<std::string> out;
  std::string element;
  auto flush = [&] {
    while (!element.empty() && (element.back() == '.' || element.back() == ' ')) {
      if (element == "." || element == "..") break;
      element.pop_back();
    }
    if (element.empty() || element == ".") {
    } else if (element == "..") {
      if (!out.empty()) out.pop_back();
    } else {
      out.push_back(element);
    }
    element.clear();
  };
  for (char c : path) {
    if (c == '\\' || c == '/') {
      flush();
    } else {
      element += c;
    }
  }
  flush();
  return out;
}

// True when base + "\" + name resolves to one element directly below base.
inline bool StaysBelow(const std::string& base, const std::string& name) {
  if (name.empty() || name.find(':') != std::string::npos) return false;
  const std::vector<std::string> folder = Elements(base);
  const std::vector<std::string> joined = Elements(base + "\\" + name);
  if (joined.size() != folder.size() + 1) return false;
  for (std::size_t i = 0; i < folder.size(); ++i)
    if (joined[i] != folder[i]) return false;
  return true;
}

}  // namespace bk::fuzz
