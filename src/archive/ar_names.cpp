#include "archive/ar_names.h"

#include <cstring>
#include <new>

#include "archive/ar_format.h"

namespace bk::ar {

bool MatchTable::Reset(std::uint16_t nameCount, std::uint16_t nameMax) {
  slots_.reset();
  count_ = loaded_ = 0;
  if (nameMax > kMaxNameLength) return false;
  slotSize_ = std::size_t{nameMax} + 1;
  if (nameCount > 0) {
    slots_.reset(new (std::nothrow) char[std::size_t{nameCount} * slotSize_]);
    if (!slots_) return false;
  }
  count_ = nameCount;
  return true;
}

bool MatchTable::AppendBlock(const unsigned char* block, std::size_t length) {
  std::size_t at = 0;
  while (at < length) {
    const void* end = std::memchr(block + at, 0, length - at);
    if (end == nullptr) return false;
    const std::size_t nameLength = static_cast<const unsigned char*>(end) - (block + at);
    if (loaded_ >= count_ || nameLength >= slotSize_) return false;
    char* slot = slots_.get() + std::size_t{loaded_} * slotSize_;
    std::memcpy(slot, block + at, nameLength);
    slot[nameLength] = '\0';
    ++loaded_;
    at += nameLength + 1;
  }
  return true;
}

const char* MatchTable::Name(std::uint32_t index) const {
  if (index == 0 || index > loaded_) return nullptr;
  return slots_.get() + std::size_t{index - 1} * slotSize_;
}

}  // namespace bk::ar
