#pragma once
// The client's settings loaded for one command, as for an exported call, and
// released at its end.
#include "environment/env.h"

namespace bkrtool {

class Settings {
 public:
  Settings() { vskEnvLoad(); }
  ~Settings() { vskEnvRelease(); }
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;
};

}  // namespace bkrtool
