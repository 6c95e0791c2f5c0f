// A processor exception inside a guarded call, with the frames the report
// follows: the guard's result, the report's first saved frame (the faulting
// function's return address and, in the 32-bit build, its argument), and the
// thread in a sound state afterwards. In the 32-bit build the faulting code
// runs inside a frame handler it registered itself, as code of other
// compilers and system functions do: after the jump back the head of the
// thread's handler chain must be what it was at the guard, so that a later
// exception still reaches the frame handlers of the callers.
#include "platform/exception_guard.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "environment/env.h"
#include "support/log_files.h"
#include "support/standins.h"
#include "support/win_fixtures.h"

namespace {

using bk::test::ClientInstall;
using bk::test::ClientRegistry;
using bk::test::SelfManagedMessages;

// An address no process maps.
volatile std::uintptr_t g_unmapped = 16;

// What the faulting function saw of its own frame.
struct Seen {
  void* returnAddress = nullptr;
  void* argument = nullptr;
};
Seen g_seen;

// Built with frame pointers (see the CMake list): the context's frame pointer
// at the fault is this function's frame.
__attribute__((noinline)) void FaultHere(void* argument) {
  g_seen.returnAddress = __builtin_return_address(0);
  g_seen.argument = argument;
  *reinterpret_cast<volatile int*>(g_unmapped) = 1;
}

#if !defined(_WIN64)
// CallInFrame(fn, argument, handler): calls fn(argument) with a frame handler
// registered at the head of the thread's handler chain (fs:[0]) and removes it
// afterwards, as compilers with __try do.
extern "C" void CallInFrame(void (*fn)(void*), void* argument, void* handler);
__asm__(
    ".text\n"
    ".globl _CallInFrame\n"
    "_CallInFrame:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl 16(%ebp)\n"  // the record: handler,
    "  pushl %fs:0\n"     // next record
    "  movl %esp, %fs:0\n"
    "  pushl 12(%ebp)\n"
    "  call *8(%ebp)\n"
    "  addl $4, %esp\n"
    "  popl %eax\n"
    "  movl %eax, %fs:0\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");

void* ChainHead() {
  void* head;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

constexpr DWORD kProbe = 0xE0B10001;  // raised after the guard, continuable
int g_innerCalls = 0;                 // the faulting code's handler, never to be asked
int g_outerCalls = 0;                 // the caller's handler, asked for the probe

EXCEPTION_DISPOSITION __cdecl InnerHandler(EXCEPTION_RECORD*, void*, CONTEXT*, void*) {
  ++g_innerCalls;
  return ExceptionContinueSearch;
}

EXCEPTION_DISPOSITION __cdecl OuterHandler(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
  if (record->ExceptionCode != kProbe) return ExceptionContinueSearch;
  ++g_outerCalls;
  return ExceptionContinueExecution;
}

void GuardedBody(void* argument) { CallInFrame(FaultHere, argument, reinterpret_cast<void*>(InnerHandler)); }
#else
void GuardedBody(void* argument) { FaultHere(argument); }
#endif

void CleanBody(void* ran) { *static_cast<bool*>(ran) = true; }

class ExceptionGuard : public ::testing::Test {
 protected:
  void SetUp() override {
    bk::test::InstallStandIn(install, "VSUSRLOG.DLL");
    vskEnvLoad();
  }
  void TearDown() override { vskEnvRelease(); }

  // Runs the faulting body under the guard and reports it; the guard's result.
  bool RunFaulting(int* argument) {
    bk::win::CapturedException captured;
    const bool returned = bk::win::RunGuarded(GuardedBody, argument, &captured);
    if (!returned) bk::win::ReportException("vskGuardTest()", captured);
    return returned;
  }
  std::vector<std::string> Dump() { return SelfManagedMessages(install.Log("DUMP.LOG"), 300); }

  // The report's first saved frame: the faulting function's return address
  // and, where arguments are on the stack (32-bit), its argument.
  static std::string FirstFrame() {
    char line[128];
#if defined(_WIN64)
    std::snprintf(line, sizeof line, "STACK_FUNC[0]=0x%8.8llx ",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(g_seen.returnAddress)));
#else
    std::snprintf(line, sizeof line, "STACK_FUNC[0]=0x%8.8x Arg1[0]=0x%8.8x ",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(g_seen.returnAddress)),
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(g_seen.argument)));
#endif
    return line;
  }
  void ExpectReportOfTheFault(const std::vector<std::string>& dump, std::size_t first) {
    ASSERT_GT(dump.size(), first + 10);
    EXPECT_EQ(dump[first], "vskGuardTest(): Exception occured. ExceptionCode=0xC0000005");
    EXPECT_EQ(dump[first + 10].rfind(FirstFrame(), 0), 0u) << dump[first + 10] << "\nexpected " << FirstFrame();
  }

  ClientRegistry registry;
  ClientInstall install{registry};
};

TEST_F(ExceptionGuard, AFaultGivesTheReportWithTheFaultingFrameAndTheNextCallWorks) {
  int argument = 0;
  EXPECT_FALSE(RunFaulting(&argument));
  EXPECT_EQ(g_seen.argument, &argument);
  ExpectReportOfTheFault(Dump(), 0);
  const std::size_t firstReport = Dump().size();

  // The next calls: a clean one returns, a faulting one is caught and reported again.
  bool ran = false;
  bk::win::CapturedException captured;
  EXPECT_TRUE(bk::win::RunGuarded(CleanBody, &ran, &captured));
  EXPECT_TRUE(ran);
  EXPECT_FALSE(RunFaulting(&argument));
  ExpectReportOfTheFault(Dump(), firstReport);
}

#if !defined(_WIN64)
// The scenario inside the caller's own frame handler.
struct Scenario {
  void* headAtGuard = nullptr;
  void* headAfter = nullptr;
  bool returned = true;
};

void CallerBody(void* context) {
  auto& s = *static_cast<Scenario*>(context);
  int argument = 0;
  s.headAtGuard = ChainHead();
  bk::win::CapturedException captured;
  s.returned = bk::win::RunGuarded(GuardedBody, &argument, &captured);
  s.headAfter = ChainHead();
  // A stale head would send the probe to a record of the abandoned frames.
  if (s.headAfter == s.headAtGuard) ::RaiseException(kProbe, 0, 0, nullptr);
}

TEST_F(ExceptionGuard, TheHandlerChainIsAsAtTheGuardAndReachesTheCallersHandler) {
  g_innerCalls = g_outerCalls = 0;
  Scenario s;
  CallInFrame(CallerBody, &s, reinterpret_cast<void*>(OuterHandler));
  EXPECT_FALSE(s.returned);
  EXPECT_EQ(s.headAfter, s.headAtGuard);
  EXPECT_EQ(g_outerCalls, 1);
  EXPECT_EQ(g_innerCalls, 0);
}
#endif

}  // namespace
