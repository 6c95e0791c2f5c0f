#pragma once
// Reading a log file piece by piece: the records come out one at a time in
// the order ReadLogFile gives them, while only a window of the file and, for
// a file of the log manager, the time stamp of each record are held. The
// administrator's tool reads logs of any size this way. Portable.
//
//   FileSource source(...);                       // a LogSource
//   LogFile summary;
//   EntryJoiner joiner("CLIENT.LOG", print);
//   if (!StreamLogFile(source, [&](const LogRecord& r) { joiner.Add(r); }, summary)) ...;
//   joiner.Finish();
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "logging/log_reader.h"

namespace bk::log {

// The bytes of one log file, read by position.
class LogSource {
 public:
  virtual ~LogSource() = default;
  // The file's length when the reading began; bytes beyond it are not read.
  virtual std::uint64_t Size() const = 0;
  // Exactly n bytes at offset into out; false when they cannot be read.
  virtual bool ReadAt(std::uint64_t offset, std::size_t n, std::string& out) = 0;
};

// A file in memory (tests, fuzzing).
class MemorySource : public LogSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, std::size_t n, std::string& out) override;

 private:
  std::string_view bytes_;
};

// Reads the file as ReadLogFile reads the same bytes: `visit` gets every
// record ReadLogFile would yield, in its order; `summary` gets every other
// field (its records stay empty). False when the source failed part way.
// `window` is the size of the pieces read (at least kMaxRecord).
bool StreamLogFile(LogSource& source, const std::function<void(const LogRecord&)>& visit, LogFile& summary,
                   std::size_t window = 256u << 10);

// Joins records into entries as AppendEntries does, handing each entry over
// once it is complete.
class EntryJoiner {
 public:
  using Sink = std::function<void(LogEntry&&)>;
  EntryJoiner(std::string file, Sink sink) : file_(std::move(file)), sink_(std::move(sink)) {}
  // Continues an entry of the same file handed over before.
  void Resume(LogEntry&& entry);
  void Add(const LogRecord& record);
  // Hands over the entry still open.
  void Finish();

 private:
  std::string file_;
  Sink sink_;
  bool open_ = false;
  LogEntry entry_;
};

}  // namespace bk::log
