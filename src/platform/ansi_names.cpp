#include "platform/ansi_names.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/unique_handle.h"

namespace bk::win {

bool ExactAnsiName(const wchar_t* wide, std::string& ansi) {
  ansi.clear();
  const int length = static_cast<int>(std::wcslen(wide));
  if (length == 0) return true;
  // A UTF-8 code page takes neither the flag nor the default-character report
  // (and has no best fit); the way back below checks it.
  const bool utf8 = ::GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = utf8 ? nullptr : &usedDefault;
  const int size = ::WideCharToMultiByte(CP_ACP, flags, wide, length, nullptr, 0, nullptr, used);
  if (size <= 0 || usedDefault) return false;
  ansi.resize(static_cast<std::size_t>(size));
  if (::WideCharToMultiByte(CP_ACP, flags, wide, length, ansi.data(), size, nullptr, used) != size || usedDefault)
    return false;
  // Back again: only a text that names the same file counts.
  std::wstring back;
  return WideFromAnsi(ansi.c_str(), back) && back == std::wstring(wide, static_cast<std::size_t>(length));
}

bool WideFromAnsi(const char* ansi, std::wstring& wide) {
  wide.clear();
  const int length = static_cast<int>(std::strlen(ansi));
  if (length == 0) return true;
  const int size = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, length, nullptr, 0);
  if (size <= 0) return false;
  wide.resize(static_cast<std::size_t>(size));
  return ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi, length, wide.data(), size) == size;
}

std::string ShownName(const wchar_t* wide) {
  std::string shown;
  for (const wchar_t* p = wide; *p != L'\0';) {
    const bool pair = p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF;
    const std::wstring one(p, pair ? 2 : 1);
    std::string ansi;
    if (ExactAnsiName(one.c_str(), ansi)) {
      shown += ansi;
    } else {
      const unsigned long code =
          pair ? 0x10000ul + ((static_cast<unsigned long>(p[0]) - 0xD800) << 10) + (p[1] - 0xDC00) : p[0];
      char text[16];
      std::snprintf(text, sizeof text, "<U+%04lX>", code);
      shown += text;
    }
    p += pair ? 2 : 1;
  }
  return shown;
}

namespace {

// The ANSI search data of a wide entry; false when the long name is not exact.
bool ToAnsi(const WIN32_FIND_DATAW& in, WIN32_FIND_DATAA& out) {
  out = WIN32_FIND_DATAA{};
  out.dwFileAttributes = in.dwFileAttributes;
  out.ftCreationTime = in.ftCreationTime;
  out.ftLastAccessTime = in.ftLastAccessTime;
  out.ftLastWriteTime = in.ftLastWriteTime;
  out.nFileSizeHigh = in.nFileSizeHigh;
  out.nFileSizeLow = in.nFileSizeLow;
  out.dwReserved0 = in.dwReserved0;
  out.dwReserved1 = in.dwReserved1;
  std::string name, alternate;
  if (ExactAnsiName(in.cAlternateFileName, alternate) && alternate.size() < sizeof out.cAlternateFileName)
    std::memcpy(out.cAlternateFileName, alternate.c_str(), alternate.size() + 1);
  if (!ExactAnsiName(in.cFileName, name) || name.size() >= sizeof out.cFileName) return false;
  std::memcpy(out.cFileName, name.c_str(), name.size() + 1);
  return true;
}

}  // namespace

DWORD FindAnsiEntries(const std::string& pattern, std::vector<AnsiEntry>& entries, bool& closeFailed) {
  entries.clear();
  closeFailed = false;
  std::wstring widePattern;
  if (!WideFromAnsi(pattern.c_str(), widePattern)) return ERROR_NO_UNICODE_TRANSLATION;
  WIN32_FIND_DATAW found;
  unique_hfind search(::FindFirstFileW(widePattern.c_str(), &found));
  if (!search) return ::GetLastError();
  DWORD error = 0;
  try {
    do {
      if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) continue;
      AnsiEntry entry;
      entry.exact = ToAnsi(found, entry.data);
      entry.shown = entry.exact ? std::string(entry.data.cFileName) : ShownName(found.cFileName);
      entries.push_back(std::move(entry));
    } while (::FindNextFileW(search.get(), &found));
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (::GetLastError() != ERROR_NO_MORE_FILES) error = ::GetLastError();
  if (!::FindClose(search.release()) && error == 0) {
    closeFailed = true;
    error = ::GetLastError();
  }
  return error;
}

}  // namespace bk::win
