// The exported counter functions on the blocks of real objects, and the
// copy rule of oc::Object.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <thread>
#include <vector>

#include "objcore/objcore.h"
#include "test_support.h"

namespace {

using oc::DblRef;
using oc::RefCount;
using octest::FreeWatch;

struct Plain : oc::Object {
  int value = 0;
};

TEST(DblRef, NewObjectHoldsOnlyItsOwnWeakReference) {
  Plain object;
  DblRef* block = object.RefBlock();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(oc::DblRefWeakRefCount(block), 1);
  EXPECT_EQ(oc::DblRefObjRefCount(block), 0);
  // Nobody owns it yet, so a weak observer cannot take it.
  EXPECT_FALSE(oc::DblRefAcquireObj(block));
  EXPECT_EQ(oc::DblRefObjRefCount(block), 0);
  EXPECT_EQ(oc::DblRefWeakRefCount(block), 1);
}

TEST(DblRef, OperationsReturnTheCountTheyProduced) {
  Plain object;
  DblRef* block = object.RefBlock();
  EXPECT_EQ(oc::DblRefAddObjRef(block), 1);
  EXPECT_EQ(oc::DblRefAddObjRef(block), 2);
  EXPECT_TRUE(oc::DblRefAcquireObj(block));
  EXPECT_EQ(oc::DblRefObjRefCount(block), 3);
  EXPECT_EQ(oc::DblRefReleaseObj(block), 2);
  EXPECT_EQ(oc::DblRefReleaseObj(block), 1);
  EXPECT_EQ(oc::DblRefReleaseObj(block), 0);
  // Once the count is back at 0 the object counts as gone.
  EXPECT_FALSE(oc::DblRefAcquireObj(block));
  EXPECT_EQ(oc::DblRefObjRefCount(block), 0);

  oc::DblRefAddWeakRef(block);
  oc::DblRefAddWeakRef(block);
  EXPECT_EQ(oc::DblRefWeakRefCount(block), 3);
  oc::DblRefReleaseWeak(block);
  oc::DblRefReleaseWeak(block);
  EXPECT_EQ(oc::DblRefWeakRefCount(block), 1);
}

TEST(DblRef, OnlyTheLastWeakReleaseFreesTheBlock) {
  Plain* object = new Plain;
  DblRef* block = object->RefBlock();
  FreeWatch watch(block);
  oc::DblRefAddWeakRef(block);  // an observer
  EXPECT_EQ(oc::DblRefAddObjRef(block), 1);

  EXPECT_EQ(oc::DblRefReleaseObj(block), 0);  // frees and destroys nothing
  EXPECT_EQ(watch.Frees(), 0);
  EXPECT_EQ(oc::DblRefWeakRefCount(block), 2);

  delete object;  // gives up the object's own weak reference
  EXPECT_EQ(watch.Frees(), 0);
  EXPECT_EQ(oc::DblRefWeakRefCount(block), 1);
  EXPECT_EQ(oc::DblRefObjRefCount(block), 0);
  EXPECT_FALSE(oc::DblRefAcquireObj(block));

  oc::DblRefReleaseWeak(block);  // the observer's release is the last
  if (FreeWatch::Observable()) { EXPECT_EQ(watch.Frees(), 1); }
}

TEST(DblRef, ObjectWithoutObserversFreesItsBlock) {
  Plain* object = new Plain;
  FreeWatch watch(object->RefBlock());
  delete object;
  if (FreeWatch::Observable()) { EXPECT_EQ(watch.Frees(), 1); }
}

// Two threads add 100000 references each, then release them. Every result
// must come from its own interlocked operation: the adds see 2 .. 200001 and
// the releases 200000 .. 1, each value exactly once, and the count ends where
// it started.
TEST(DblRef, ConcurrentAddsAndReleasesLoseNothing) {
  constexpr int kPerThread = 100000;
  Plain object;
  DblRef* block = object.RefBlock();
  ASSERT_EQ(oc::DblRefAddObjRef(block), 1);  // the test's own reference

  std::vector<RefCount> added[2], released[2];
  octest::SpinBarrier barrier(2);
  auto work = [&](int t) {
    added[t].reserve(kPerThread);
    released[t].reserve(kPerThread);
    barrier.ArriveAndWait();
    for (int i = 0; i < kPerThread; ++i) added[t].push_back(oc::DblRefAddObjRef(block));
    barrier.ArriveAndWait();
    for (int i = 0; i < kPerThread; ++i) released[t].push_back(oc::DblRefReleaseObj(block));
    barrier.ArriveAndWait();
    for (int i = 0; i < kPerThread; ++i) oc::DblRefAddWeakRef(block);
    for (int i = 0; i < kPerThread; ++i) oc::DblRefReleaseWeak(block);
  };
  std::thread other(work, 1);
  work(0);
  other.join();

  EXPECT_EQ(oc::DblRefObjRefCount(block), 1);
  EXPECT_EQ(oc::DblRefWeakRefCount(block), 1);

  auto merged = [](const std::vector<RefCount>* parts) {
    std::vector<RefCount> all(parts[0]);
    all.insert(all.end(), parts[1].begin(), parts[1].end());
    std::sort(all.begin(), all.end());
    return all;
  };
  std::vector<RefCount> expected(2 * kPerThread);
  std::iota(expected.begin(), expected.end(), RefCount{2});
  EXPECT_TRUE(merged(added) == expected) << "an add result was seen twice or lost";
  std::iota(expected.begin(), expected.end(), RefCount{1});
  EXPECT_TRUE(merged(released) == expected) << "a release result was seen twice or lost";
  EXPECT_EQ(oc::DblRefReleaseObj(block), 0);
}

TEST(ObjectCopy, CopyIsANewObjectWithItsOwnBlock) {
  Plain source;
  source.value = 7;
  DblRef* sourceBlock = source.RefBlock();
  oc::DblRefAddObjRef(sourceBlock);  // source is owned
  oc::DblRefAddWeakRef(sourceBlock);  // and observed
  {
    Plain copy(source);
    EXPECT_EQ(copy.value, 7);
    ASSERT_NE(copy.RefBlock(), sourceBlock);
    EXPECT_EQ(oc::DblRefWeakRefCount(copy.RefBlock()), 1);
    EXPECT_EQ(oc::DblRefObjRefCount(copy.RefBlock()), 0);
    EXPECT_FALSE(oc::DblRefAcquireObj(copy.RefBlock()));  // the source's owners do not own the copy
  }
  // Destroying the copy released its own block, not the source's.
  EXPECT_EQ(oc::DblRefWeakRefCount(sourceBlock), 2);
  EXPECT_EQ(oc::DblRefObjRefCount(sourceBlock), 1);
  EXPECT_EQ(oc::DblRefReleaseObj(sourceBlock), 0);
  oc::DblRefReleaseWeak(sourceBlock);
}

TEST(ObjectCopy, AssignmentKeepsTheTargetsBlockAndCounts) {
  Plain source, target;
  source.value = 9;
  DblRef* sourceBlock = source.RefBlock();
  DblRef* targetBlock = target.RefBlock();
  oc::DblRefAddObjRef(targetBlock);  // target is owned
  FreeWatch watch(targetBlock);

  Plain& result = (target = source);
  EXPECT_EQ(&result, &target);
  EXPECT_EQ(target.value, 9);
  EXPECT_EQ(target.RefBlock(), targetBlock);
  EXPECT_EQ(source.RefBlock(), sourceBlock);
  EXPECT_EQ(oc::DblRefObjRefCount(targetBlock), 1);
  EXPECT_EQ(oc::DblRefWeakRefCount(targetBlock), 1);
  EXPECT_EQ(oc::DblRefObjRefCount(sourceBlock), 0);
  EXPECT_EQ(oc::DblRefWeakRefCount(sourceBlock), 1);
  EXPECT_EQ(watch.Frees(), 0);

  const Plain& alias = target;
  Plain& self = (target = alias);
  EXPECT_EQ(&self, &target);
  EXPECT_EQ(target.RefBlock(), targetBlock);
  EXPECT_EQ(oc::DblRefReleaseObj(targetBlock), 0);
}

}  // namespace
