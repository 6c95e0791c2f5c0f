#pragma once
// How a coded message is laid out in the client's logs: its labels, the text
// sent with it, and the way a long text is cut into the lines of MAIN.LOG and
// the records of USER_CLT.LOG. Portable: the Windows reporting code feeds the
// results to the log writer, the tests check them byte for byte.
//
// Texts may be double-byte ANSI text. A cut never separates the two bytes of a
// character: the lead-byte test of the system code page is passed in, and the
// text is walked from a known character boundary (the start of the text or of
// a line), because a trail byte can carry a lead-byte value.
#include <cstddef>
#include <cstdint>

namespace bk::log {

// Bits 31-30 of a message code.
inline unsigned Severity(std::uint32_t code) { return code >> 30; }
inline unsigned MessageNumber(std::uint32_t code) { return code & 0xFFFFu; }

// "Success      ", "Informational", "Warning      ", "Error        " (13 columns).
const char* SeverityLabel(std::uint32_t code);
// Bit of the "EventLogLevel" mask that lets a code through: 4, 4, 2 or 1.
unsigned EventLevelBit(std::uint32_t code);
// Facility column of MAIN.LOG (8 columns) from the message number.
const char* FacilityLabel(std::uint32_t code);
// Codes whose text gets the source position " [file:line]".
bool CarriesSourcePosition(std::uint32_t code);

inline constexpr std::size_t kEventTextSize = 1024;
inline constexpr std::size_t kMaxCallerText = 767;

// The message text T of a coded message: the caller's text (cut to 767 bytes)
// and, for the codes that carry it, " [name:line]" with the source file name
// after its last backslash. Empty without a text.
void BuildEventText(char (&out)[kEventTextSize], std::uint32_t code, const char* text,
                    const char* sourceFile, std::int32_t line);

using LeadBytePredicate = bool (*)(unsigned char);

// Lead and trail bytes of the Japanese code page (932).
bool IsJapaneseLeadByte(unsigned char c);
bool IsJapaneseTrailByte(unsigned char c);

// Length of the piece of at most n bytes that starts at text[start] (a
// character boundary) and ends at a character boundary; the rest when fewer
// than n bytes remain. Never 0 while text remains.
std::size_t CutAtCharacter(const char* text, std::size_t length, std::size_t start, std::size_t n,
                           LeadBytePredicate isLead);

// The user log's cut rule for Japanese text: the piece of at most n bytes at
// p, of which `remaining` bytes are left. Never 0 while text remains.
std::size_t UserLogCut(const char* p, std::size_t remaining, std::size_t n);

// Receives one finished line or record text and its number (from 1).
using LineSink = void (*)(void* context, const char* text, int number);

enum class MainLogForm {
  kSelfManaged,  // pieces of 104 bytes: "facility category piece"
  kClassic,      // managed, lines of 120 bytes
  kSiteServer,   // managed, lines of 110 bytes
};

// Lines of one coded message in MAIN.LOG: m (length bytes) is the formatted
// message text, cut into as many lines as it needs (at least one).
void ForEachMainLogLine(MainLogForm form, const char* facility, const char* category,
                        const char* m, std::size_t length, LeadBytePredicate isLead,
                        LineSink sink, void* context);

inline constexpr std::size_t kUserLogIndent = 28;

// Records of a user-log message x (n bytes, lines ended by CR LF): the first
// line cut at `width` bytes, then every further piece and line indented by 28
// blanks and cut at width - 28 bytes.
void ForEachUserLogRecord(const char* x, std::size_t n, std::size_t width, LineSink sink,
                          void* context);

}  // namespace bk::log
