// The log reader on any bytes: a file is split and decoded without reading
// outside it, every record it yields lies inside the file, and joining the
// records into entries keeps every one of them. Reading the file in pieces
// gives exactly what reading it whole gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "logging/log_reader.h"
#include "logging/log_stream.h"

namespace {

bool Same(const bk::log::LogRecord& a, const bk::log::LogRecord& b) {
  return a.state == b.state && a.layout == b.layout && a.offset == b.offset && a.slot == b.slot &&
         a.number == b.number && a.date == b.date && a.time == b.time && a.process == b.process &&
         a.thread == b.thread && a.session == b.session && a.program == b.program && a.category == b.category &&
         a.text == b.text && a.problem == b.problem;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bk::log::LogFile log = bk::log::ReadLogFile(bytes);
  std::size_t complete = 0;
  for (const bk::log::LogRecord& r : log.records) {
    if (r.offset > size) std::abort();
    if (r.state != bk::log::LogRecord::State::kTorn) {
      if (log.recordLength == 0 || r.offset + log.recordLength > size) std::abort();
      ++complete;
    }
  }
  std::vector<bk::log::LogEntry> entries;
  bk::log::AppendEntries("F", log, entries);
  std::size_t joined = 0;
  for (const bk::log::LogEntry& e : entries) joined += 1 + e.joined;
  if (joined != log.records.size() || complete > log.records.size()) std::abort();

  // The smallest window makes every piece boundary fall somewhere new.
  bk::log::MemorySource source(bytes);
  bk::log::LogFile summary;
  std::size_t at = 0;
  const bool read = bk::log::StreamLogFile(
      source,
      [&](const bk::log::LogRecord& r) {
        if (at >= log.records.size() || !Same(r, log.records[at])) std::abort();
        ++at;
      },
      summary, 0);
  if (!read || at != log.records.size() || summary.selfManaged != log.selfManaged ||
      summary.headerValid != log.headerValid || summary.count != log.count ||
      summary.recordLength != log.recordLength || summary.layout != log.layout ||
      summary.staleRecords != log.staleRecords || summary.problem != log.problem)
    std::abort();
  return 0;
}
