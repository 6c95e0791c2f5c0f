// objcore: reference-counted objects with strong and weak references, and the
// exception types their users raise.
//
// Every oc::Object owns a small control block, oc::DblRef, that counts strong
// references (which keep the object alive) and weak references (which keep
// only the block). The block is allocated and freed inside objcore.dll, and the
// counting lives there too, so that every module shares one implementation.
//
// Most code should not call the counter functions directly but hold objects
// through oc::StrongPtr and oc::WeakPtr (below), which follow the protocol:
//   - a strong owner adds an object reference when it takes the object and
//     releases it when it lets go; the owner that sees 0 destroys the object;
//   - the object's destructor gives up the weak reference the object holds on
//     its own block;
//   - a weak observer holds a weak reference on the block and turns it into a
//     strong one with DblRefAcquireObj, which never revives a count of 0;
//   - whoever brings the weak count to 0 frees the block.
//
// Linking: on Windows every module that uses objcore links the GCC runtime as
// DLLs (libgcc_s_*.dll, libstdc++-6.dll, libwinpthread-1.dll, shipped beside
// objcore.dll) rather than statically. The 32-bit runtime unwinds with DWARF
// tables that each copy of a static libgcc registers only with itself, so an
// exception thrown in one module (std::bad_alloc from oc::Object's
// constructor, or an oc:: exception thrown by a library) could not be caught
// in another. src/objcore/CMakeLists.txt provides objcore_link(target) for
// this; the installed CMake package gives objcore::objcore and
// objcore_copy_runtime(target).
//
// The interface is C++ compiled by GCC (mingw-w64): classes, exceptions and
// their type records follow GCC's ABI and name mangling, so objcore needs a
// consumer built with GCC. Visual C++ can link bkrestore (a C interface) but
// not objcore.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <type_traits>
#include <utility>

#if defined(_WIN32)
#if defined(OBJCORE_BUILDING)
#define OC_API __declspec(dllexport)
#else
#define OC_API __declspec(dllimport)
#endif
#else
#define OC_API __attribute__((visibility("default")))
#endif

namespace oc {

// A signed 32-bit counter. On Windows it is LONG, the type the Interlocked
// functions operate on.
#if defined(_WIN32)
using RefCount = long;
#else
using RefCount = std::int32_t;
#endif
static_assert(sizeof(RefCount) == 4, "reference counters are 32-bit");

// The control block of one object. Read and change it only through the
// functions below.
struct DblRef {
  RefCount weakCount;    // weak references, plus 1 held by the object while it exists
  RefCount objectCount;  // strong references
};
static_assert(sizeof(DblRef) == 8, "the block is two 32-bit counters");
static_assert(offsetof(DblRef, objectCount) == 4, "weak count first, object count second");

// The counter operations. None of them checks its argument: a null or freed
// block is the caller's fault. Changes are single interlocked operations, and
// each result is the value that same operation produced.
OC_API void DblRefAddWeakRef(DblRef* block);
// Frees the block when the weak count falls to 0.
OC_API void DblRefReleaseWeak(DblRef* block);
// Returns the object count after the increment.
OC_API RefCount DblRefAddObjRef(DblRef* block);
// Returns the object count after the decrement; frees and destroys nothing.
OC_API RefCount DblRefReleaseObj(DblRef* block);
// Adds a strong reference unless the object count is 0 (the object is gone or
// was never owned); true when the reference was added.
OC_API bool DblRefAcquireObj(DblRef* block);
// Plain reads: the value may be stale by the time the caller looks at it.
OC_API RefCount DblRefObjRefCount(const DblRef* block);
OC_API RefCount DblRefWeakRefCount(const DblRef* block);

// The base of reference-counted objects. No virtual functions: the owner that
// destroys an object must delete it as its own type (oc::StrongPtr does).
//
// Copies: a copy is a new object with a block of its own (weak 1, object 0),
// and assignment copies no counts: the target keeps its own block. Sharing the
// source's block would make the owners of two objects count on one object
// count (one of the objects would then be destroyed while still owned, or
// never), and the shared block would be released once per object but counted
// once.
class Object {
 public:
  OC_API Object(const Object& other);
  // Leaves this object's block in place; returns *this.
  OC_API Object& operator=(const Object& other) noexcept;

  // The object's control block, for oc::StrongPtr and oc::WeakPtr and for
  // callers that count by hand.
  DblRef* RefBlock() const noexcept { return block_; }

 protected:
  // Allocates the block; std::bad_alloc propagates to the caller.
  OC_API Object();
  // Gives up the object's own weak reference. Not virtual: delete objects as
  // their own type.
  OC_API ~Object();

  // Hooks for derived classes; objcore calls neither.
  OC_API void Initialize();
  OC_API void Finalize();

 private:
  DblRef* block_;
};

// The exception types of objcore's users. Each adds nothing to std::exception
// but its type, so what() gives the standard library's default text. The
// constructors live in objcore, so every object carries objcore's virtual
// table; GCC gives each importing module its own copy of the type record, and
// handlers match records by their mangled name, across modules too.

// A null reference was used.
class OC_API NullPtrException : public std::exception {
 public:
  NullPtrException() noexcept;
  NullPtrException(const NullPtrException& other) noexcept;
  NullPtrException& operator=(const NullPtrException& other) noexcept;
  ~NullPtrException() override;
};

// A weak reference no longer reaches its object.
class OC_API InvalidWeakPtrException : public std::exception {
 public:
  InvalidWeakPtrException() noexcept;
  InvalidWeakPtrException(const InvalidWeakPtrException& other) noexcept;
  InvalidWeakPtrException& operator=(const InvalidWeakPtrException& other) noexcept;
  ~InvalidWeakPtrException() override;
};

// An object is not completely constructed.
class OC_API IncompleteObjectException : public std::exception {
 public:
  IncompleteObjectException() noexcept;
  IncompleteObjectException(const IncompleteObjectException& other) noexcept;
  IncompleteObjectException& operator=(const IncompleteObjectException& other) noexcept;
  ~IncompleteObjectException() override;
};

// A conversion to another object type failed.
class OC_API BadCastException : public std::exception {
 public:
  BadCastException() noexcept;
  BadCastException(const BadCastException& other) noexcept;
  BadCastException& operator=(const BadCastException& other) noexcept;
  ~BadCastException() override;
};

// An argument was not acceptable.
class OC_API ArgException : public std::exception {
 public:
  ArgException() noexcept;
  ArgException(const ArgException& other) noexcept;
  ArgException& operator=(const ArgException& other) noexcept;
  ~ArgException() override;
};

template <class T>
class WeakPtr;

namespace detail {

// Deletes an object as the type it was taken with. Object's destructor is not
// virtual, so an owner holding a Derived through StrongPtr<Base> must still
// run ~Derived; the function travels with the pointer for that reason.
using Destroyer = void (*)(Object*) noexcept;

template <class U>
void DestroyAs(Object* object) noexcept {
  delete static_cast<U*>(object);
}

template <class U, class T>
inline constexpr bool kConvertible = std::is_convertible_v<U*, T*>;

}  // namespace detail

// A strong reference: the object lives while at least one StrongPtr holds it.
//
// StrongPtr(U* object) takes a reference to an object created with new as U,
// its most-derived type or a type with a virtual destructor: the last owner
// deletes it as U. The raw pointer may come from an object that other
// StrongPtrs already own (counting is in the object), but never from an object
// that is not on the heap or has already been destroyed.
template <class T>
class StrongPtr {
  static_assert(std::is_base_of_v<Object, T>, "StrongPtr holds oc::Object types");

 public:
  using element_type = T;

  constexpr StrongPtr() noexcept = default;
  constexpr StrongPtr(std::nullptr_t) noexcept {}

  template <class U, std::enable_if_t<detail::kConvertible<U, T>, int> = 0>
  explicit StrongPtr(U* object) noexcept : ptr_(object), destroy_(object ? &detail::DestroyAs<U> : nullptr) {
    if (ptr_) DblRefAddObjRef(Block());
  }

  // The object of a weak reference; InvalidWeakPtrException when it is gone.
  template <class U, std::enable_if_t<detail::kConvertible<U, T>, int> = 0>
  explicit StrongPtr(const WeakPtr<U>& weak) : StrongPtr(weak.Lock()) {
    if (!ptr_) throw InvalidWeakPtrException();
  }

  StrongPtr(const StrongPtr& other) noexcept : ptr_(other.ptr_), destroy_(other.destroy_) {
    if (ptr_) DblRefAddObjRef(Block());
  }
  template <class U, std::enable_if_t<detail::kConvertible<U, T>, int> = 0>
  StrongPtr(const StrongPtr<U>& other) noexcept : ptr_(other.ptr_), destroy_(other.destroy_) {
    if (ptr_) DblRefAddObjRef(Block());
  }
  StrongPtr(StrongPtr&& other) noexcept
      : ptr_(std::exchange(other.ptr_, nullptr)), destroy_(std::exchange(other.destroy_, nullptr)) {}
  template <class U, std::enable_if_t<detail::kConvertible<U, T>, int> = 0>
  StrongPtr(StrongPtr<U>&& other) noexcept
      : ptr_(std::exchange(other.ptr_, nullptr)), destroy_(std::exchange(other.destroy_, nullptr)) {}

  // By value: copies count before the old reference is released, so
  // assigning a pointer to itself (or to another owner of the same object)
  // never destroys the object on the way.
  StrongPtr& operator=(StrongPtr other) noexcept {
    Swap(other);
    return *this;
  }

  ~StrongPtr() { Reset(); }

  void Reset() noexcept {
    T* const object = std::exchange(ptr_, nullptr);
    const detail::Destroyer destroy = std::exchange(destroy_, nullptr);
    if (object && DblRefReleaseObj(object->RefBlock()) == 0) destroy(object);
  }

  void Swap(StrongPtr& other) noexcept {
    std::swap(ptr_, other.ptr_);
    std::swap(destroy_, other.destroy_);
  }

  T* Get() const noexcept { return ptr_; }
  // Dereferencing an empty pointer throws NullPtrException.
  T& operator*() const { return *Checked(); }
  T* operator->() const { return Checked(); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

  // The object count; 0 when empty. May be stale under concurrent use.
  RefCount UseCount() const noexcept { return ptr_ ? DblRefObjRefCount(Block()) : 0; }

 private:
  template <class>
  friend class StrongPtr;
  template <class>
  friend class WeakPtr;

  // For a reference DblRefAcquireObj has already counted.
  struct Adopt {};
  StrongPtr(Adopt, T* object, detail::Destroyer destroy) noexcept : ptr_(object), destroy_(destroy) {}

  DblRef* Block() const noexcept { return ptr_->RefBlock(); }
  T* Checked() const {
    if (!ptr_) throw NullPtrException();
    return ptr_;
  }

  T* ptr_ = nullptr;
  detail::Destroyer destroy_ = nullptr;
};

// A weak reference: keeps the block, not the object. Lock() gives a strong
// reference while the object lives and an empty one after its last owner let
// go, even when the two race.
template <class T>
class WeakPtr {
  static_assert(std::is_base_of_v<Object, T>, "WeakPtr holds oc::Object types");

 public:
  constexpr WeakPtr() noexcept = default;

  template <class U, std::enable_if_t<detail::kConvertible<U, T>, int> = 0>
  WeakPtr(const StrongPtr<U>& strong) noexcept
      : ptr_(strong.ptr_), destroy_(strong.destroy_), block_(strong.ptr_ ? strong.Block() : nullptr) {
    if (block_) DblRefAddWeakRef(block_);
  }

  WeakPtr(const WeakPtr& other) noexcept : ptr_(other.ptr_), destroy_(other.destroy_), block_(other.block_) {
    if (block_) DblRefAddWeakRef(block_);
  }
  WeakPtr(WeakPtr&& other) noexcept
      : ptr_(std::exchange(other.ptr_, nullptr)),
        destroy_(std::exchange(other.destroy_, nullptr)),
        block_(std::exchange(other.block_, nullptr)) {}
  // Converting a pointer to a base may read the object (virtual bases), so a
  // weak reference converts only through a live object; an expired one
  // becomes empty.
  template <class U, std::enable_if_t<detail::kConvertible<U, T> && !std::is_same_v<U, T>, int> = 0>
  WeakPtr(const WeakPtr<U>& other) noexcept : WeakPtr(StrongPtr<T>(other.Lock())) {}

  WeakPtr& operator=(WeakPtr other) noexcept {
    Swap(other);
    return *this;
  }

  ~WeakPtr() { Reset(); }

  void Reset() noexcept {
    ptr_ = nullptr;
    destroy_ = nullptr;
    if (DblRef* const block = std::exchange(block_, nullptr)) DblRefReleaseWeak(block);
  }

  void Swap(WeakPtr& other) noexcept {
    std::swap(ptr_, other.ptr_);
    std::swap(destroy_, other.destroy_);
    std::swap(block_, other.block_);
  }

  // A strong reference to the object, or an empty one when it is gone.
  StrongPtr<T> Lock() const noexcept {
    if (block_ && DblRefAcquireObj(block_)) return StrongPtr<T>(typename StrongPtr<T>::Adopt{}, ptr_, destroy_);
    return StrongPtr<T>();
  }

  // True when the object is gone; a false answer may be stale at once.
  bool Expired() const noexcept { return !block_ || DblRefObjRefCount(block_) == 0; }

 private:
  template <class>
  friend class WeakPtr;

  T* ptr_ = nullptr;  // valid only while a strong reference is held
  detail::Destroyer destroy_ = nullptr;
  DblRef* block_ = nullptr;
};

// Creates an object and its first strong reference.
template <class T, class... Args>
StrongPtr<T> MakeStrong(Args&&... args) {
  return StrongPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace oc
