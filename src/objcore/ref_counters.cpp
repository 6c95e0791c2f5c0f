// The reference counters and the object base.
#include "objcore/objcore.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace oc {
namespace {

// Each operation is one locked processor instruction, full barrier included:
// the owner that sees a count reach 0 must also see every write the other
// owners made before they let go. The plain reads are what they say: a value
// that may be stale.
#if defined(_WIN32)
static_assert(sizeof(LONG) == sizeof(RefCount), "the counters are LONGs");

RefCount Increment(RefCount* counter) { return InterlockedIncrement(counter); }
RefCount Decrement(RefCount* counter) { return InterlockedDecrement(counter); }
// Returns the value found; the exchange happened when it equals `expected`.
RefCount CompareExchange(RefCount* counter, RefCount desired, RefCount expected) {
  return InterlockedCompareExchange(counter, desired, expected);
}
RefCount Read(const RefCount* counter) { return *static_cast<const volatile RefCount*>(counter); }
#else
RefCount Increment(RefCount* counter) { return __atomic_add_fetch(counter, 1, __ATOMIC_SEQ_CST); }
RefCount Decrement(RefCount* counter) { return __atomic_sub_fetch(counter, 1, __ATOMIC_SEQ_CST); }
RefCount CompareExchange(RefCount* counter, RefCount desired, RefCount expected) {
  __atomic_compare_exchange_n(counter, &expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return expected;
}
RefCount Read(const RefCount* counter) { return __atomic_load_n(counter, __ATOMIC_RELAXED); }
#endif

}  // namespace

void DblRefAddWeakRef(DblRef* block) { Increment(&block->weakCount); }

void DblRefReleaseWeak(DblRef* block) {
  if (Decrement(&block->weakCount) == 0) delete block;
}

RefCount DblRefAddObjRef(DblRef* block) { return Increment(&block->objectCount); }

RefCount DblRefReleaseObj(DblRef* block) { return Decrement(&block->objectCount); }

bool DblRefAcquireObj(DblRef* block) {
  RefCount seen = Read(&block->objectCount);
  for (;;) {
    // At 0 the last owner has destroyed the object (or nobody owned it yet):
    // counting up again would hand out a dead object. A negative count only
    // follows an unbalanced release and is no better.
    if (seen <= 0) return false;
    const RefCount found = CompareExchange(&block->objectCount, seen + 1, seen);
    if (found == seen) return true;
    seen = found;
  }
}

RefCount DblRefObjRefCount(const DblRef* block) { return Read(&block->objectCount); }

RefCount DblRefWeakRefCount(const DblRef* block) { return Read(&block->weakCount); }

Object::Object() : block_(new DblRef{1, 0}) {}

// A copy is a different object: its owners and observers must not count on
// the source's block (see the header).
Object::Object(const Object&) : Object() {}

Object& Object::operator=(const Object&) noexcept { return *this; }

Object::~Object() { DblRefReleaseWeak(block_); }

void Object::Initialize() {}

void Object::Finalize() {}

}  // namespace oc
