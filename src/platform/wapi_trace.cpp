// Traces of the platform layer.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "environment/env.h"
#include "logging/message_layout.h"
#include "platform/exception_guard.h"
#include "platform/process_info.h"
#include "platform/wapi.h"

namespace {

std::atomic<const char*> g_traceCategory{"**********"};

constexpr std::size_t kTraceTextSize = 691;  // 690 bytes and the terminator
constexpr std::size_t kTraceTextLimit = kTraceTextSize - 1;
constexpr int kMaxPieces = 6;
// What one record holds after its header: long and classic layout.
constexpr std::size_t kLongPiece = 127;
constexpr std::size_t kClassicPiece = 138;
constexpr std::size_t kTraceLogSize = 767;
constexpr char kFaultName[] = "vskWapiOpenWriteCloseClientLogCore()";

bool IsSystemLeadByte(unsigned char c) { return ::IsDBCSLeadByte(c) != FALSE; }

// State of one call, kept outside the guarded code so that the log and the
// settings can be released after a processor exception.
struct ClientLogCall {
  const char* format;
  va_list* args;
  VskLogHandle log;
  bool opened;
  bool loadedHere;
};

void WriteClientLog(void* context) {
  auto* call = static_cast<ClientLogCall*>(context);
  if (!vskEnvIsLoaded()) {
    if (!vskEnvLoad()) return;
    call->loadedHere = true;
  }
  call->log = vskLogOpen("CLIENT.log");
  call->opened = true;

  char text[kTraceTextSize] = {};
  const int written = std::vsnprintf(text, sizeof text, call->format, *call->args);
  std::size_t length = std::strlen(text);
  // A double-byte character that the limit cuts in two is dropped whole.
  if (written >= static_cast<int>(kTraceTextLimit))
    length = bk::log::CutAtCharacter(text, kTraceTextSize, 0, kTraceTextLimit, IsSystemLeadByte);

  const bool longLayout = bk::win::WindowsMajorVersion() >= 6 || vskEnvIsRemoteDesktopMode();
  const std::size_t width = longLayout ? kLongPiece : kClassicPiece;
  const char* category = g_traceCategory.load();
  std::size_t at = 0;
  for (int k = 0; k < kMaxPieces && (k == 0 || at < length); ++k) {
    const std::size_t piece = bk::log::CutAtCharacter(text, length, at, width, IsSystemLeadByte);
    char record[kClassicPiece + 1];
    std::memcpy(record, text + at, piece);
    record[piece] = '\0';
    vskLogWrite(call->log, record, category);
    at += piece;
  }

  vskLogClose(call->log);
  call->opened = false;
  if (call->loadedHere) {
    vskEnvRelease();
    call->loadedHere = false;
  }
}

}  // namespace

void vskWapiSetTraceCategory(const char* category) {
  if (category != nullptr) g_traceCategory.store(category);
}

void vskWapiOpenWriteCloseClientLogCore(const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  ClientLogCall call{format, &args, 0, false, false};
  bk::win::CapturedException captured;
  if (!bk::win::RunGuarded(WriteClientLog, &call, &captured)) {
    bk::win::ReportException(kFaultName, captured);
    if (call.opened) vskLogClose(call.log);
    if (call.loadedHere) vskEnvRelease();
  }
  va_end(args);
}

int vskWapiTraceLog(VskLogHandle log, const char* format, ...) {
  if (log == 0 || format == nullptr) return 0;
  char text[kTraceLogSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  vskLogWrite(log, text, kVskWapiCategory);
  return 0;
}
