// Log functions of the native builds: everything goes to the installed sink.
#include <cstdarg>
#include <cstdio>

#include "logging/event_observer.h"
#include "logging/log.h"
#include "logging/log_record.h"
#include "logging/native_sink.h"

namespace {
VskNativeLogSink* g_sink = nullptr;
VskEventObserver g_observer = nullptr;
constexpr VskLogHandle kClientLog = 6;
}  // namespace

void vskLogSetNativeSink(VskNativeLogSink* sink) { g_sink = sink; }
void vskLogSetEventObserver(VskEventObserver observer) { g_observer = observer; }

VskLogHandle vskLogOpen(const char*) { return kClientLog; }
void vskLogClose(VskLogHandle) {}

void vskLogWrite(VskLogHandle, const char* message, const char* category) {
  if (g_sink != nullptr) g_sink->Line(category ? category : "", message ? message : "");
}

void vskLogApiError(int kind, const char* category, const char* info, std::int32_t error,
                    const char* sourceFile, std::int32_t line) {
  if (category == nullptr || info == nullptr || sourceFile == nullptr) return;
  char message[bk::log::kMaxRecord];
  if (bk::log::FormatApiError(message, kind, info, error, sourceFile, line))
    vskLogWrite(kClientLog, message, category);
}

void vskLogEvent(std::uint32_t code, const char* category, const char* text, std::int32_t number,
                 const char* sourceFile, std::int32_t line) {
  if (g_observer != nullptr) g_observer(code, category, text, number, sourceFile, line);
  if (g_sink != nullptr) g_sink->Event(code, category ? category : "", text ? text : "", number);
}

void vskLogTrace(const char* category, const char* format, ...) {
  char message[bk::log::kMaxRecord];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  vskLogWrite(kClientLog, message, category);
}
