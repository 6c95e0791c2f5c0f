#pragma once
// The --json output of the commands: one JSON object on standard output per
// run, whatever the outcome, whose last members are "exitCode" (the process's
// exit code) and, when that is not 0, "error" (what the text output says on
// standard error). Texts are the client's ANSI text: they are converted to
// UTF-8 before they are escaped.
#include <string>

namespace bkrtool {

// Text of the ANSI code page as UTF-8. Natively, where the texts are the
// system's own bytes, valid UTF-8 stands as it is and any other byte becomes
// U+FFFD.
std::string AnsiToUtf8(const std::string& text);

// Text as a JSON string literal (converted to UTF-8; quotes, backslashes and
// control characters escaped).
std::string JsonString(const std::string& text);

// Whether this run prints JSON: set by main() from the command line before
// the command runs, so that a failure found anywhere is printed as JSON too.
void SetJsonOutput(bool on);
bool JsonOutput();

// One object, member by member, in the order added: {"name":value,...}.
class JsonObject {
 public:
  JsonObject& Text(const char* name, const std::string& text);
  JsonObject& TextOrNull(const char* name, const std::string& text);  // null when empty
  JsonObject& Number(const char* name, long long value);
  JsonObject& Unsigned(const char* name, unsigned long long value);
  JsonObject& Bool(const char* name, bool value);
  JsonObject& Null(const char* name);
  JsonObject& Json(const char* name, const std::string& json);  // a value already in JSON
  // The object, closed.
  std::string Str() const;
  // The object without its closing brace, for a caller that adds more.
  const std::string& Open() const { return body_; }

 private:
  JsonObject& Member(const char* name, const std::string& json);
  std::string body_ = "{";
};

// The closing members of an object: ,"exitCode":N (and ,"error":... when
// exitCode is not 0) and the closing brace.
std::string JsonEnd(int exitCode, const std::string& error = std::string());

// Prints `object` closed by JsonEnd on standard output; returns exitCode.
int PrintJson(const JsonObject& object, int exitCode, const std::string& error = std::string());

}  // namespace bkrtool
