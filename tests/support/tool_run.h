#pragma once
// Runs a program built beside the test (bkrtool.exe) with its output and
// error output caught in files.
#include <windows.h>

#include <string>

namespace bk::test {

struct ToolRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out, err;
};

// program: a file name in the test program's own folder; arguments: the rest
// of the command line.
ToolRun RunBeside(const std::string& program, const std::string& arguments);

}  // namespace bk::test
