// The five exception types, thrown and caught on both sides of a module
// boundary (this program and objcore_thrower), with objcore holding their
// virtual tables and type records.
#include <gtest/gtest.h>

#include <cstring>
#include <exception>
#include <new>
#include <typeinfo>

#if defined(_WIN32)
#include <windows.h>
#endif

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

#if defined(_WIN32)
// One import of a loaded module answered by another function while the owner
// lives: the module's import address table slot of `name` from `dll`.
class ImportOverride {
 public:
  ImportOverride(HMODULE module, const char* dll, const char* name, void* replacement) {
    auto* base = reinterpret_cast<unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
      if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
      const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
      for (int i = 0; names[i].u1.AddressOfData != 0; ++i) {
        if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
        const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
        if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
        slot_ = reinterpret_cast<void**>(&slots[i].u1.Function);
        original_ = Swap(replacement);
        return;
      }
    }
  }
  ~ImportOverride() {
    if (slot_ != nullptr) Swap(original_);
  }
  ImportOverride(const ImportOverride&) = delete;
  ImportOverride& operator=(const ImportOverride&) = delete;
  bool active() const { return slot_ != nullptr; }

 private:
  void* Swap(void* value) {
    DWORD protection = 0;
    ::VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
    void* const before = *slot_;
    *slot_ = value;
    ::VirtualProtect(slot_, sizeof *slot_, protection, &protection);
    return before;
  }
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

// operator new(std::size_t) as the runtime exports it.
constexpr const char* kOperatorNew = sizeof(std::size_t) == 8 ? "_Znwy" : "_Znwj";

void* NoMemory(std::size_t) { throw std::bad_alloc(); }

class Counted : public oc::Object {};

// An exception leaving objcore.dll through its own frames: the allocation in
// oc::Object's constructor fails (objcore.dll's import of operator new is
// answered by a function that throws std::bad_alloc, as the runtime's own does
// when memory runs out), and a handler here catches it. This takes the GCC
// runtime DLLs that ship with objcore.dll: with a static copy in objcore.dll
// the 32-bit unwinder would not know its frames.
TEST(ExceptionTypes, AnExceptionFromInsideObjcoreIsCaughtHere) {
  {
    ImportOverride failing(::GetModuleHandleA("objcore.dll"), "libstdc++-6.dll", kOperatorNew,
                           reinterpret_cast<void*>(NoMemory));
    ASSERT_TRUE(failing.active());
    bool caught = false;
    try {
      Counted counted;
    } catch (const std::bad_alloc&) {
      caught = true;
    }
    EXPECT_TRUE(caught);
  }
  Counted counted;
  EXPECT_EQ(oc::DblRefWeakRefCount(counted.RefBlock()), 1);
}
#endif

}  // namespace
