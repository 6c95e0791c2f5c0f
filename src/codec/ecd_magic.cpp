// The magic number that marks an encoded file: three seeds derived from the
// time and a check value derived from the seeds.
#include <cmath>
#include <ctime>

#include "codec/ecd.h"
#include "common/byte_order.h"

#if defined(_WIN32) && defined(__i386__)
#include <float.h>
#endif

namespace {

unsigned char g_magic[kEcdMagicSize];

std::uint32_t CheckValue(std::uint32_t s1, std::uint32_t s2, std::uint32_t s3) {
#if defined(_WIN32) && defined(__i386__)
  // The x87 unit computes with a 64-bit mantissa unless told otherwise; files
  // are only recognised across machines if every sum is rounded to double.
  const unsigned int saved = _controlfp(0, 0);
  _controlfp(_PC_53, _MCW_PC);
#endif
  volatile double x = static_cast<double>(s1) / 30269.0;
  x = x + static_cast<double>(s2) / 30307.0;
  x = x + static_cast<double>(s3) / 30323.0;
  const double fraction = x - std::trunc(x);
  // 65556, not 65536: the value every existing encoded file was made with.
  const auto check = static_cast<std::uint32_t>(fraction * 65556.0);
#if defined(_WIN32) && defined(__i386__)
  _controlfp(saved, _MCW_PC);
#endif
  return check;
}

// t mod m for any t (also past 2038 and before 1970), then 0 replaced by m.
std::uint32_t Residue(std::int64_t t, std::int64_t m) {
  std::int64_t r = t % m;
  if (r < 0) r += m;
  return static_cast<std::uint32_t>(r == 0 ? m : r);
}

}  // namespace

int EcdCheckMagicNum(std::uint32_t check, std::uint32_t seed1, std::uint32_t seed2,
                     std::uint32_t seed3) {
  if (seed1 == 0 && seed2 == 0 && seed3 == 0) return 0;
  return CheckValue(seed1, seed2, seed3) == check ? 1 : 0;
}

const unsigned char* EcdMakeMagicNum(std::int64_t time) {
  const std::int64_t t = time != 0 ? time : static_cast<std::int64_t>(std::time(nullptr));
  const std::uint32_t seed1 = (Residue(t, 171) * 171u) % 30269u;
  const std::uint32_t seed2 = (Residue(t, 172) * 172u) % 30307u;
  const std::uint32_t seed3 = (Residue(t, 170) * 170u) % 30323u;
  bk::StoreBe32(g_magic, CheckValue(seed1, seed2, seed3));
  bk::StoreBe32(g_magic + 4, seed1);
  bk::StoreBe32(g_magic + 8, seed2);
  bk::StoreBe32(g_magic + 12, seed3);
  return g_magic;
}
