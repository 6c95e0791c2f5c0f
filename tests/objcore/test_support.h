// Helpers of the objcore tests: a spinning barrier for races and a watch on
// the freeing of one control block.
#pragma once

#include <atomic>
#include <thread>

namespace octest {

// Releases all parties at once, again and again: threads that start each
// round together make the interesting interleavings likely.
class SpinBarrier {
 public:
  explicit SpinBarrier(int parties) : parties_(parties) {}

  void ArriveAndWait() {
    const int round = round_.load(std::memory_order_acquire);
    if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == parties_) {
      arrived_.store(0, std::memory_order_relaxed);
      round_.fetch_add(1, std::memory_order_release);
      return;
    }
    while (round_.load(std::memory_order_acquire) == round) std::this_thread::yield();
  }

 private:
  const int parties_;
  std::atomic<int> arrived_{0};
  std::atomic<int> round_{0};
};

// Counts how often one address is handed to operator delete. Only the native
// build can see objcore's frees (the test program's operator delete serves
// the shared library too). On Windows objcore frees through the runtime DLL,
// and ThreadSanitizer keeps operator delete for itself: there Observable() is
// false (the AddressSanitizer build still sees every free).
class FreeWatch {
 public:
  explicit FreeWatch(const void* address);
  ~FreeWatch();
  FreeWatch(const FreeWatch&) = delete;
  FreeWatch& operator=(const FreeWatch&) = delete;

  static bool Observable();
  int Frees() const;
};

}  // namespace octest
