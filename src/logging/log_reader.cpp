#include "logging/log_reader.h"

#include <algorithm>
#include <cstring>

#include "logging/log_record.h"
#include "logging/log_stream.h"

namespace bk::log {
namespace {

// The 13-column labels that take the category's place in MAIN.LOG.
constexpr const char* kSeverityLabels[] = {"Success      ", "Informational", "Warning      ",
                                           "Error        "};
constexpr std::size_t kSeverityWidth = 13;
constexpr std::size_t kCategoryWidth = 8;
constexpr std::size_t kProgramWidth = 8;
// A further MAIN.LOG line holds its record number and 42 (classic) or 61
// (site-server form) blanks where a record has its header.
constexpr std::size_t kContinuationBlanks = 42;
constexpr char kContinuationMark[] = "\t     \t";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A cursor over one record's bytes before its line end.
class Fields {
 public:
  explicit Fields(std::string_view text) : text_(text) {}

  bool Literal(std::string_view expected) {
    if (text_.substr(at_, expected.size()) != expected) return false;
    at_ += expected.size();
    return true;
  }
  // At least `least` and at most `most` digits.
  bool Digits(std::size_t least, std::size_t most, std::uint32_t& value, std::string* copy = nullptr) {
    std::size_t n = 0;
    std::uint64_t v = 0;
    while (at_ + n < text_.size() && n < most && IsDigit(text_[at_ + n])) {
      v = v * 10 + static_cast<unsigned>(text_[at_ + n] - '0');
      ++n;
    }
    if (n < least || v > 0xFFFFFFFFu) return false;
    if (copy != nullptr) copy->append(text_.substr(at_, n));
    value = static_cast<std::uint32_t>(v);
    at_ += n;
    return true;
  }
  // YYYY/MM/DD (the classic layout prints the year with as many digits as it has).
  bool Date(std::string& out, std::size_t yearDigits) {
    std::uint32_t v = 0;
    if (!Digits(yearDigits, 9, v, &out) || !Literal("/")) return false;
    out += '/';
    if (!Digits(2, 2, v, &out) || !Literal("/")) return false;
    out += '/';
    return Digits(2, 2, v, &out);
  }
  // HH:MM:SS:mmm
  bool Time(std::string& out) {
    std::uint32_t v = 0;
    for (int part = 0; part < 3; ++part) {
      if (!Digits(2, 2, v, &out) || !Literal(":")) return false;
      out += ':';
    }
    return Digits(3, 3, v, &out);
  }
  // A left-aligned field of `width` columns whose text has no blanks (the
  // program name may be blank-padded, never longer).
  bool Column(std::size_t width, std::string& out) {
    if (at_ + width > text_.size()) return false;
    out.assign(text_.substr(at_, width));
    while (!out.empty() && out.back() == ' ') out.pop_back();
    at_ += width;
    return true;
  }
  // The category: a severity label in its 13 columns, or a label in 8
  // columns that is written whole when longer.
  bool Category(std::string& out) {
    for (const char* label : kSeverityLabels) {
      if (text_.substr(at_, kSeverityWidth) == label && at_ + kSeverityWidth < text_.size() &&
          text_[at_ + kSeverityWidth] == ' ') {
        out.assign(label);
        while (!out.empty() && out.back() == ' ') out.pop_back();
        at_ += kSeverityWidth;
        return true;
      }
    }
    if (at_ + kCategoryWidth > text_.size()) return false;
    std::size_t end = at_ + kCategoryWidth;
    while (end < text_.size() && text_[end] != ' ') ++end;
    out.assign(text_.substr(at_, end - at_));
    while (!out.empty() && out.back() == ' ') out.pop_back();
    at_ = end;
    return true;
  }
  std::string Rest() const {
    std::string rest(text_.substr(at_ < text_.size() ? at_ : text_.size()));
    while (!rest.empty() && rest.back() == ' ') rest.pop_back();
    return rest;
  }
  std::size_t at() const { return at_; }
  std::string_view text() const { return text_; }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

LogRecord Unmatched(LogRecord r, const char* why) {
  r.state = LogRecord::State::kUnmatched;
  r.problem = why;
  return r;
}

bool AllZero(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; });
}

bool EndsLine(std::string_view area, std::size_t end) {
  return end >= 2 && end <= area.size() && area[end - 2] == '\r' && area[end - 1] == '\n';
}

// Four or more digits and a blank: how every record and further line starts.
bool StartsWithNumber(std::string_view at) {
  std::size_t n = 0;
  while (n < at.size() && n < 11 && IsDigit(at[n])) ++n;
  return n >= 4 && n < at.size() && at[n] == ' ';
}

std::string Raw(std::string_view bytes) {
  std::string out;
  for (char c : bytes) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '.' : c;
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  return out;
}

std::string MissingRecords(std::size_t first, std::size_t last) {
  const std::string which = first == last ? "record " + std::to_string(first)
                                          : "records " + std::to_string(first) + " to " + std::to_string(last);
  return which + (first == last ? " is" : " are") + " counted in the header but the file ends before " +
         (first == last ? "it" : "them");
}

// The writer formats its messages as C texts: a NUL byte inside one was put
// there afterwards. The text is kept as it stands, for the reader to see.
LogRecord WrittenText(LogRecord r) {
  if (r.text.find('\0') == std::string::npos) return r;
  std::string text = std::move(r.text);
  r = Unmatched(std::move(r), "a NUL byte inside the message");
  r.text = std::move(text);
  return r;
}

}  // namespace

LogRecord DecodeRecord(std::string_view record, RecordLayout layout) {
  LogRecord r;
  r.layout = layout;
  if (record.size() < 2 || record.substr(record.size() - 2) != "\r\n") {
    r.state = LogRecord::State::kTorn;
    r.problem = AllZero(record) ? "never written (zero bytes)" : "no line end";
    r.text = Raw(record);
    return r;
  }
  const std::string_view body = record.substr(0, record.size() - 2);
  r.text = Raw(body);
  Fields f(body);
  if (!f.Digits(4, 10, r.number)) return Unmatched(r, "no record number");

  // A further line of a MAIN.LOG message: number, blanks, then the text piece.
  std::size_t blanks = 0;
  while (f.at() + blanks < body.size() && body[f.at() + blanks] == ' ') ++blanks;
  if (blanks >= kContinuationBlanks) {
    std::string_view piece = body.substr(f.at() + blanks);
    if (piece.substr(0, sizeof kContinuationMark - 1) == kContinuationMark)
      piece.remove_prefix(sizeof kContinuationMark - 1);
    r.state = LogRecord::State::kContinuation;
    r.text.assign(piece);
    while (!r.text.empty() && r.text.back() == ' ') r.text.pop_back();
    return WrittenText(r);
  }

  if (layout == RecordLayout::kClassic) {
    if (!f.Literal("  ") || !f.Date(r.date, 1) || !f.Literal(" ")) return Unmatched(r, "no date");
    if (!f.Time(r.time) || !f.Literal(" [")) return Unmatched(r, "no time");
    if (!f.Digits(10, 10, r.thread) || !f.Literal("] ")) return Unmatched(r, "no thread id");
  } else {
    if (!f.Literal(" ") || !f.Date(r.date, 4) || !f.Literal(" ")) return Unmatched(r, "no date");
    if (!f.Time(r.time) || !f.Literal(" ")) return Unmatched(r, "no time");
    if (!f.Digits(5, 5, r.process) || !f.Literal(":") || !f.Digits(5, 5, r.thread) ||
        !f.Literal(":") || !f.Digits(3, 3, r.session) || !f.Literal(" "))
      return Unmatched(r, "no process:thread:session");
    if (!f.Column(kProgramWidth, r.program) || !f.Literal(" ")) return Unmatched(r, "no program name");
  }
  if (!f.Category(r.category)) return Unmatched(r, "no category");
  // The blank after the category; an empty message may end the record there.
  if (f.at() < body.size() && !f.Literal(" ")) return Unmatched(r, "no blank after the category");
  r.text = f.Rest();
  r.state = LogRecord::State::kRecord;
  return WrittenText(r);
}

std::size_t DetectRecordLength(std::string_view area) {
  // Each place scores one for starting with a record number and one for
  // ending in CR LF, less one: a length that splits the records right scores
  // about one per record, a wrong one loses a point for every place it cuts
  // inside a record, and the whole file as one "record" scores at most one.
  std::size_t best = 0;
  long bestScore = 0;
  for (std::size_t length = kMinClassicRecord; length <= kMaxRecord; ++length) {
    const std::size_t slots = (area.size() + length - 1) / length;
    if (slots == 0) break;
    long score = 0;
    std::size_t ends = 0;
    for (std::size_t k = 0; k < slots; ++k) {
      const bool end = EndsLine(area, (k + 1) * length);
      ends += end ? 1 : 0;
      score += (StartsWithNumber(area.substr(k * length)) ? 1 : 0) + (end ? 1 : 0) - 1;
    }
    if (ends > 0 && (best == 0 || score > bestScore)) {
      best = length;
      bestScore = score;
    }
  }
  return best;
}

RecordLayout DetectLayout(std::string_view area, std::size_t length) {
  for (std::size_t at = 0; length > 0 && at + length <= area.size(); at += length) {
    const std::string_view one = area.substr(at, length);
    if (DecodeRecord(one, RecordLayout::kLong).state == LogRecord::State::kRecord)
      return RecordLayout::kLong;
    if (DecodeRecord(one, RecordLayout::kClassic).state == LogRecord::State::kRecord)
      return RecordLayout::kClassic;
  }
  return RecordLayout::kLong;
}

namespace {

// The "DATA COUNT nnnn" header of a self-managed file; the offset of the
// records area.
std::size_t ReadHeader(std::string_view bytes, LogFile& log) {
  if (bytes.substr(0, kLogHeaderTagLength) != "DATA COUNT ") return 0;
  log.selfManaged = true;
  std::uint32_t count = 0;
  bool digits = bytes.size() >= kLogHeaderLength;
  for (std::size_t i = 0; digits && i < kLogHeaderCountWidth; ++i) {
    const char c = bytes[kLogHeaderCountOffset + i];
    digits = IsDigit(c);
    count = count * 10 + static_cast<std::uint32_t>(c - '0');
  }
  log.headerValid = digits && bytes.substr(15, 2) == "\r\n";
  if (log.headerValid)
    log.count = count;
  else
    log.problem = "damaged header: every record is shown in file order";
  return bytes.size() < kLogHeaderLength ? bytes.size() : kLogHeaderLength;
}

LogRecord Missing(std::size_t first, std::size_t last, std::size_t offset) {
  LogRecord missing;
  missing.state = LogRecord::State::kTorn;
  missing.slot = static_cast<std::uint32_t>(first);
  missing.offset = offset;
  missing.problem = MissingRecords(first, last);
  return missing;
}

// The records area split into records of the file's length.
struct Split {
  std::string_view area;
  std::size_t base, length;
  RecordLayout layout;

  std::size_t Slots() const { return (area.size() + length - 1) / length; }
  LogRecord At(std::size_t slot) const {  // from 1
    const std::size_t at = (slot - 1) * length;
    const std::size_t have = area.size() - at < length ? area.size() - at : length;
    LogRecord r = DecodeRecord(area.substr(at, have), layout);
    if (have < length) {
      r.state = LogRecord::State::kTorn;
      r.problem = "the file ends after " + std::to_string(have) + " of " + std::to_string(length) + " bytes";
    }
    r.offset = base + at;
    r.slot = static_cast<std::uint32_t>(slot);
    return r;
  }
};

// Records 1 to the count of the header; what it counts beyond the file, or
// the complete records beyond it (left from the cycle before the last wrap).
void CountedRecords(const Split& split, std::size_t fileSize, LogFile& log) {
  const std::size_t slots = split.Slots();
  const std::size_t shown = log.count < slots ? log.count : slots;
  for (std::size_t k = 1; k <= shown; ++k) log.records.push_back(split.At(k));
  if (log.count > slots) {
    LogRecord missing = Missing(slots + 1, log.count, fileSize);
    missing.layout = log.layout;
    log.records.push_back(missing);
    return;
  }
  for (std::size_t k = shown + 1; k <= slots; ++k)
    if (k * split.length <= split.area.size()) ++log.staleRecords;
}

// A file of the log manager is a ring: the time stamps give the order in
// which its records were written. A further line, and a record that cannot
// be read, stay behind the record before it.
void OrderByTime(LogFile& log) {
  struct Group {
    std::string key;
    std::size_t first, count;
  };
  std::vector<Group> groups;
  for (std::size_t i = 0; i < log.records.size(); ++i) {
    const LogRecord& r = log.records[i];
    if (r.state == LogRecord::State::kRecord || groups.empty()) {
      groups.push_back({r.state == LogRecord::State::kRecord ? r.date + " " + r.time : std::string(), i, 1});
    } else {
      ++groups.back().count;
    }
  }
  std::stable_sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
    // Dates and times of different widths sort by width first ("9999/..." before "10000/...").
    if (a.key.size() != b.key.size()) return a.key.size() < b.key.size();
    return a.key < b.key;
  });
  std::vector<LogRecord> ordered;
  ordered.reserve(log.records.size());
  for (const Group& g : groups)
    for (std::size_t i = 0; i < g.count; ++i) ordered.push_back(log.records[g.first + i]);
  log.records.swap(ordered);
}

}  // namespace

LogFile ReadLogFile(std::string_view bytes) {
  LogFile log;
  const std::size_t base = ReadHeader(bytes, log);
  const std::string_view area = bytes.substr(base);
  if (area.empty()) {
    if (log.count > 0) log.records.push_back(Missing(1, log.count, base));
    return log;
  }
  log.recordLength = DetectRecordLength(area);
  if (log.recordLength == 0) {
    LogRecord r = DecodeRecord(area, RecordLayout::kLong);
    r.state = LogRecord::State::kTorn;
    r.problem = "no record ends in CR LF";
    r.offset = base;
    r.slot = 1;
    log.problem = "not a fixed-record log";
    log.records.push_back(r);
    return log;
  }
  log.layout = DetectLayout(area, log.recordLength);
  const Split split{area, base, log.recordLength, log.layout};
  if (log.selfManaged && log.headerValid) {
    CountedRecords(split, bytes.size(), log);
    return log;
  }
  for (std::size_t k = 1; k <= split.Slots(); ++k) log.records.push_back(split.At(k));
  if (!log.selfManaged) OrderByTime(log);  // a damaged header keeps file order
  return log;
}

void AppendEntries(const std::string& file, const LogFile& log, std::vector<LogEntry>& out) {
  EntryJoiner joiner(file, [&out](LogEntry&& e) { out.push_back(std::move(e)); });
  if (!out.empty() && out.back().file == file) {
    joiner.Resume(std::move(out.back()));
    out.pop_back();
  }
  for (const LogRecord& r : log.records) joiner.Add(r);
  joiner.Finish();
}

}  // namespace bk::log
