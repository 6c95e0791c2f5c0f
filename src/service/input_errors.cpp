#include <cstdio>

#include "logging/log.h"
#include "service/restore.h"
#include "service/service.h"

namespace {
const char* Shown(const char* text) { return text ? text : ""; }
}  // namespace

void vskReportInputError(const char* module, int line, const char* logLine, const char* name,
                         const char* version, const char* generation, const char* pathLabel,
                         const char* path) {
  char text[1024];
  if (pathLabel == nullptr) {
    std::snprintf(text, sizeof text, "Input Error:ResourceName=%s, Version=%s, Generation=%s",
                  Shown(name), Shown(version), Shown(generation));
  } else {
    std::snprintf(text, sizeof text, "Input Error:ResourceName=%s, Version=%s, Generation=%s, %s=%s",
                  Shown(name), Shown(version), Shown(generation), pathLabel, Shown(path));
  }
  vskLogEvent(kVskMsgInstallError, kVskCategory, text, 0, module, line);
  vskLogTrace(kVskCategory, "%s", logLine);
}
