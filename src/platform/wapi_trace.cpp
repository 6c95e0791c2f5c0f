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

constexpr std::size_t kCategorySize = 64;

// What the guarded part of one call works on. Only the caller's values can
// fault (the format, its arguments, the process-wide category label), so only
// reading them is guarded: it takes no lock and opens nothing, and a fault
// leaves nothing held behind for the report, which writes the logs itself.
struct FormatCall {
  const char* format;
  va_list* args;
  char text[kTraceTextSize];
  std::size_t length;
  char category[kCategorySize];
};

void FormatGuarded(void* context) {
  auto* call = static_cast<FormatCall*>(context);
  std::memset(call->text, 0, sizeof call->text);
  const int written = std::vsnprintf(call->text, sizeof call->text, call->format, *call->args);
  call->length = std::strlen(call->text);
  // A double-byte character that the limit cuts in two is dropped whole.
  if (written >= static_cast<int>(kTraceTextLimit))
    call->length = bk::log::CutAtCharacter(call->text, kTraceTextSize, 0, kTraceTextLimit, IsSystemLeadByte);
  const char* label = g_traceCategory.load();
  std::size_t n = 0;
  if (label != nullptr)
    for (; n + 1 < sizeof call->category && label[n] != '\0'; ++n) call->category[n] = label[n];
  call->category[n] = '\0';
}

void WritePieces(const FormatCall& call) {
  const VskLogHandle log = vskLogOpen("CLIENT.log");
  const bool longLayout = bk::win::WindowsMajorVersion() >= 6 || vskEnvIsRemoteDesktopMode();
  const std::size_t width = longLayout ? kLongPiece : kClassicPiece;
  std::size_t at = 0;
  for (int k = 0; k < kMaxPieces && (k == 0 || at < call.length); ++k) {
    const std::size_t piece = bk::log::CutAtCharacter(call.text, call.length, at, width, IsSystemLeadByte);
    char record[kClassicPiece + 1];
    std::memcpy(record, call.text + at, piece);
    record[piece] = '\0';
    vskLogWrite(log, record, call.category);
    at += piece;
  }
  vskLogClose(log);
}

}  // namespace

void vskWapiSetTraceCategory(const char* category) {
  if (category != nullptr) g_traceCategory.store(category);
}

void vskWapiOpenWriteCloseClientLogCore(const char* format, ...) {
  if (format == nullptr) return;
  // Settings not held in memory are loaded for this call only.
  bool loadedHere = false;
  if (!vskEnvIsLoadAttempted()) {
    loadedHere = true;
    if (!vskEnvLoad()) {
      vskEnvRelease();
      return;
    }
  }
  va_list args;
  va_start(args, format);
  FormatCall call{format, &args, {}, 0, {}};
  bk::win::CapturedException captured;
  const bool formatted = bk::win::RunGuarded(FormatGuarded, &call, &captured);
  va_end(args);
  if (formatted)
    WritePieces(call);
  else
    bk::win::ReportException(kFaultName, captured);
  if (loadedHere) vskEnvRelease();
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
