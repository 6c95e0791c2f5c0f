// C0.ctr from any bytes (cut or padded to its 276): each text is read inside
// its field and always terminated in its output.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "environment/command_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  unsigned char* bytes = new unsigned char[kCtrFileSize];
  std::memset(bytes, 0, kCtrFileSize);
  std::memcpy(bytes, data, size < kCtrFileSize ? size : kCtrFileSize);
  const CtrFields f = vskCtrDecode(bytes);
  const std::size_t host = std::strlen(f.host), second = std::strlen(f.second);
  if (host >= kCtrHostOutSize || second >= kCtrSecondOutSize) std::abort();
  if (std::memcmp(f.host, bytes + kCtrHost, host) != 0 || std::memcmp(f.second, bytes + kCtrSecond, second) != 0)
    std::abort();
  delete[] bytes;
  return 0;
}
