#pragma once
// Owners for Win32 handles (and C-library descriptors): one generic owner, one line per handle kind naming
// its empty value and its close function. Move-only; the handle is closed when
// the owner goes out of scope or is reset, so no error path can leak one.
#include <io.h>
#include <windows.h>

#include <utility>

namespace bk::win {

template <typename Traits>
class unique_any {
 public:
  using pointer = typename Traits::type;

  unique_any() noexcept : value_(Traits::Empty()) {}
  explicit unique_any(pointer value) noexcept : value_(value) {}
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  unique_any(unique_any&& other) noexcept : value_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_any() { reset(); }

  pointer get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::Empty(); }

  // Closes the current handle (if any) and takes ownership of value.
  void reset(pointer value = Traits::Empty()) noexcept {
    pointer old = std::exchange(value_, value);
    if (old != Traits::Empty()) Traits::Close(old);
  }
  pointer release() noexcept { return std::exchange(value_, Traits::Empty()); }
  // For APIs that return the handle through an out parameter.
  pointer* put() noexcept {
    reset();
    return &value_;
  }

 private:
  pointer value_;
};

namespace traits {
struct File {  // CreateFile: INVALID_HANDLE_VALUE when empty
  using type = HANDLE;
  static type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(type h) { ::CloseHandle(h); }
};
struct Handle {  // mutexes, events, mappings, processes, snapshots: NULL when empty
  using type = HANDLE;
  static type Empty() { return nullptr; }
  static void Close(type h) { ::CloseHandle(h); }
};
struct Find {
  using type = HANDLE;
  static type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(type h) { ::FindClose(h); }
};
struct RegKey {
  using type = HKEY;
  static type Empty() { return nullptr; }
  static void Close(type h) { ::RegCloseKey(h); }
};
struct Library {
  using type = HMODULE;
  static type Empty() { return nullptr; }
  static void Close(type h) { ::FreeLibrary(h); }
};
struct MapView {
  using type = void*;
  static type Empty() { return nullptr; }
  static void Close(type p) { ::UnmapViewOfFile(p); }
};
struct LocalMemory {
  using type = HLOCAL;
  static type Empty() { return nullptr; }
  static void Close(type h) { ::LocalFree(h); }
};
struct Fd {  // C-library file descriptors (_open): -1 when empty
  using type = int;
  static type Empty() { return -1; }
  static void Close(type fd) { ::_close(fd); }
};
}  // namespace traits

using unique_hfile = unique_any<traits::File>;
using unique_handle = unique_any<traits::Handle>;
using unique_hfind = unique_any<traits::Find>;
using unique_hkey = unique_any<traits::RegKey>;
using unique_hmodule = unique_any<traits::Library>;
using unique_mapview = unique_any<traits::MapView>;
using unique_hlocal = unique_any<traits::LocalMemory>;
using unique_fd = unique_any<traits::Fd>;

// A mutex this thread owns: released (not closed) when the owner ends.
class mutex_ownership {
 public:
  explicit mutex_ownership(HANDLE mutex = nullptr) noexcept : mutex_(mutex) {}
  mutex_ownership(const mutex_ownership&) = delete;
  mutex_ownership& operator=(const mutex_ownership&) = delete;
  ~mutex_ownership() {
    if (mutex_ != nullptr) ::ReleaseMutex(mutex_);
  }

 private:
  HANDLE mutex_;
};

}  // namespace bk::win
