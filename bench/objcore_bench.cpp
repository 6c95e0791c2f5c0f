// Cost of objcore's counting: one add/release pair, a weak lock, and both
// again with two threads working on the same block.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "objcore/objcore.h"

namespace {

struct Thing : oc::Object {};

template <class Body>
double NanosPerOp(int threads, long iterations, Body body) {
  std::atomic<bool> go{false};
  std::thread helper;
  if (threads == 2) {
    helper = std::thread([&] {
      while (!go.load()) std::this_thread::yield();
      for (long i = 0; i < iterations; ++i) body();
    });
  }
  const auto start = std::chrono::steady_clock::now();
  go.store(true);
  for (long i = 0; i < iterations; ++i) body();
  if (helper.joinable()) helper.join();
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / static_cast<double>(iterations);
}

}  // namespace

int main() {
  constexpr long kIterations = 5'000'000;
  oc::StrongPtr<Thing> owner = oc::MakeStrong<Thing>();
  const oc::WeakPtr<Thing> weak = owner;
  oc::DblRef* block = owner->RefBlock();

  for (int threads = 1; threads <= 2; ++threads) {
    const double pair = NanosPerOp(threads, kIterations, [&] {
      oc::DblRefAddObjRef(block);
      oc::DblRefReleaseObj(block);
    });
    const double copy = NanosPerOp(threads, kIterations, [&] { oc::StrongPtr<Thing> again = owner; });
    const double lock = NanosPerOp(threads, kIterations, [&] { oc::StrongPtr<Thing> locked = weak.Lock(); });
    std::printf("%d thread(s): add+release %.1f ns, StrongPtr copy %.1f ns, WeakPtr::Lock+release %.1f ns\n",
                threads, pair, copy, lock);
  }
  return 0;
}
