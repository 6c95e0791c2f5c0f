#include "platform/exception_guard.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "logging/log.h"
#include "logging/user_log.h"

namespace bk::win {
namespace {

constexpr std::uint32_t kExceptionUserMessage = 320;
constexpr char kReportCategory[] = "cltmlib";

// One active guard of a thread; guards nest.
struct Guard {
  void* jump[5];  // __builtin_setjmp buffer
  CapturedException* captured;
  Guard* outer;
  bool fired;
};

thread_local Guard* t_guard = nullptr;

bool IsProcessorException(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
      return true;
    default:
      return false;
  }
}

// Reads memory of this process that may not be readable, without faulting.
bool SafeRead(std::uintptr_t address, void* out, std::size_t size) {
  SIZE_T read = 0;
  return ::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<const void*>(address), out, size,
                             &read) &&
         read == size;
}

#if defined(_WIN64)
std::uintptr_t StackPointer(const CONTEXT& c) { return static_cast<std::uintptr_t>(c.Rsp); }
std::uintptr_t FramePointer(const CONTEXT& c) { return static_cast<std::uintptr_t>(c.Rbp); }
#else
std::uintptr_t StackPointer(const CONTEXT& c) { return c.Esp; }
std::uintptr_t FramePointer(const CONTEXT& c) { return c.Ebp; }
#endif

void Capture(CapturedException& out, const EXCEPTION_POINTERS& info) {
  std::memset(&out, 0, sizeof out);
  out.record = *info.ExceptionRecord;
  out.context = *info.ContextRecord;
  out.stackAddress = StackPointer(out.context);
  for (std::size_t i = 0; i < kSavedStackBytes; i += 16)
    if (!SafeRead(out.stackAddress + i, out.stack + i, 16)) break;
  // Each frame: saved frame pointer, return address, then the arguments. The
  // chain must climb the stack; anything else is not a frame chain.
  std::uintptr_t frame = FramePointer(out.context);
  while (frame != 0 && out.frameCount < kSavedFrames) {
    std::uintptr_t words[5];
    if (!SafeRead(frame, words, sizeof words)) break;
    SavedFrame& saved = out.frames[out.frameCount++];
    saved.returnAddress = words[1];
    saved.args[0] = words[2];
    saved.args[1] = words[3];
    saved.args[2] = words[4];
    if (words[0] <= frame) break;
    frame = words[0];
  }
}

// Where a caught exception resumes: as if the faulting instruction had called
// this function, which goes back into the guard.
[[noreturn]] __attribute__((noinline)) void ResumeAtGuard() {
  __builtin_longjmp(t_guard->jump, 1);
}

void RedirectToGuard(CONTEXT& c) {
#if defined(_WIN64)
  DWORD64 sp = c.Rsp & ~DWORD64{15};
  c.Rsp = sp - 8;  // a call leaves the stack 8 bytes below 16-byte alignment
  c.Rip = reinterpret_cast<DWORD64>(&ResumeAtGuard);
#else
  DWORD sp = c.Esp & ~DWORD{15};
  c.Esp = sp - 4;
  c.Eip = reinterpret_cast<DWORD>(&ResumeAtGuard);
#endif
}

LONG CALLBACK CatchInGuard(EXCEPTION_POINTERS* info) {
  Guard* guard = t_guard;
  if (guard == nullptr || guard->fired) return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD& record = *info->ExceptionRecord;
  if (!IsProcessorException(record.ExceptionCode) || (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE))
    return EXCEPTION_CONTINUE_SEARCH;
  guard->fired = true;
  Capture(*guard->captured, *info);
  RedirectToGuard(*info->ContextRecord);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Values of the register lines: 32-bit in the 32-bit library, whole 64-bit
// registers in the 64-bit build.
#if defined(_WIN64)
using Word = unsigned long long;
#define BK_WORD_X "llx"
#define BK_WORD_XU "llX"
#else
using Word = unsigned int;
#define BK_WORD_X "x"
#define BK_WORD_XU "X"
#endif

Word W(std::uintptr_t value) { return static_cast<Word>(value); }

struct Dump {
  VskLogHandle handle;
  void Line(const char* format, ...) __attribute__((format(gnu_printf, 2, 3))) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    vskLogWrite(handle, text, kReportCategory);
  }
};

void WriteRegisters(Dump& dump, const CONTEXT& c) {
  dump.Line("ContextFlags : %x", static_cast<unsigned>(c.ContextFlags));
  dump.Line("Dr0 : %" BK_WORD_X ", Dr1 : %" BK_WORD_X ", Dr2 : %" BK_WORD_X, W(c.Dr0), W(c.Dr1), W(c.Dr2));
  dump.Line("Dr3 : %" BK_WORD_XU ", Dr6 : %" BK_WORD_XU ", Dr7 : %" BK_WORD_XU, W(c.Dr3), W(c.Dr6), W(c.Dr7));
  dump.Line("SegGs : %X, SegFs : %X, SegEs : %X, SegDs : %X", static_cast<unsigned>(c.SegGs),
            static_cast<unsigned>(c.SegFs), static_cast<unsigned>(c.SegEs), static_cast<unsigned>(c.SegDs));
#if defined(_WIN64)
  dump.Line("Edi : %llX, Esi : %llX, Ebx : %llX", W(c.Rdi), W(c.Rsi), W(c.Rbx));
  dump.Line("Edx : %llX, Ecx : %llX, Eax : %llX", W(c.Rdx), W(c.Rcx), W(c.Rax));
  dump.Line("Ebp : %llX, Eip : %llX, SegCs : %X", W(c.Rbp), W(c.Rip), static_cast<unsigned>(c.SegCs));
  dump.Line("EFlags : %X, Esp : %llX, SegSs : %X", static_cast<unsigned>(c.EFlags), W(c.Rsp),
            static_cast<unsigned>(c.SegSs));
#else
  dump.Line("Edi : %X, Esi : %X, Ebx : %X", W(c.Edi), W(c.Esi), W(c.Ebx));
  dump.Line("Edx : %X, Ecx : %X, Eax : %X", W(c.Edx), W(c.Ecx), W(c.Eax));
  dump.Line("Ebp : %X, Eip : %X, SegCs : %X", W(c.Ebp), W(c.Eip), static_cast<unsigned>(c.SegCs));
  dump.Line("EFlags : %X, Esp : %X, SegSs : %X", static_cast<unsigned>(c.EFlags), W(c.Esp),
            static_cast<unsigned>(c.SegSs));
#endif
}

}  // namespace

bool RunGuarded(void (*body)(void*), void* context, CapturedException* captured) noexcept {
  Guard guard{};
  guard.captured = captured;
  guard.outer = t_guard;
  // Volatile: the handle must survive the jump back into this frame.
  void* volatile handler = ::AddVectoredExceptionHandler(1, CatchInGuard);
  if (handler == nullptr) {
    body(context);
    return true;
  }
#if !defined(_WIN64)
  // The jump back skips the frame handlers the abandoned frames registered:
  // the head of this thread's handler chain (fs:[0]) goes back to its value
  // at the guard, or it would point into the abandoned stack.
  void* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  void* volatile handlers = head;
#endif
  t_guard = &guard;
  const bool caught = __builtin_setjmp(guard.jump) != 0;
  if (!caught) body(context);
#if !defined(_WIN64)
  if (caught) {
    void* const saved = handlers;
    __asm__ volatile("movl %0, %%fs:0" : : "r"(saved) : "memory");
  }
#endif
  t_guard = guard.outer;
  ::RemoveVectoredExceptionHandler(handler);
  return !caught;
}

void ReportException(const char* operation, const CapturedException& captured) {
  const std::uintptr_t values[2] = {reinterpret_cast<std::uintptr_t>(operation), 0};
  vskLogUserMessage(kExceptionUserMessage, values, kReportCategory);

  char line[1024];
  std::snprintf(line, sizeof line, "%s: Exception occured. ExceptionCode=0x%8.8X", operation,
                static_cast<unsigned>(captured.record.ExceptionCode));
  Dump dump{vskLogOpen("DUMP.log")};
  vskLogWrite(dump.handle, line, kReportCategory);
  const VskLogHandle client = vskLogOpen("CLIENT.log");
  vskLogWrite(client, line, kReportCategory);
  vskLogClose(client);

  dump.Line("Exception Address = 0x%8.8" BK_WORD_X,
            W(reinterpret_cast<std::uintptr_t>(captured.record.ExceptionAddress)));
  WriteRegisters(dump, captured.context);
  for (int i = 0; i < captured.frameCount; ++i) {
    const SavedFrame& f = captured.frames[i];
    dump.Line("STACK_FUNC[%d]=0x%8.8" BK_WORD_X " Arg1[%d]=0x%8.8" BK_WORD_X " Arg2[%d]=0x%8.8" BK_WORD_X
              " Arg3[%d]=0x%8.8" BK_WORD_X,
              i, W(f.returnAddress), i, W(f.args[0]), i, W(f.args[1]), i, W(f.args[2]));
  }
  dump.Line("STACK DUMP");
  for (std::size_t row = 0; row < kSavedStackBytes / 16; ++row) {
    const unsigned char* b = captured.stack + row * 16;
    dump.Line("0x%8.8" BK_WORD_X ": %2.2x %2.2x %2.2x %2.2x %2.2x %2.2x %2.2x %2.2x %2.2x %2.2x %2.2x %2.2x "
              "%2.2x %2.2x %2.2x %2.2x",
              W(captured.stackAddress + row * 16), b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9],
              b[10], b[11], b[12], b[13], b[14], b[15]);
  }
  vskLogClose(dump.handle);
}

}  // namespace bk::win
