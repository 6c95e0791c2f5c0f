// The JSON writer of bkrtool: ANSI text to UTF-8, string escaping, objects
// and the closing members every --json output ends with.
#include "json.h"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>

#include <vector>
#endif

namespace bkrtool {

namespace {

bool g_json = false;

#if !defined(_WIN32)
// Length of the valid UTF-8 sequence at text[at], 0 when there is none
// (overlong forms, surrogates and values above U+10FFFF are not valid).
std::size_t Utf8Sequence(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}
#endif

}  // namespace

std::string AnsiToUtf8(const std::string& text) {
  bool ascii = true;
  for (unsigned char c : text) ascii = ascii && c < 0x80;
  if (ascii) return text;
#if defined(_WIN32)
  const int size = static_cast<int>(text.size());
  const int wide = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (wide <= 0) return std::string();
  std::vector<wchar_t> utf16(static_cast<std::size_t>(wide));
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, utf16.data(), wide);
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, out.data(), bytes, nullptr, nullptr);
  return out;
#else
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8Sequence(text, at);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
#endif
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : AnsiToUtf8(text)) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

void SetJsonOutput(bool on) { g_json = on; }
bool JsonOutput() { return g_json; }

JsonObject& JsonObject::Member(const char* name, const std::string& json) {
  if (body_.size() > 1) body_ += ',';
  body_ += JsonString(name) + ":" + json;
  return *this;
}

JsonObject& JsonObject::Text(const char* name, const std::string& text) { return Member(name, JsonString(text)); }
JsonObject& JsonObject::TextOrNull(const char* name, const std::string& text) {
  return Member(name, text.empty() ? "null" : JsonString(text));
}
JsonObject& JsonObject::Number(const char* name, long long value) { return Member(name, std::to_string(value)); }
JsonObject& JsonObject::Unsigned(const char* name, unsigned long long value) {
  return Member(name, std::to_string(value));
}
JsonObject& JsonObject::Bool(const char* name, bool value) { return Member(name, value ? "true" : "false"); }
JsonObject& JsonObject::Null(const char* name) { return Member(name, "null"); }
JsonObject& JsonObject::Json(const char* name, const std::string& json) { return Member(name, json); }

std::string JsonObject::Str() const { return body_ + "}"; }

std::string JsonEnd(int exitCode, const std::string& error) {
  std::string end = ",\"exitCode\":" + std::to_string(exitCode);
  if (exitCode != 0) end += ",\"error\":" + JsonString(error);
  return end + "}";
}

int PrintJson(const JsonObject& object, int exitCode, const std::string& error) {
  std::string text = object.Open();
  const std::string end = JsonEnd(exitCode, error);
  text += text.size() > 1 ? end : end.substr(1);  // no comma after the brace of an empty object
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
  return exitCode;
}

}  // namespace bkrtool
