#include <atomic>
#include <cstdlib>
#include <new>

#include "test_support.h"

// ThreadSanitizer's runtime brings its own operator new and delete, which
// cannot be replaced.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OCTEST_NO_DELETE_HOOK 1
#endif
#endif
#if defined(_WIN32) || defined(__SANITIZE_THREAD__)
#define OCTEST_NO_DELETE_HOOK 1
#endif

namespace {

std::atomic<const void*> g_watched{nullptr};
std::atomic<int> g_frees{0};

}  // namespace

#if !defined(OCTEST_NO_DELETE_HOOK)

namespace {

void Note(const void* p) {
  if (p != nullptr && p == g_watched.load(std::memory_order_acquire)) g_frees.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  Note(p);
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  Note(p);
  std::free(p);
}

#endif

namespace octest {

FreeWatch::FreeWatch(const void* address) {
  g_frees.store(0, std::memory_order_relaxed);
  g_watched.store(address, std::memory_order_release);
}

FreeWatch::~FreeWatch() { g_watched.store(nullptr, std::memory_order_release); }

bool FreeWatch::Observable() {
#if defined(OCTEST_NO_DELETE_HOOK)
  return false;
#else
  return true;
#endif
}

int FreeWatch::Frees() const { return g_frees.load(std::memory_order_acquire); }

}  // namespace octest
