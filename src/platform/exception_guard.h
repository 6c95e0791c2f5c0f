#pragma once
// Catching a processor exception (access violation, division by zero, ...)
// raised inside a piece of code, and reporting it.
//
// This compiler has no __try/__except. A vectored exception handler, added
// for the time the guarded code runs, looks at every exception of the thread
// first: when it is a processor exception raised while a guard of this thread
// is active, it saves the exception record, the register context, 160 bytes
// of stack and the frame-pointer chain, and resumes the thread at the guard,
// which then returns false. The frames between the fault and the guard are
// abandoned without running their destructors, as __except abandons frames
// compiled without unwind handlers: guarded code must keep what it needs to
// release in the guard's caller. Not caught: exceptions raised with
// RaiseException (C++ exceptions, breakpoints, debug output), non-continuable
// ones and stack overflow (no stack is left to run a report on). Because a
// vectored handler sees an exception before any frame handler, a processor
// exception that a system function raises and handles itself (a probe of a
// pointer) would be taken by the guard too: guarded code calls no such
// function.
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace bk::win {

inline constexpr std::size_t kSavedStackBytes = 160;
inline constexpr int kSavedFrames = 5;

struct SavedFrame {
  std::uintptr_t returnAddress;
  std::uintptr_t args[3];
};

// What is kept of a caught exception.
struct CapturedException {
  EXCEPTION_RECORD record;
  CONTEXT context;
  std::uintptr_t stackAddress;             // stack pointer of the context
  unsigned char stack[kSavedStackBytes];   // bytes from there (0 where unreadable)
  SavedFrame frames[kSavedFrames];
  int frameCount;
};

// Runs body(context). True when it returned; false when a processor exception
// ended it, with the exception saved in *captured.
bool RunGuarded(void (*body)(void*), void* context, CapturedException* captured) noexcept;

// The report of a caught exception under the name of the failing operation:
// user-log message 320, then the exception line in DUMP.log and CLIENT.log,
// the registers, the saved frames and the stack bytes in DUMP.log.
void ReportException(const char* operation, const CapturedException& captured);

}  // namespace bk::win
