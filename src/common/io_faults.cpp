#include "common/io_faults.h"

#include <atomic>

namespace bk::io {

namespace {
std::atomic<long> g_count[2];
std::atomic<long> g_failAt[2];
}  // namespace

bool ShouldFail(IoKind kind) {
  const int k = static_cast<int>(kind);
  const long n = g_count[k].fetch_add(1, std::memory_order_relaxed) + 1;
  const long failAt = g_failAt[k].load(std::memory_order_relaxed);
  return failAt > 0 && n == failAt;
}

void ArmFaultForTest(IoKind kind, long n) {
  for (auto& c : g_count) c.store(0, std::memory_order_relaxed);
  g_failAt[static_cast<int>(kind)].store(n, std::memory_order_relaxed);
  g_failAt[1 - static_cast<int>(kind)].store(0, std::memory_order_relaxed);
}

long CountForTest(IoKind kind) { return g_count[static_cast<int>(kind)].load(std::memory_order_relaxed); }

}  // namespace bk::io
