#include "logging/log_record.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace bk::log {
namespace {

// Lays out header + text as one record of `length` bytes.
void Finish(char* out, std::size_t length, const char* header, const char* text) {
  const std::size_t body = length - 2;
  std::size_t used = 0;
  for (const char* part : {header, text}) {
    for (const char* p = part; *p != '\0' && used < body; ++p) out[used++] = *p;
  }
  std::memset(out + used, ' ', body - used);
  out[body] = '\r';
  out[body + 1] = '\n';
}

void ClassicHeader(char (&header)[kMaxRecord], std::uint32_t number, const Stamp& s,
                   const char* label) {
  std::snprintf(header, sizeof header, "%4.4d  %d/%02d/%02d %02d:%02d:%02d:%03d [%010u] %-8s ",
                static_cast<int>(number), static_cast<int>(s.year), static_cast<int>(s.month),
                static_cast<int>(s.day), static_cast<int>(s.hour), static_cast<int>(s.minute),
                static_cast<int>(s.second), static_cast<int>(s.millisecond),
                static_cast<unsigned>(s.threadId), label);
}

void LongHeader(char (&header)[kMaxRecord], std::uint32_t number, const Stamp& s,
                const char* label) {
  std::snprintf(header, sizeof header,
                "%04u %04u/%02u/%02u %02u:%02u:%02u:%03u %05u:%05u:%03u %-8s %-8s ",
                static_cast<unsigned>(number), s.year, s.month, s.day, s.hour, s.minute, s.second,
                s.millisecond, static_cast<unsigned>(s.processId % 100000u),
                static_cast<unsigned>(s.threadId % 100000u),
                static_cast<unsigned>(s.sessionId % 1000u), s.program ? s.program : "", label);
}

const char* OrEmpty(const char* text) { return text ? text : ""; }

}  // namespace

void BuildClassicRecord(char* out, std::size_t length, std::uint32_t number, const Stamp& stamp,
                        const char* category, const char* message) {
  char header[kMaxRecord];
  ClassicHeader(header, number, stamp, OrEmpty(category));
  Finish(out, length, header, OrEmpty(message));
}

void BuildLongRecord(char* out, std::size_t length, std::uint32_t number, const Stamp& stamp,
                     const char* category, const char* message) {
  char header[kMaxRecord];
  LongHeader(header, number, stamp, OrEmpty(category));
  Finish(out, length, header, OrEmpty(message));
}

void BuildMainLine(char* out, std::size_t length, bool siteServerForm, std::uint32_t number,
                   const Stamp& stamp, const char* severity, const char* text, int lineNumber) {
  char header[kMaxRecord];
  if (lineNumber <= 1) {
    if (siteServerForm)
      LongHeader(header, number, stamp, OrEmpty(severity));
    else
      ClassicHeader(header, number, stamp, OrEmpty(severity));
  } else {
    std::snprintf(header, sizeof header, "%4.4d%*s", static_cast<int>(number),
                  siteServerForm ? 61 : 42, "");
  }
  Finish(out, length, header, OrEmpty(text));
}

bool FormatApiError(char* out, int kind, const char* info, std::int32_t error,
                    const char* sourceFile, std::int32_t line) {
  const char* format = nullptr;
  switch (kind) {
    case 1: format = "Windows API error occurred. Error %d, Info: %s [%s:%d]"; break;
    case 2: format = "C library error occurred. Error %d, Info: %s [%s:%d]"; break;
    case 3: format = "WinSock API error occured. Error %d, Info: %s [%s:%d]"; break;
    default: return false;
  }
  char cut[768];
  std::snprintf(cut, sizeof cut, "%s", OrEmpty(info));
  std::snprintf(out, kMaxRecord, format, static_cast<int>(error), cut, OrEmpty(sourceFile),
                static_cast<int>(line));
  return true;
}

}  // namespace bk::log
