// Entry point of the coded messages.
//
// Delivery to the Windows event log and to MAIN.LOG is not built yet; until it
// is, a coded message reaches only an installed observer.
#include "logging/event_observer.h"
#include "logging/log.h"

namespace {
VskEventObserver g_observer = nullptr;
}

void vskLogSetEventObserver(VskEventObserver observer) { g_observer = observer; }

void vskLogEvent(std::uint32_t code, const char* category, const char* text, std::int32_t number,
                 const char* sourceFile, std::int32_t line) {
  if (g_observer != nullptr) g_observer(code, category, text, number, sourceFile, line);
}
