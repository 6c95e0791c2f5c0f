#pragma once
// The stand-ins for the client's own programs and libraries, built beside the
// test programs, put where the library looks for them.
#include <string>

#include "support/win_fixtures.h"

namespace bk::test {

// Path of a file in the folder of the running test program (the build folder).
std::string BuildOutput(const std::string& name);

// Copies the built stand-in `builtName` into the BIN folder of the install
// (created when missing) as `installedName` (default: the same name).
// Returns the installed path.
std::string InstallStandIn(const ClientInstall& install, const std::string& builtName,
                           const std::string& installedName = std::string());

}  // namespace bk::test
