#pragma once
// Reading the client's fixed-record log files in tests.
#include <string>
#include <vector>

namespace bk::test {

// Records of a self-managed log: the text after the 17-byte header, split
// into records of `length` bytes (a short tail is dropped).
std::vector<std::string> SelfManagedRecords(const std::string& path, std::size_t length);

// The message of a long record whose category fits its 8 columns: the text
// after the 63-byte header with the trailing blanks and CR LF removed.
std::string LongRecordMessage(const std::string& record);

// Messages of the first `count` records of a self-managed log (count from its header).
std::vector<std::string> SelfManagedMessages(const std::string& path, std::size_t length);

}  // namespace bk::test
