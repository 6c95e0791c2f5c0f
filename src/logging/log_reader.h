#pragma once
// Reading the client's fixed-record log files back: the self-managed file with
// its "DATA COUNT nnnn" header (long records), and the files the log manager
// keeps (classic or long records, no header). Portable: the tool reads the
// bytes, this module splits and decodes them; nothing here trusts a count, a
// length or a field of the file without checking it against the bytes there.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bk::log {

inline constexpr std::size_t kLogHeaderLength = 17;       // "DATA COUNT nnnn" CR LF
inline constexpr std::size_t kLogHeaderTagLength = 11;    // "DATA COUNT "
inline constexpr std::size_t kLogHeaderCountOffset = 11;  // 4 ASCII digits
inline constexpr std::size_t kLogHeaderCountWidth = 4;
inline constexpr std::size_t kUserLogContinuationIndent = 28;

enum class RecordLayout { kClassic, kLong };

// One decoded record, or what is known of one that could not be decoded.
struct LogRecord {
  enum class State {
    kRecord,        // every field decoded
    kContinuation,  // a further MAIN.LOG line: record number, blanks, text
    kTorn,          // the file ends inside the record, or its line end is missing
    kUnmatched,     // complete, but its fields do not follow the layout
  };
  State state = State::kRecord;
  RecordLayout layout = RecordLayout::kLong;
  std::size_t offset = 0;     // of the record in its file
  std::uint32_t slot = 0;     // place in the file, from 1
  std::uint32_t number = 0;   // the record-number field
  std::string date;           // "YYYY/MM/DD"
  std::string time;           // "HH:MM:SS:mmm"
  std::uint32_t process = 0;  // long layout only
  std::uint32_t thread = 0;
  std::uint32_t session = 0;  // long layout only
  std::string program;        // long layout only
  std::string category;
  std::string text;           // the message without its fill
  std::string problem;        // why a record is torn or unmatched
};

// Decodes one record of `record.size()` bytes (CR LF included); a record whose
// fields do not follow the layout comes back as kUnmatched with the reason.
LogRecord DecodeRecord(std::string_view record, RecordLayout layout);

// The record length of a file's records area (the file after its header):
// of the lengths from the shortest to the longest record the writer makes,
// the one whose places best start with a record number and end in CR LF, the
// shortest of equals; 0 when no place ends in CR LF at all.
std::size_t DetectRecordLength(std::string_view area);

// Layout of the records: the first record that decodes as either tells.
RecordLayout DetectLayout(std::string_view area, std::size_t length);

// One log file, split and decoded.
struct LogFile {
  bool selfManaged = false;    // starts with "DATA COUNT "
  bool headerValid = false;    // and its count field is four digits
  std::uint32_t count = 0;     // records written in the current cycle
  std::size_t recordLength = 0;
  RecordLayout layout = RecordLayout::kLong;
  std::size_t staleRecords = 0;  // complete records beyond the count (previous cycle)
  std::string problem;           // a damaged header, an empty or unsplittable file
  std::vector<LogRecord> records;
};

// A self-managed file yields records 1 to its count in that order (records
// the file is too short for come back torn); a managed file yields every
// record in the order of their time stamps, continuation lines staying behind
// the line they continue.
LogFile ReadLogFile(std::string_view bytes);

// One printed entry: a record with the continuation records that follow it.
struct LogEntry {
  std::string file;  // the file it came from ("CLIENT.LOG2")
  LogRecord record;  // text includes the joined continuations
  std::size_t joined = 0;
};

// Joins continuation records to the entry they continue: the further lines of
// a MAIN.LOG message, and user-log pieces (a message that starts with 28
// blanks) from the same writer and category as the entry before.
void AppendEntries(const std::string& file, const LogFile& log, std::vector<LogEntry>& out);

}  // namespace bk::log
