// The BACKSUM decoder on arbitrary bytes: it never reads outside them, and
// what it accepts is exactly what the encoder writes for the sums it found.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/ar_sums.h"

using namespace bk::ar;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> bytes(data, data + size);
  ArchiveSums sums;
  std::string why;
  if (DecodeSums(bytes.data(), bytes.size(), &sums, &why) != kArOk) {
    if (why.empty()) std::abort();
    return 0;
  }
  if (EncodeSums(sums) != bytes) std::abort();
  if (CompareSums(sums, sums).part != SumsDifference::Part::kNone) std::abort();
  return 0;
}
