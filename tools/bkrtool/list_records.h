#pragma once
// List files of 277-byte records (the install lists and the lists that
// vskAPIGetResourceFileName writes): path, size, date, kind.
#include <string>
#include <vector>

namespace bkrtool {

// A file that is a whole number of list records and not a resource archive.
bool LooksLikeListFile(const std::vector<unsigned char>& bytes);

// The records as JSON members "file", "records" and "leftover" (the bytes
// after the last whole record), without the closing brace.
std::string ListRecordsJson(const std::string& path, const std::vector<unsigned char>& bytes);

// The problem of a list file with a tail shorter than a record; empty when
// it holds whole records only.
std::string ListRecordsProblem(const std::string& path, const std::vector<unsigned char>& bytes);

// Prints the records as a table, or under --json as one object; 0, or 1 when
// a tail shorter than a record is left over (reported).
int PrintListRecords(const std::string& path, const std::vector<unsigned char>& bytes);

}  // namespace bkrtool
