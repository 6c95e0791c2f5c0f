#include "platform/fault_probe.h"

#include <cstdint>

#include "platform/exception_guard.h"

namespace {

// An address no process maps; volatile so that the compiler must really
// write there instead of reasoning about the write.
volatile std::uintptr_t g_unmapped = 16;

void WriteToUnmappedMemory(void*) { *reinterpret_cast<volatile int*>(g_unmapped) = 1; }

}  // namespace

bool vskWapiProvokeAccessViolation(const char* operation) {
  bk::win::CapturedException captured;
  if (bk::win::RunGuarded(WriteToUnmappedMemory, nullptr, &captured)) return false;
  bk::win::ReportException(operation, captured);
  return true;
}
