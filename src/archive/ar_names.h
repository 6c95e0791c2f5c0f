#pragma once
// The match table: every name of an archive, in slots of nameMax + 1 bytes,
// numbered from 1 in the order the names blocks bring them.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace bk::ar {

class MatchTable {
 public:
  // Sizes the table for the header's nameCount and nameMax. False when nameMax
  // is longer than a path allows or the memory is not there.
  bool Reset(std::uint16_t nameCount, std::uint16_t nameMax);
  // Appends the names of one block. False, with the table unchanged past the
  // names already taken, when the block holds more names than the table has
  // left, a name longer than nameMax, or ends inside a name.
  bool AppendBlock(const unsigned char* block, std::size_t length);
  // The name at index 1..Loaded(), else null.
  const char* Name(std::uint32_t index) const;
  std::uint32_t Loaded() const { return loaded_; }
  std::uint32_t Capacity() const { return count_; }

 private:
  std::unique_ptr<char[]> slots_;
  std::size_t slotSize_ = 1;
  std::uint32_t count_ = 0;
  std::uint32_t loaded_ = 0;
};

}  // namespace bk::ar
