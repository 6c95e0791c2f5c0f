// oc::StrongPtr and oc::WeakPtr: ownership, conversion, the exceptions they
// raise, and a weak lock racing the last release.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "objcore/objcore.h"
#include "test_support.h"

namespace {

using oc::MakeStrong;
using oc::StrongPtr;
using oc::WeakPtr;
using octest::FreeWatch;

constexpr int kAlive = 0x0b1ec7, kDead = 0xdead;

struct Census {
  std::atomic<int> created{0}, destroyed{0}, derivedDestroyed{0}, misuse{0};
};

struct Tracked : oc::Object {
  explicit Tracked(Census& c) : census(&c) { census->created.fetch_add(1); }
  ~Tracked() {
    if (state != kAlive) census->misuse.fetch_add(1);  // destroyed twice
    state = kDead;
    census->destroyed.fetch_add(1);
  }
  Census* census;
  int state = kAlive;
};

struct DerivedTracked : Tracked {
  using Tracked::Tracked;
  ~DerivedTracked() { census->derivedDestroyed.fetch_add(1); }
};

TEST(StrongPtr, LastOwnerDestroysTheObjectOnce) {
  Census census;
  StrongPtr<Tracked> first = MakeStrong<Tracked>(census);
  EXPECT_EQ(first.UseCount(), 1);
  StrongPtr<Tracked> second = first;
  EXPECT_EQ(first.UseCount(), 2);
  StrongPtr<Tracked> third(std::move(second));
  EXPECT_FALSE(second);
  EXPECT_EQ(third.UseCount(), 2);
  const StrongPtr<Tracked>& alias = first;
  first = alias;  // self-assignment keeps the object
  EXPECT_EQ(first.UseCount(), 2);
  first = third;  // assigning another owner of the same object, too
  EXPECT_EQ(first.UseCount(), 2);

  first.Reset();
  EXPECT_EQ(census.destroyed, 0);
  EXPECT_EQ(third->state, kAlive);
  third = nullptr;
  EXPECT_EQ(census.destroyed, 1);
  EXPECT_EQ(census.misuse, 0);
}

TEST(StrongPtr, RawPointerOfAnOwnedObjectJoinsItsOwners) {
  // The count lives in the object, so a raw pointer handed out by an owner
  // can become another owner.
  Census census;
  StrongPtr<Tracked> owner = MakeStrong<Tracked>(census);
  StrongPtr<Tracked> fromRaw(owner.Get());
  EXPECT_EQ(owner.UseCount(), 2);
  owner.Reset();
  EXPECT_EQ(census.destroyed, 0);
  fromRaw.Reset();
  EXPECT_EQ(census.destroyed, 1);
}

TEST(StrongPtr, OwnerOfABaseDestroysTheWholeObject) {
  Census census;
  StrongPtr<Tracked> base = MakeStrong<DerivedTracked>(census);
  WeakPtr<Tracked> weak = base;
  StrongPtr<Tracked> locked = weak.Lock();
  ASSERT_TRUE(locked);
  base.Reset();
  locked.Reset();  // the object goes through a pointer taken from the weak one
  EXPECT_EQ(census.destroyed, 1);
  EXPECT_EQ(census.derivedDestroyed, 1);
}

TEST(StrongPtr, EmptyPointersThrowObjcoreExceptions) {
  StrongPtr<Tracked> empty;
  EXPECT_THROW(*empty, oc::NullPtrException);
  EXPECT_THROW((void)empty->state, oc::NullPtrException);
  EXPECT_EQ(empty.UseCount(), 0);

  const WeakPtr<Tracked> neverSet;
  EXPECT_TRUE(neverSet.Expired());
  EXPECT_FALSE(neverSet.Lock());
  EXPECT_THROW(StrongPtr<Tracked>{neverSet}, oc::InvalidWeakPtrException);
}

TEST(WeakPtr, ReachesTheObjectOnlyWhileItLives) {
  Census census;
  StrongPtr<Tracked> owner = MakeStrong<Tracked>(census);
  oc::DblRef* block = owner->RefBlock();
  FreeWatch watch(block);
  WeakPtr<Tracked> weak = owner;
  WeakPtr<Tracked> weakCopy = weak;
  EXPECT_EQ(oc::DblRefWeakRefCount(block), 3);
  {
    StrongPtr<Tracked> locked = weak.Lock();
    ASSERT_EQ(locked.Get(), owner.Get());
    EXPECT_EQ(owner.UseCount(), 2);
    StrongPtr<Tracked> checked(weakCopy);
    EXPECT_EQ(owner.UseCount(), 3);
  }
  EXPECT_FALSE(weak.Expired());

  owner.Reset();
  EXPECT_EQ(census.destroyed, 1);
  EXPECT_TRUE(weak.Expired());
  EXPECT_FALSE(weak.Lock());
  EXPECT_THROW(StrongPtr<Tracked>{weak}, oc::InvalidWeakPtrException);
  EXPECT_EQ(oc::DblRefWeakRefCount(block), 2);  // the object gave up its own
  EXPECT_EQ(watch.Frees(), 0);

  weak.Reset();
  EXPECT_EQ(watch.Frees(), 0);
  weakCopy = WeakPtr<Tracked>();  // the last weak reference frees the block
  if (FreeWatch::Observable()) { EXPECT_EQ(watch.Frees(), 1); }
  EXPECT_EQ(census.misuse, 0);
}

TEST(WeakPtr, ConvertsToABaseOnlyThroughALiveObject) {
  Census census;
  StrongPtr<DerivedTracked> owner = MakeStrong<DerivedTracked>(census);
  WeakPtr<DerivedTracked> derived = owner;
  WeakPtr<Tracked> base = derived;
  EXPECT_EQ(base.Lock().Get(), owner.Get());
  owner.Reset();
  EXPECT_EQ(census.derivedDestroyed, 1);
  const WeakPtr<Tracked> late = derived;
  EXPECT_TRUE(late.Expired());
  EXPECT_FALSE(base.Lock());
}

TEST(ObjectCopy, OwnersOfTwoObjectsStayApartAfterAssignment) {
  Census census;
  StrongPtr<Tracked> a = MakeStrong<Tracked>(census);
  StrongPtr<Tracked> b = MakeStrong<Tracked>(census);
  WeakPtr<Tracked> weakB = b;
  *b = *a;
  a.Reset();
  EXPECT_EQ(census.destroyed, 1);
  StrongPtr<Tracked> stillB = weakB.Lock();
  ASSERT_TRUE(stillB);
  EXPECT_EQ(stillB->state, kAlive);
  stillB.Reset();
  b.Reset();
  EXPECT_EQ(census.destroyed, 2);
  EXPECT_EQ(census.misuse, 0);
}

// Each round one object is created; the main thread drops its only owner
// while two threads keep locking their weak pointers until a lock fails. A
// locker that wins may end up as the last owner and destroy the object
// itself. The object must be destroyed exactly once per round, every lock
// that succeeds must reach a live object, and every block must be freed once
// (the sanitizer builds watch the memory).
TEST(WeakPtr, LockRacingTheLastReleaseNeverRevivesTheObject) {
  constexpr int kRounds = 3000;
  constexpr int kLockers = 2;
  Census census;
  StrongPtr<Tracked> owner;
  WeakPtr<Tracked> weak[kLockers];
  std::atomic<int> deadReached{0}, locksWon{0};
  octest::SpinBarrier barrier(kLockers + 1);

  auto locker = [&](int id) {
    for (int round = 0; round < kRounds; ++round) {
      barrier.ArriveAndWait();  // round starts
      while (StrongPtr<Tracked> locked = weak[id].Lock()) {
        if (locked->state != kAlive) deadReached.fetch_add(1);
        locksWon.fetch_add(1);
      }
      weak[id].Reset();
      barrier.ArriveAndWait();  // round ends
    }
  };
  std::vector<std::thread> threads;
  for (int id = 0; id < kLockers; ++id) threads.emplace_back(locker, id);

  int badRounds = 0;
  for (int round = 0; round < kRounds; ++round) {
    owner = MakeStrong<Tracked>(census);
    for (WeakPtr<Tracked>& w : weak) w = owner;
    barrier.ArriveAndWait();
    owner.Reset();
    barrier.ArriveAndWait();
    if (census.destroyed.load() != round + 1 && ++badRounds <= 3)
      ADD_FAILURE() << "after round " << round << ": " << census.destroyed.load() << " objects destroyed";
  }
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(census.created, kRounds);
  EXPECT_EQ(census.destroyed, kRounds);
  EXPECT_EQ(census.misuse, 0);
  EXPECT_EQ(deadReached, 0);
  RecordProperty("locks_won", locksWon.load());
}

}  // namespace
