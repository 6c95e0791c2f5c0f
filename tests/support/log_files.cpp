#include "support/log_files.h"

#include <cstdlib>

#include "support/win_fixtures.h"

namespace bk::test {

std::vector<std::string> SelfManagedRecords(const std::string& path, std::size_t length) {
  std::vector<std::string> records;
  const std::string data = ReadFile(path);
  for (std::size_t at = 17; at + length <= data.size(); at += length) records.push_back(data.substr(at, length));
  return records;
}

std::string LongRecordMessage(const std::string& record) {
  if (record.size() < 65) return {};
  std::string text = record.substr(63, record.size() - 2 - 63);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::vector<std::string> SelfManagedMessages(const std::string& path, std::size_t length) {
  const std::string data = ReadFile(path);
  std::vector<std::string> messages;
  if (data.size() < 17 || data.compare(0, 11, "DATA COUNT ") != 0) return messages;
  const std::size_t count = std::strtoul(data.substr(11, 4).c_str(), nullptr, 10);
  const std::vector<std::string> records = SelfManagedRecords(path, length);
  for (std::size_t i = 0; i < count && i < records.size(); ++i) messages.push_back(LongRecordMessage(records[i]));
  return messages;
}

}  // namespace bk::test
