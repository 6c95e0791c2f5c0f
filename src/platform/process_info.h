#pragma once
// Facts about the running process and system that several modules need.
#include <windows.h>

#include <cstdint>

namespace bk::win {

// Major version of Windows (the low byte of GetVersion).
unsigned WindowsMajorVersion();

// Terminal-session id of this process; 0 where the system has no sessions.
std::uint32_t CurrentSessionId();

// File name of the process's executable without directory and extension,
// cut to 8 characters, in lower case.
const char* ProgramShortName();

}  // namespace bk::win
