// A second module for the exception tests: it throws and catches objcore's
// exception types on its own side of the module boundary.
#pragma once

#include <typeinfo>

#if defined(_WIN32)
#if defined(OBJCORE_THROWER_BUILDING)
#define OBJCORE_THROWER_API __declspec(dllexport)
#else
#define OBJCORE_THROWER_API __declspec(dllimport)
#endif
#else
#define OBJCORE_THROWER_API __attribute__((visibility("default")))
#endif

namespace octest {

// The five types, in the order the handlers below try them.
enum class Kind { kNullPtr, kInvalidWeakPtr, kIncompleteObject, kBadCast, kArg };

// Throws a default-constructed exception of the kind.
[[noreturn]] OBJCORE_THROWER_API void ThrowFromLibrary(Kind kind);

// Runs `body` and names the handler of this module that caught what it threw:
// a Kind as int, kOtherException for any other std::exception, kNothing when
// it returned, kUnknown for anything else.
constexpr int kOtherException = -1, kNothing = -2, kUnknown = -3;
OBJCORE_THROWER_API int CatchInLibrary(void (*body)());

// The type record of the kind as this module sees it.
OBJCORE_THROWER_API const std::type_info& TypeSeenByLibrary(Kind kind);

}  // namespace octest
