#pragma once
// Runs a program built beside the test (bkrtool.exe) with its output and
// error output caught in files.
#include <windows.h>

#include <string>
#include <vector>

namespace bk::test {

struct ToolRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out, err;
};

// program: a file name in the test program's own folder; arguments: the rest
// of the command line.
ToolRun RunBeside(const std::string& program, const std::string& arguments);

// The lines of a program's output, carriage returns dropped.
std::vector<std::string> OutputLines(const std::string& text);
// The text after " | " of a log line as bkrtool shows it; empty without one.
std::string LogLineText(const std::string& line);

}  // namespace bk::test
