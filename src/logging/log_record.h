#pragma once
// Layouts of the fixed-length log records. Every record is exactly `length`
// bytes: the header fields, the message cut at length - 2 bytes, blanks up to
// length - 2 and CR LF. A category longer than its 8-column field is written
// whole and pushes the following fields to the right.
#include <cstddef>
#include <cstdint>

namespace bk::log {

inline constexpr std::size_t kMaxRecord = 1024;
// Shortest records that still hold their header and line end.
inline constexpr std::size_t kClassicHeaderLength = 52;  // "nnnn  date time [thread] category "
inline constexpr std::size_t kLongHeaderLength = 63;     // "nnnn date time pid:tid:ses program category "
inline constexpr std::size_t kMinClassicRecord = kClassicHeaderLength + 2;
inline constexpr std::size_t kMinLongRecord = kLongHeaderLength + 2;

// Local time and identity of the writer, taken when the record is built.
struct Stamp {
  unsigned year, month, day, hour, minute, second, millisecond;
  std::uint32_t threadId;    // whole id (classic); the long layout prints it modulo 100000
  std::uint32_t processId;   // modulo 100000
  std::uint32_t sessionId;   // modulo 1000
  const char* program;       // lower-case file name of the executable, at most 8 characters
};

// Each builder writes exactly `length` bytes to out (kMinClassicRecord or
// kMinLongRecord <= length <= kMaxRecord; out holds length bytes).
void BuildClassicRecord(char* out, std::size_t length, std::uint32_t number, const Stamp& stamp,
                        const char* category, const char* message);
void BuildLongRecord(char* out, std::size_t length, std::uint32_t number, const Stamp& stamp,
                     const char* category, const char* message);

// MAIN.LOG lines in managed mode: the first line of a message carries the
// header with the 13-column severity label in place of the category; further
// lines carry the record number and blanks in its place.
void BuildMainLine(char* out, std::size_t length, bool siteServerForm, std::uint32_t number,
                   const Stamp& stamp, const char* severity, const char* text, int lineNumber);

// The message that vskLogApiError traces; false (nothing to write) for an
// unknown kind. out holds kMaxRecord bytes.
bool FormatApiError(char* out, int kind, const char* info, std::int32_t error,
                    const char* sourceFile, std::int32_t line);

}  // namespace bk::log
