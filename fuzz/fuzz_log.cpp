// The log reader on any bytes: a file is split and decoded without reading
// outside it, every record it yields lies inside the file, and joining the
// records into entries keeps every one of them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "logging/log_reader.h"

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
  return 0;
}
