#include "support/standins.h"

#include <windows.h>

#include <stdexcept>

namespace bk::test {

std::string BuildOutput(const std::string& name) {
  char path[MAX_PATH + 1] = {};
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, n);
  const std::size_t slash = dir.find_last_of("\\/");
  return dir.substr(0, slash == std::string::npos ? 0 : slash) + "\\" + name;
}

std::string InstallStandIn(const ClientInstall& install, const std::string& builtName,
                           const std::string& installedName) {
  MakeDir(install / "BIN");
  const std::string target = install / ("BIN\\" + (installedName.empty() ? builtName : installedName));
  if (!::CopyFileA(BuildOutput(builtName).c_str(), target.c_str(), FALSE))
    throw std::runtime_error("cannot copy the stand-in " + builtName);
  return target;
}

}  // namespace bk::test
