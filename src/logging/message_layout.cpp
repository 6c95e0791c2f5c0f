#include "logging/message_layout.h"

#include <cstdio>
#include <cstring>

namespace bk::log {
namespace {

constexpr std::size_t kSelfManagedPiece = 104;
constexpr std::size_t kClassicWidth = 120;
constexpr std::size_t kSiteServerWidth = 110;
// Room for the longest line: a piece of a 1023-byte text with its labels and a
// category of any sensible length (longer ones are cut by the formatting).
constexpr std::size_t kLineSize = 1400;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

int AsInt(std::size_t n) { return static_cast<int>(n); }

}  // namespace

const char* SeverityLabel(std::uint32_t code) {
  static const char* const kLabels[4] = {"Success      ", "Informational", "Warning      ",
                                         "Error        "};
  return kLabels[Severity(code)];
}

unsigned EventLevelBit(std::uint32_t code) {
  static const unsigned kBits[4] = {4, 4, 2, 1};
  return kBits[Severity(code)];
}

const char* FacilityLabel(std::uint32_t code) {
  const unsigned n = MessageNumber(code);
  if (n <= 999) return "System  ";
  if (n >= 1000 && n <= 1999) return "TCP/IP  ";
  if (n >= 5000 && n <= 5999) return "Setup   ";
  if (n >= 6000 && n <= 6999) return "Package ";
  if (n >= 7000 && n <= 7999) return "Install ";
  if (n >= 8000 && n <= 8999) return "Server  ";
  if (n >= 10000 && n <= 19999) return "Server  ";
  if (n >= 20000 && n <= 29999) return "Share   ";
  if (n >= 60000) return "User    ";
  return "********";
}

bool CarriesSourcePosition(std::uint32_t code) {
  switch (code) {
    case 0xC0000002: case 0xC0000003: case 0xC00003EB: case 0xC0001394:
    case 0xC0001771: case 0xC0001B65: case 0xC0001B66: case 0xC0004E20:
      return true;
    default:
      return false;
  }
}

void BuildEventText(char (&out)[kEventTextSize], std::uint32_t code, const char* text,
                    const char* sourceFile, std::int32_t line) {
  std::memset(out, 0, sizeof out);
  if (text == nullptr) return;
  std::size_t used = 0;
  while (used < kMaxCallerText && text[used] != '\0') {
    out[used] = text[used];
    ++used;
  }
  if (!CarriesSourcePosition(code) || sourceFile == nullptr) return;
  const char* slash = std::strrchr(sourceFile, '\\');
  if (slash == nullptr) return;
  std::snprintf(out + used, sizeof out - used, " [%s:%d]", slash + 1, static_cast<int>(line));
}

bool IsJapaneseLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

bool IsJapaneseTrailByte(unsigned char c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC); }

std::size_t CutAtCharacter(const char* text, std::size_t length, std::size_t start, std::size_t n,
                           LeadBytePredicate isLead) {
  if (start >= length) return 0;
  const std::size_t remaining = length - start;
  if (remaining <= n) return remaining;
  if (n == 0) return 0;
  std::size_t at = start;
  for (;;) {
    const std::size_t step = isLead(static_cast<unsigned char>(text[at])) ? 2 : 1;
    if (at + step > start + n) break;
    at += step;
  }
  // A piece of one byte whose byte starts a character: splitting it is the
  // only way forward.
  return at > start ? at - start : n;
}

std::size_t UserLogCut(const char* p, std::size_t remaining, std::size_t n) {
  if (remaining < n) return remaining;
  if (n == 0) return 0;
  const auto at = [p](std::size_t i) { return static_cast<unsigned char>(p[i]); };
  if (!IsJapaneseLeadByte(at(n - 1))) return n;
  if (!IsJapaneseTrailByte(at(n - 1))) return n - 1;
  std::size_t walk = 0;
  while (walk <= n - 1) walk += IsJapaneseLeadByte(at(walk)) ? 2 : 1;
  const std::size_t piece = walk == n ? n : n - 1;
  return piece > 0 ? piece : n;
}

void ForEachMainLogLine(MainLogForm form, const char* facility, const char* category,
                        const char* m, std::size_t length, LeadBytePredicate isLead,
                        LineSink sink, void* context) {
  facility = OrEmpty(facility);
  category = OrEmpty(category);
  char line[kLineSize];
  if (form == MainLogForm::kSelfManaged) {
    std::size_t start = 0;
    int number = 1;
    do {
      const std::size_t piece = CutAtCharacter(m, length, start, kSelfManagedPiece, isLead);
      std::snprintf(line, sizeof line, "%s %-8s %.*s", facility, category, AsInt(piece), m + start);
      sink(context, line, number++);
      start += piece;
    } while (start < length);
    return;
  }

  const bool site = form == MainLogForm::kSiteServer;
  const std::size_t width = site ? kSiteServerWidth : kClassicWidth;
  const std::size_t c = std::strlen(category) + 2;
  // A category as wide as the line leaves the first line without text.
  const std::size_t first = c < width ? width - c : 0;
  const std::size_t firstPiece = CutAtCharacter(m, length, 0, first, isLead);
  std::snprintf(line, sizeof line, "%s\t(%s) %.*s", facility, category, AsInt(firstPiece), m);
  sink(context, line, 1);
  const char* further = site ? "      \t     \t" : "        \t     \t";
  int number = 2;
  for (std::size_t start = firstPiece; start < length;) {
    const std::size_t piece = CutAtCharacter(m, length, start, width, isLead);
    std::snprintf(line, sizeof line, "%s%.*s", further, AsInt(piece), m + start);
    sink(context, line, number++);
    start += piece;
  }
}

// A short message (one that fits the first record) is not cut down to its
// first line: its further lines follow, indented, exactly as those of a long
// message do. Writing only the first line would silently drop the rest.
void ForEachUserLogRecord(const char* x, std::size_t n, std::size_t width, LineSink sink,
                          void* context) {
  if (n == 0) return;
  // Widths too small for any text still move forward one byte at a time.
  const std::size_t firstWidth = width > 0 ? width : 1;
  const std::size_t nextWidth = width > kUserLogIndent + 1 ? width - kUserLogIndent : 1;
  const auto lineEnd = [x, n](std::size_t from) {
    while (from < n && x[from] != '\r' && x[from] != '\n' && x[from] != '\0') ++from;
    return from;
  };
  char record[kLineSize];
  int number = 1;

  std::size_t at = 0;
  const std::size_t firstLine = lineEnd(0);
  const std::size_t firstPiece = UserLogCut(x, firstLine, firstWidth);
  std::snprintf(record, sizeof record, "%.*s", AsInt(firstPiece), x);
  sink(context, record, number++);
  at = firstPiece;

  while (at < n) {
    while (at < n && (x[at] == '\0' || x[at] == '\r' || x[at] == '\n')) ++at;
    if (at >= n) break;
    const std::size_t end = lineEnd(at);
    while (at < end) {
      const std::size_t piece = end - at < nextWidth ? end - at : UserLogCut(x + at, end - at, nextWidth);
      std::snprintf(record, sizeof record, "%*s%.*s", AsInt(kUserLogIndent), "", AsInt(piece), x + at);
      sink(context, record, number++);
      at += piece;
    }
  }
}

}  // namespace bk::log
