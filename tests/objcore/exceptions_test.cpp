// The five exception types, thrown and caught on both sides of a module
// boundary (this program and objcore_thrower), with objcore holding their
// virtual tables and type records.
#include <gtest/gtest.h>

#include <cstring>
#include <exception>
#include <typeinfo>

#include "objcore/objcore.h"
#include "thrower.h"

namespace {

using octest::Kind;

template <class E>
struct KindOf;
template <>
struct KindOf<oc::NullPtrException> {
  static constexpr Kind value = Kind::kNullPtr;
};
template <>
struct KindOf<oc::InvalidWeakPtrException> {
  static constexpr Kind value = Kind::kInvalidWeakPtr;
};
template <>
struct KindOf<oc::IncompleteObjectException> {
  static constexpr Kind value = Kind::kIncompleteObject;
};
template <>
struct KindOf<oc::BadCastException> {
  static constexpr Kind value = Kind::kBadCast;
};
template <>
struct KindOf<oc::ArgException> {
  static constexpr Kind value = Kind::kArg;
};

// This program's handlers, tried in the same order as the library's.
int CatchHere(Kind thrownByLibrary) {
  try {
    octest::ThrowFromLibrary(thrownByLibrary);
  } catch (const oc::NullPtrException&) {
    return static_cast<int>(Kind::kNullPtr);
  } catch (const oc::InvalidWeakPtrException&) {
    return static_cast<int>(Kind::kInvalidWeakPtr);
  } catch (const oc::IncompleteObjectException&) {
    return static_cast<int>(Kind::kIncompleteObject);
  } catch (const oc::BadCastException&) {
    return static_cast<int>(Kind::kBadCast);
  } catch (const oc::ArgException&) {
    return static_cast<int>(Kind::kArg);
  } catch (...) {
    return octest::kUnknown;
  }
}

template <class E>
class ExceptionType : public ::testing::Test {};

using AllTypes = ::testing::Types<oc::NullPtrException, oc::InvalidWeakPtrException, oc::IncompleteObjectException,
                                  oc::BadCastException, oc::ArgException>;
TYPED_TEST_SUITE(ExceptionType, AllTypes);

TYPED_TEST(ExceptionType, HoldsOnlyTheStandardExceptionState) {
  static_assert(sizeof(TypeParam) == sizeof(std::exception));
  static_assert(std::is_base_of_v<std::exception, TypeParam>);
  static_assert(std::has_virtual_destructor_v<TypeParam>);
  const TypeParam e;
  EXPECT_STREQ(e.what(), std::exception().what());
}

TYPED_TEST(ExceptionType, ThrownInTheLibraryIsCaughtHereByItsOwnType) {
  EXPECT_EQ(CatchHere(KindOf<TypeParam>::value), static_cast<int>(KindOf<TypeParam>::value));
}

TYPED_TEST(ExceptionType, ThrownInTheLibraryIsCaughtHereAsStdException) {
  try {
    octest::ThrowFromLibrary(KindOf<TypeParam>::value);
  } catch (const std::exception& e) {
    EXPECT_EQ(typeid(e), typeid(TypeParam));
    EXPECT_STREQ(e.what(), std::exception().what());
    return;
  } catch (...) {
  }
  ADD_FAILURE() << "not caught as std::exception";
}

TYPED_TEST(ExceptionType, ThrownHereIsCaughtInTheLibraryByItsOwnType) {
  EXPECT_EQ(octest::CatchInLibrary([] { throw TypeParam(); }), static_cast<int>(KindOf<TypeParam>::value));
  // A copy thrown through a std::exception reference keeps its own type.
  EXPECT_EQ(octest::CatchInLibrary([] {
              try {
                throw TypeParam();
              } catch (const std::exception&) {
                throw;
              }
            }),
            static_cast<int>(KindOf<TypeParam>::value));
}

// The constructors live in objcore, so every object of a type carries
// objcore's virtual table, whichever module made it. (GCC gives each module
// that imports the class its own copy of the type record; records match by
// name, which is what the handlers above rely on.)
TYPED_TEST(ExceptionType, BothModulesUseOneVirtualTable) {
  auto vtableOf = [](const std::exception& e) {
    const void* vptr;
    std::memcpy(&vptr, static_cast<const void*>(&e), sizeof vptr);
    return vptr;
  };
  const TypeParam here;
  try {
    octest::ThrowFromLibrary(KindOf<TypeParam>::value);
  } catch (const std::exception& fromLibrary) {
    EXPECT_EQ(vtableOf(fromLibrary), vtableOf(here));
  }
  EXPECT_EQ(octest::TypeSeenByLibrary(KindOf<TypeParam>::value), typeid(TypeParam));
  EXPECT_STREQ(octest::TypeSeenByLibrary(KindOf<TypeParam>::value).name(), typeid(TypeParam).name());
}

TYPED_TEST(ExceptionType, CopyKeepsItsDynamicType) {
  const TypeParam original;
  const TypeParam copy(original);
  const std::exception& asBase = copy;
  EXPECT_EQ(typeid(asBase), typeid(TypeParam));
  EXPECT_STREQ(asBase.what(), std::exception().what());
  try {
    throw copy;
  } catch (const TypeParam&) {
    SUCCEED();
  } catch (...) {
    ADD_FAILURE() << "a thrown copy lost its type";
  }
}

TYPED_TEST(ExceptionType, AssignmentReturnsTheTarget) {
  const TypeParam source;
  TypeParam target;
  TypeParam& result = (target = source);
  EXPECT_EQ(&result, &target);
  const std::exception& asBase = target;
  EXPECT_EQ(typeid(asBase), typeid(TypeParam));
  EXPECT_STREQ(target.what(), std::exception().what());
}

TEST(ExceptionTypes, OtherStandardExceptionsPassTheirHandlers) {
  EXPECT_EQ(octest::CatchInLibrary([] { throw std::bad_cast(); }), octest::kOtherException);
}

}  // namespace
