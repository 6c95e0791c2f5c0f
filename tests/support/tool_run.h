#pragma once
// Runs bkrtool.exe (built beside the test program) as a separate program with
// its output in files.
#include <windows.h>

#include <string>

#include "support/win_fixtures.h"

namespace bk::test {

struct ToolRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out, err;
};

inline ToolRun RunTool(const std::string& arguments, const TempDir& output) {
  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string exe = self;
  exe = exe.substr(0, exe.find_last_of('\\') + 1) + "bkrtool.exe";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const std::string outPath = output / "out.txt", errPath = output / "err.txt";
  HANDLE out = ::CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE err = ::CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  std::string commandLine = "\"" + exe + "\" " + arguments;
  ToolRun run;
  if (::CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process)) {
    ::WaitForSingleObject(process.hProcess, 60000);
    ::GetExitCodeProcess(process.hProcess, &run.exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::CloseHandle(out);
  ::CloseHandle(err);
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  return run;
}

}  // namespace bk::test
