#pragma once
// List files of 277-byte records (the install lists and the lists that
// vskAPIGetResourceFileName writes): path, size, date, kind.
#include <string>
#include <vector>

namespace bkrtool {

// A file that is a whole number of list records and not a resource archive.
bool LooksLikeListFile(const std::vector<unsigned char>& bytes);
// Prints the records as a table or JSON; 0, or 1 when a tail shorter than a
// record is left over (reported).
int PrintListRecords(const std::string& path, const std::vector<unsigned char>& bytes, bool json);

}  // namespace bkrtool
