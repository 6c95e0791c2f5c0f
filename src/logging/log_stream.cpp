#include "logging/log_stream.h"

#include <algorithm>
#include <vector>

#include "logging/log_record.h"

namespace bk::log {
namespace {

// ReadAt over a window of the source, so that reading record after record
// costs one read per window.
class Window {
 public:
  Window(LogSource& source, std::size_t size) : source_(source), size_(std::max(size, kMaxRecord)) {}
  // n bytes at offset (offset + n within the source); false on a failed read.
  bool View(std::uint64_t offset, std::size_t n, std::string_view& out) {
    if (offset < start_ || offset + n > start_ + bytes_.size()) {
      const std::uint64_t left = source_.Size() - offset;
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, std::max(n, size_)));
      if (!source_.ReadAt(offset, take, bytes_)) {
        bytes_.clear();
        return false;
      }
      start_ = offset;
    }
    out = std::string_view(bytes_).substr(static_cast<std::size_t>(offset - start_), n);
    return true;
  }

 private:
  LogSource& source_;
  std::size_t size_;
  std::uint64_t start_ = 0;
  std::string bytes_;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The place tests of the length detection, on the bytes at hand.
bool StartsWithNumber(std::string_view at) {
  std::size_t n = 0;
  while (n < at.size() && n < 11 && IsDigit(at[n])) ++n;
  return n >= 4 && n < at.size() && at[n] == ' ';
}

std::string MissingRecords(std::size_t first, std::size_t last) {
  const std::string which = first == last ? "record " + std::to_string(first)
                                          : "records " + std::to_string(first) + " to " + std::to_string(last);
  return which + (first == last ? " is" : " are") + " counted in the header but the file ends before " +
         (first == last ? "it" : "them");
}

// The state of one streamed reading.
struct Reading {
  LogSource& source;
  Window window;
  LogFile& log;
  std::uint64_t base = 0;      // where the records area starts
  std::uint64_t areaSize = 0;
  bool failed = false;

  std::string_view At(std::uint64_t offset, std::size_t n) {
    std::string_view out;
    if (!failed && !window.View(base + offset, n, out)) failed = true;
    return failed ? std::string_view() : out;
  }
  std::uint64_t Slots() const { return (areaSize + log.recordLength - 1) / log.recordLength; }
  LogRecord RecordAt(std::uint64_t slot) {  // from 1
    const std::size_t length = log.recordLength;
    const std::uint64_t at = (slot - 1) * length;
    const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(areaSize - at, length));
    LogRecord r = DecodeRecord(At(at, have), log.layout);
    if (have < length) {
      r.state = LogRecord::State::kTorn;
      r.problem = "the file ends after " + std::to_string(have) + " of " + std::to_string(length) + " bytes";
    }
    r.offset = static_cast<std::size_t>(base + at);
    r.slot = static_cast<std::uint32_t>(slot);
    return r;
  }
};

// The "DATA COUNT nnnn" header of a self-managed file.
void ReadHeader(Reading& g) {
  const std::uint64_t size = g.source.Size();
  const std::string_view head = g.At(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, kLogHeaderLength)));
  if (head.substr(0, kLogHeaderTagLength) != "DATA COUNT ") return;
  g.log.selfManaged = true;
  std::uint32_t count = 0;
  bool digits = head.size() >= kLogHeaderLength;
  for (std::size_t i = 0; digits && i < kLogHeaderCountWidth; ++i) {
    const char c = head[kLogHeaderCountOffset + i];
    digits = IsDigit(c);
    count = count * 10 + static_cast<std::uint32_t>(c - '0');
  }
  g.log.headerValid = digits && head.substr(15, 2) == "\r\n";
  if (g.log.headerValid)
    g.log.count = count;
  else
    g.log.problem = "damaged header: every record is shown in file order";
  g.base = head.size();
}

// The record length as DetectRecordLength finds it, one window at a time:
// per length, the places that start with a record number and those that end
// in CR LF.
std::size_t DetectLength(Reading& g, std::size_t window) {
  const std::uint64_t size = g.areaSize;
  std::vector<std::uint64_t> starts(kMaxRecord + 1), ends(kMaxRecord + 1);
  for (std::uint64_t from = 0; from < size && !g.failed; from += window) {
    const std::uint64_t to = std::min<std::uint64_t>(size, from + window);
    // Two bytes before the piece for the line ends, eleven after it for the numbers.
    const std::uint64_t first = from >= 2 ? from - 2 : 0;
    const std::uint64_t last = std::min<std::uint64_t>(size, to + 11);
    const std::string_view bytes = g.At(first, static_cast<std::size_t>(last - first));
    if (g.failed) break;
    for (std::size_t length = kMinClassicRecord; length <= kMaxRecord; ++length) {
      for (std::uint64_t p = (from + length - 1) / length * length; p < to; p += length)
        if (StartsWithNumber(bytes.substr(static_cast<std::size_t>(p - first), 12))) ++starts[length];
      // Line ends at the ends of slots: e = (k + 1) * length in (from, to].
      for (std::uint64_t e = (from / length + 1) * length; e <= to; e += length)
        if (e >= 2 && bytes[static_cast<std::size_t>(e - 2 - first)] == '\r' &&
            bytes[static_cast<std::size_t>(e - 1 - first)] == '\n')
          ++ends[length];
    }
  }
  std::size_t best = 0;
  long bestScore = 0;
  for (std::size_t length = kMinClassicRecord; length <= kMaxRecord; ++length) {
    const std::uint64_t slots = (size + length - 1) / length;
    const long score = static_cast<long>(starts[length] + ends[length]) - static_cast<long>(slots);
    if (ends[length] > 0 && (best == 0 || score > bestScore)) {
      best = length;
      bestScore = score;
    }
  }
  return best;
}

RecordLayout DetectLayoutOf(Reading& g) {
  const std::size_t length = g.log.recordLength;
  for (std::uint64_t at = 0; at + length <= g.areaSize; at += length) {
    const std::string_view one = g.At(at, length);
    if (g.failed) break;
    if (DecodeRecord(one, RecordLayout::kLong).state == LogRecord::State::kRecord) return RecordLayout::kLong;
    if (DecodeRecord(one, RecordLayout::kClassic).state == LogRecord::State::kRecord) return RecordLayout::kClassic;
  }
  return RecordLayout::kLong;
}

// Records 1 to the count, then what the count says is missing or stale.
void VisitCounted(Reading& g, const std::function<void(const LogRecord&)>& visit) {
  const std::uint64_t slots = g.Slots();
  const std::uint64_t shown = std::min<std::uint64_t>(g.log.count, slots);
  for (std::uint64_t k = 1; k <= shown && !g.failed; ++k) visit(g.RecordAt(k));
  if (g.log.count > slots) {
    LogRecord missing;
    missing.state = LogRecord::State::kTorn;
    missing.layout = g.log.layout;
    missing.slot = static_cast<std::uint32_t>(slots + 1);
    missing.offset = static_cast<std::size_t>(g.source.Size());
    missing.problem = MissingRecords(static_cast<std::size_t>(slots + 1), g.log.count);
    visit(missing);
    return;
  }
  for (std::uint64_t k = shown + 1; k <= slots; ++k)
    if (k * g.log.recordLength <= g.areaSize) ++g.log.staleRecords;
}

// A file of the log manager: groups of a record and the lines behind it, in
// the order of their time stamps.
void VisitByTime(Reading& g, const std::function<void(const LogRecord&)>& visit) {
  struct Group {
    std::string key;
    std::uint64_t first, count;
  };
  std::vector<Group> groups;
  const std::uint64_t slots = g.Slots();
  for (std::uint64_t k = 1; k <= slots && !g.failed; ++k) {
    const LogRecord r = g.RecordAt(k);
    if (r.state == LogRecord::State::kRecord || groups.empty())
      groups.push_back({r.state == LogRecord::State::kRecord ? r.date + " " + r.time : std::string(), k, 1});
    else
      ++groups.back().count;
  }
  std::stable_sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
    if (a.key.size() != b.key.size()) return a.key.size() < b.key.size();
    return a.key < b.key;
  });
  for (const Group& group : groups)
    for (std::uint64_t i = 0; i < group.count && !g.failed; ++i) visit(g.RecordAt(group.first + i));
}

}  // namespace

bool MemorySource::ReadAt(std::uint64_t offset, std::size_t n, std::string& out) {
  if (offset > bytes_.size() || n > bytes_.size() - offset) return false;
  out.assign(bytes_.substr(static_cast<std::size_t>(offset), n));
  return true;
}

bool StreamLogFile(LogSource& source, const std::function<void(const LogRecord&)>& visit, LogFile& summary,
                   std::size_t window) {
  summary = LogFile();
  Reading g{source, Window(source, window), summary};
  ReadHeader(g);
  g.areaSize = source.Size() - g.base;
  if (g.failed) return false;
  if (g.areaSize == 0) {
    if (summary.count > 0) {
      LogRecord missing;
      missing.state = LogRecord::State::kTorn;
      missing.slot = 1;
      missing.offset = static_cast<std::size_t>(g.base);
      missing.problem = MissingRecords(1, summary.count);
      visit(missing);
    }
    return true;
  }
  summary.recordLength = DetectLength(g, std::max(window, kMaxRecord));
  if (g.failed) return false;
  if (summary.recordLength == 0) {
    // Nothing splits it: the whole area is shown as one torn piece.
    LogRecord r = DecodeRecord(g.At(0, static_cast<std::size_t>(g.areaSize)), RecordLayout::kLong);
    if (g.failed) return false;
    r.state = LogRecord::State::kTorn;
    r.problem = "no record ends in CR LF";
    r.offset = static_cast<std::size_t>(g.base);
    r.slot = 1;
    summary.problem = "not a fixed-record log";
    visit(r);
    return true;
  }
  summary.layout = DetectLayoutOf(g);
  if (summary.selfManaged && summary.headerValid) {
    VisitCounted(g, visit);
  } else if (summary.selfManaged) {
    for (std::uint64_t k = 1; k <= g.Slots() && !g.failed; ++k) visit(g.RecordAt(k));  // damaged header: file order
  } else {
    VisitByTime(g, visit);
  }
  return !g.failed;
}

void EntryJoiner::Resume(LogEntry&& entry) {
  Finish();
  entry_ = std::move(entry);
  open_ = true;
}

void EntryJoiner::Add(const LogRecord& r) {
  const std::string indent(kUserLogContinuationIndent, ' ');
  const bool lastIsRecord = open_ && entry_.record.state == LogRecord::State::kRecord;
  if (r.state == LogRecord::State::kContinuation && lastIsRecord) {
    entry_.record.text += r.text;
    ++entry_.joined;
    return;
  }
  if (r.state == LogRecord::State::kRecord && lastIsRecord && r.text.compare(0, indent.size(), indent) == 0 &&
      r.text.size() > indent.size() && r.text[indent.size()] != ' ') {
    const LogRecord& p = entry_.record;
    if (p.layout == r.layout && p.process == r.process && p.thread == r.thread && p.session == r.session &&
        p.program == r.program && p.category == r.category) {
      entry_.record.text += r.text.substr(indent.size());
      ++entry_.joined;
      return;
    }
  }
  Finish();
  entry_ = LogEntry{file_, r, 0};
  open_ = true;
}

void EntryJoiner::Finish() {
  if (!open_) return;
  open_ = false;
  sink_(std::move(entry_));
}

}  // namespace bk::log
