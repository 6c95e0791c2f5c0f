#include "support/tool_run.h"

#include "platform/unique_handle.h"
#include "support/win_fixtures.h"

namespace bk::test {

ToolRun RunBeside(const std::string& program, const std::string& arguments) {
  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string exe = self;
  exe = exe.substr(0, exe.find_last_of('\\') + 1) + program;
  TempDir output;
  const std::string outPath = output / "out.txt", errPath = output / "err.txt";
  ToolRun run;
  {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    bk::win::unique_hfile out(::CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                            CREATE_ALWAYS, 0, nullptr));
    bk::win::unique_hfile err(::CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                            CREATE_ALWAYS, 0, nullptr));
    if (!out || !err) return run;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + exe + "\" " + arguments;
    if (::CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                         &startup, &process)) {
      bk::win::unique_handle thread(process.hThread);
      bk::win::unique_handle child(process.hProcess);
      ::WaitForSingleObject(child.get(), 60000);
      ::GetExitCodeProcess(child.get(), &run.exitCode);
    }
  }
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  return run;
}

std::vector<std::string> OutputLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string LogLineText(const std::string& line) {
  const std::size_t bar = line.find(" | ");
  return bar == std::string::npos ? std::string() : line.substr(bar + 3);
}

}  // namespace bk::test
